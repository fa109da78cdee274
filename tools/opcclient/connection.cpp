#include "connection.h"

#include "co_task_mem.h"
#include "hresult_text.h"
#include "tool_error.h"

Connection::Connection(const std::wstring& server) : name_(server) {
    const HRESULT lookup = server.size() > 1 && server[0] == L'{'
                               ? CLSIDFromString(server.c_str(), &clsid_)
                               : CLSIDFromProgID(server.c_str(), &clsid_);
    if (FAILED(lookup)) ThrowFailure(L"no server registered as " + server);
    const HRESULT hr =
        CoCreateInstance(clsid_, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server_.PutVoid());
    if (FAILED(hr)) ThrowFailure(L"cannot start " + server + L": " + DescribeFailure(hr));
    server_.As(common_);
}

LCID Connection::Locale() const {
    LCID locale = LOCALE_SYSTEM_DEFAULT;
    if (common_ && FAILED(common_->GetLocaleID(&locale))) locale = LOCALE_SYSTEM_DEFAULT;
    return locale;
}

std::wstring Connection::ErrorText(HRESULT code) {
    auto known = texts_.find(code);
    if (known != texts_.end()) return known->second;
    CoTaskString text;
    HRESULT hr = E_NOTIMPL;
    if (common_) hr = common_->GetErrorString(code, text.Put());
    if (FAILED(hr) || !text.Get()) hr = server_->GetErrorString(code, Locale(), text.Put());
    std::wstring result = SUCCEEDED(hr) && text.Get() ? text.Get() : SystemErrorText(code);
    while (!result.empty() && (result.back() == L'\n' || result.back() == L'\r')) result.pop_back();
    texts_.emplace(code, result);
    return result;
}
