// What every driver DLL we ship does the same way at its boundary: strings and name lists
// handed to the server in task memory, no exception let out, and its configuration stream
// read and written whole.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <functional>
#include <string>
#include <vector>

#include "dialog_template.h"

namespace driver_kit {

// A copy the server frees with CoTaskMemFree; null when memory is short.
char* CoTaskCopy(const std::string& text);
// DLLEnumChildren/DLLEnumTags' answer: 1 with the list handed over, 0 for none.
LONG NameList(const std::vector<std::string>& list, char*** names, DWORD* count);
// The stream from its current position to its end; false past `limit` bytes or on error.
bool ReadStream(IStream* stream, std::string& bytes, size_t limit);
bool WriteStream(IStream* stream, const std::string& bytes);

// A dialog field's text; a number as a field shows it; a number typed with either decimal
// separator (users type what their keyboard layout gives them). False for anything else.
std::wstring DialogText(HWND dialog, int id);
std::wstring NumberText(double value);
bool ParseNumber(std::wstring text, double& value);
// A refusal explained in a message box titled `caption`; the focus goes to field `focus`.
void Complain(HWND dialog, const wchar_t* caption, const std::wstring& text, int focus);

// A modal dialog for an object's settings: `fill` as it opens, `changed` for a field's
// notification (its id and code), `accept` for OK (true closes it); Cancel closes it.
// IDOK or IDCANCEL.
struct DialogHandlers {
    std::function<void(HWND)> fill;
    std::function<void(HWND, WORD id, WORD code)> changed;
    std::function<bool(HWND)> accept;
};
INT_PTR RunModalDialog(HINSTANCE instance, HWND owner, const DialogTemplate& form,
                       const DialogHandlers& handlers);

// The ANSI (driver) and UTF-16 (dialog) forms of a text.
std::wstring Wide(const std::string& ansi);
std::string Ansi(const std::wstring& wide);

// No exception may leave a driver DLL: `body`'s result, or 0 when it throws.
template <class Body>
LONG Safely(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return 0;
    }
}

// DLLGetObjectID for a model with FindPath(path) and Find(parent, name): from the root, a
// name that is empty or holds a dot is a whole path ("A.B" or ".A.B"); otherwise one level.
template <class Model>
DWORD ObjectId(const Model& model, DWORD parent, const char* name) noexcept {
    if (!name) return 0;
    return static_cast<DWORD>(Safely([&] {
        const std::string text(name);
        const bool path =
            parent == 0 && (text.empty() || text[0] == '.' || text.find('.') != std::string::npos);
        return static_cast<LONG>(path ? model.FindPath(text) : model.Find(parent, text));
    }));
}

// DLLSerialize for a model with `std::string Save()` and `bool Load(const std::string&)`: the
// model written whole, or the stream read whole (at most `limit` bytes) and loaded.
template <class Model>
LONG Serialize(IStream* stream, BOOL save, Model& model, size_t limit) noexcept {
    if (!stream) return 0;
    return Safely([&] {
        if (save) return WriteStream(stream, model.Save()) ? 1L : 0L;
        std::string bytes;
        return ReadStream(stream, bytes, limit) && model.Load(bytes) ? 1L : 0L;
    });
}

}  // namespace driver_kit
