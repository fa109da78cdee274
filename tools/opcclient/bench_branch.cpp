#include "bench_branch.h"

#include <algorithm>

#include "com_ptr.h"
#include "hresult_text.h"
#include "tool_error.h"

namespace {

class Browser {
  public:
    explicit Browser(Connection& connection) : connection_(connection) {
        const HRESULT qi = connection.Server()->QueryInterface(IID_IOPCBrowseServerAddressSpace,
                                                               browse_.PutVoid());
        if (FAILED(qi)) ThrowFailure(L"the server cannot be browsed: " + CodeWithName(qi));
        OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
        const HRESULT hr = browse_->QueryOrganization(&organization);
        if (FAILED(hr)) Fail(L"QueryOrganization", hr);
        // A flat address space has no branch to hold the benchmark's tags.
        if (organization == OPC_NS_FLAT)
            ThrowFailure(L"the server's address space is flat: --change needs a branch");
    }

    void MoveTo(const std::wstring& branch) {
        const HRESULT hr = browse_->ChangeBrowsePosition(OPC_BROWSE_TO, branch.c_str());
        if (FAILED(hr)) Fail(L"ChangeBrowsePosition", hr);
    }

    // The filter is only a hint: a server may list every leaf whatever it says.
    std::vector<std::wstring> Leaves(const wchar_t* filter) {
        ComPtr<IEnumString> e;
        const HRESULT hr = browse_->BrowseOPCItemIDs(OPC_LEAF, filter, VT_EMPTY, 0, e.Put());
        if (FAILED(hr)) Fail(L"BrowseOPCItemIDs", hr);
        std::vector<std::wstring> names;
        // A name a call would be a round trip each: seconds for a branch of 10,000 tags.
        std::vector<LPOLESTR> batch(1000);
        for (HRESULT next = S_OK; e && next == S_OK;) {
            ULONG fetched = 0;
            next = e->Next(static_cast<ULONG>(batch.size()), batch.data(), &fetched);
            for (ULONG i = 0; i < fetched && i < batch.size(); ++i) {
                if (batch[i]) names.emplace_back(batch[i]);
                CoTaskMemFree(batch[i]);
            }
            if (fetched == 0) break;  // an enumerator that never ends would hold the run
        }
        return names;
    }

    std::wstring ItemId(const std::wstring& name) {
        LPWSTR id = nullptr;
        const HRESULT hr = browse_->GetItemID(const_cast<wchar_t*>(name.c_str()), &id);
        if (FAILED(hr)) Fail(L"GetItemID", hr);
        std::wstring result = id ? id : L"";
        CoTaskMemFree(id);
        return result;
    }

  private:
    [[noreturn]] void Fail(const wchar_t* call, HRESULT hr) {
        ThrowFailure(std::wstring(call) + L" failed: " + CodeWithName(hr) + L" " +
                     connection_.ErrorText(hr));
    }

    Connection& connection_;
    ComPtr<IOPCBrowseServerAddressSpace> browse_;
};

bool EndsWith(const std::wstring& text, const std::wstring& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

BenchBranchItems BrowseBenchBranch(Connection& connection, const std::wstring& branch,
                                   size_t limit) {
    Browser browser(connection);
    browser.MoveTo(branch);
    std::vector<std::wstring> names;
    for (std::wstring& name : browser.Leaves(L"T*"))
        if (!name.empty() && name[0] == L'T') names.push_back(std::move(name));
    if (names.empty()) ThrowFailure(L"no leaves named T... in " + branch);
    std::sort(names.begin(), names.end());
    if (names.size() > limit) names.resize(limit);

    BenchBranchItems items;
    items.changePercent = browser.ItemId(L"ChangePercent");
    // One identifier asked shows how the server makes them from the branch's names; asking
    // for each would cost a round trip per tag.
    const std::wstring first = browser.ItemId(names[0]);
    const bool prefixed = EndsWith(first, names[0]);
    const std::wstring prefix = first.substr(0, first.size() - names[0].size());
    items.tags.reserve(names.size());
    for (const std::wstring& name : names)
        items.tags.push_back(prefixed ? prefix + name : browser.ItemId(name));
    return items;
}

ChangeShare::ChangeShare(Connection& connection, const std::wstring& item, double percent)
    : connection_(connection), item_(item), group_(connection, false, 1000) {
    const std::vector<AddedItem> added = group_.AddItems({item});
    if (FAILED(added[0].error))
        ThrowFailure(L"unknown item " + item + L": " + CodeWithName(added[0].error) + L" " +
                     connection.ErrorText(added[0].error));
    handle_ = added[0].server;
    Write(percent);
}

ChangeShare::~ChangeShare() {
    if (restored_) return;
    try {
        Write(0);
    } catch (...) {
        // The run has failed already; its own message is the one to show.
    }
}

void ChangeShare::Restore() {
    restored_ = true;
    Write(0);
}

void ChangeShare::Write(double percent) {
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_R8;
    V_R8(&value) = percent;
    const HRESULT error = group_.Write({handle_}, {value})[0];
    if (FAILED(error))
        ThrowFailure(L"cannot write " + item_ + L": " + CodeWithName(error) + L" " +
                     connection_.ErrorText(error));
}
