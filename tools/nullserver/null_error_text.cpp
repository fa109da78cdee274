#include "null_error_text.h"

#include "co_task_mem.h"
#include "com_call.h"
#include "opc.h"

namespace {

struct CodeText {
    HRESULT code;
    const wchar_t* text;
};

constexpr CodeText kTexts[] = {
    {OPC_E_INVALIDHANDLE, L"The handle is not valid."},
    {OPC_E_INVALIDITEMID, L"The item ID does not conform to the server's syntax."},
    {OPC_E_BADTYPE, L"The server cannot convert the data to or from the requested type."},
    {OPC_E_DUPLICATENAME, L"The name is already in use: it must be unique."},
    {OPC_S_UNSUPPORTEDRATE,
     L"The server does not support the requested rate; it uses the "
     L"closest one it can."},
};

}  // namespace

HRESULT NullErrorText(HRESULT code, LPWSTR* text) noexcept {
    RETURN_HR_IF_NULL(E_POINTER, text);
    *text = nullptr;
    return ComCall([&] {
        for (const CodeText& known : kTexts)
            if (known.code == code) {
                *text = CoTaskStrDup(known.text);
                return S_OK;
            }
        return E_INVALIDARG;
    });
}
