// An in-memory dialog template, so the driver's dialogs need no resource script and their
// Russian texts stay UTF-16 from source to screen.
#pragma once

#include <windows.h>
#include <vector>

class DialogTemplate {
  public:
    enum Class : WORD { Button = 0x0080, Edit = 0x0081, Static = 0x0082, ComboBox = 0x0085 };

    DialogTemplate(const wchar_t* title, short width, short height);
    void Add(WORD id, Class type, DWORD style, short x, short y, short width, short height,
             const wchar_t* text = L"");
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

  private:
    void AlignToDword();
    void PutText(const wchar_t* text);

    std::vector<WORD> words_;
    size_t countAt_;
};
