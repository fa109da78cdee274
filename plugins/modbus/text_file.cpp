#include "text_file.h"

#include <windows.h>
#include <memory>

namespace modbus {

namespace {

struct HandleCloser {
    void operator()(HANDLE h) const { CloseHandle(h); }
};
using FileHandle = std::unique_ptr<void, HandleCloser>;

FileHandle Open(const std::wstring& path, bool write) {
    HANDLE h =
        CreateFileW(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, write ? 0 : FILE_SHARE_READ,
                    nullptr, write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return FileHandle(h == INVALID_HANDLE_VALUE ? nullptr : h);
}

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::string& bytes, size_t limit) {
    const FileHandle file = Open(path, false);
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0 ||
        static_cast<unsigned long long>(size.QuadPart) > limit)
        return false;
    bytes.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
            read == bytes.size());
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    const FileHandle file = Open(path, true);
    DWORD written = 0;
    return file &&
           (bytes.empty() || (WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()),
                                        &written, nullptr) &&
                              written == bytes.size()));
}

}  // namespace modbus
