#include "dialog_template.h"

#include <cwchar>

DialogTemplate::DialogTemplate(const wchar_t* title, short width, short height) {
    const DWORD style = DS_MODALFRAME | DS_SETFONT | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    words_.push_back(LOWORD(style));
    words_.push_back(HIWORD(style));
    words_.push_back(0);  // extended style
    words_.push_back(0);
    countAt_ = words_.size();
    words_.push_back(0);  // number of controls
    words_.push_back(0);  // x
    words_.push_back(0);  // y
    words_.push_back(static_cast<WORD>(width));
    words_.push_back(static_cast<WORD>(height));
    words_.push_back(0);  // no menu
    words_.push_back(0);  // standard dialog class
    PutText(title);
    words_.push_back(8);  // point size
    PutText(L"MS Shell Dlg");
}

void DialogTemplate::AlignToDword() {
    if (words_.size() % 2) words_.push_back(0);
}

void DialogTemplate::PutText(const wchar_t* text) {
    for (; *text; ++text) words_.push_back(static_cast<WORD>(*text));
    words_.push_back(0);
}

void DialogTemplate::Add(WORD id, Class type, DWORD style, short x, short y, short width,
                         short height, const wchar_t* text) {
    AlignToDword();
    style |= WS_CHILD | WS_VISIBLE;
    words_.push_back(LOWORD(style));
    words_.push_back(HIWORD(style));
    words_.push_back(0);  // extended style
    words_.push_back(0);
    words_.push_back(static_cast<WORD>(x));
    words_.push_back(static_cast<WORD>(y));
    words_.push_back(static_cast<WORD>(width));
    words_.push_back(static_cast<WORD>(height));
    words_.push_back(id);
    words_.push_back(0xFFFF);
    words_.push_back(type);
    PutText(text);
    words_.push_back(0);  // no creation data
    ++words_[countAt_];
}
