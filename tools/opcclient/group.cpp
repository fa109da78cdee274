#include "group.h"

#include <atomic>
#include <memory>

#include "co_task_mem.h"
#include "hresult_text.h"
#include "tool_error.h"

namespace {

template <class T>
using CoTaskPtr = std::unique_ptr<T, CoTaskMemDeleter>;

// Groups of one server object share a name space; two runs never share a server object, but
// the benchmark adds a group per run, so the name carries a counter as well.
std::wstring UniqueGroupName() {
    static std::atomic<unsigned> counter{0};  // groups are made on several threads at once
    return L"opcclient." + std::to_wstring(GetCurrentProcessId()) + L"." +
           std::to_wstring(++counter);
}

}  // namespace

void ThrowCallFailure(Connection& connection, const wchar_t* call, HRESULT hr) {
    ThrowFailure(std::wstring(call) + L" failed: " + CodeWithName(hr) + L" " +
                 connection.ErrorText(hr));
}

Group::Group(Connection& connection, bool active, DWORD rate) : connection_(connection) {
    const std::wstring name = UniqueGroupName();
    ComPtr<IUnknown> unknown;
    const HRESULT hr = connection.Server()->AddGroup(
        name.c_str(), active, rate, 1, nullptr, nullptr, connection.Locale(), &handle_,
        &revisedRate_, IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(unknown.Put()));
    if (FAILED(hr)) ThrowCallFailure(connection, L"AddGroup", hr);
    HRESULT qi = unknown.As(items_);
    if (SUCCEEDED(qi)) qi = unknown.As(io_);
    if (FAILED(qi)) {
        items_.Reset();
        io_.Reset();
        unknown.Reset();
        connection.Server()->RemoveGroup(handle_, TRUE);
        ThrowFailure(L"the group does not offer IOPCItemMgt and IOPCSyncIO: " + CodeWithName(qi));
    }
}

Group::~Group() {
    // The server keeps a group that still has client references; let go of ours first so
    // that the removal is immediate.
    items_.Reset();
    io_.Reset();
    connection_.Server()->RemoveGroup(handle_, FALSE);
}

std::vector<AddedItem> Group::AddItems(const std::vector<std::wstring>& ids) {
    std::vector<OPCITEMDEF> definitions(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        definitions[i].szAccessPath = const_cast<wchar_t*>(L"");
        definitions[i].szItemID = const_cast<wchar_t*>(ids[i].c_str());
        definitions[i].bActive = TRUE;
        definitions[i].hClient = static_cast<OPCHANDLE>(i + 1);
        definitions[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* rawResults = nullptr;
    HRESULT* rawErrors = nullptr;
    const HRESULT hr = items_->AddItems(static_cast<DWORD>(definitions.size()), definitions.data(),
                                        &rawResults, &rawErrors);
    CoTaskPtr<OPCITEMRESULT> results(rawResults);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (FAILED(hr) || !results || !errors) ThrowCallFailure(connection_, L"AddItems", hr);
    std::vector<AddedItem> added(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        CoTaskMemFree(results.get()[i].pBlob);
        added[i].error = errors.get()[i];
        if (FAILED(added[i].error)) continue;
        added[i].server = results.get()[i].hServer;
        added[i].canonicalType = results.get()[i].vtCanonicalDataType;
        added[i].accessRights = results.get()[i].dwAccessRights;
    }
    return added;
}

std::vector<ItemState> Group::Read(OPCDATASOURCE source, const std::vector<OPCHANDLE>& handles) {
    OPCITEMSTATE* rawStates = nullptr;
    HRESULT* rawErrors = nullptr;
    const HRESULT hr = io_->Read(source, static_cast<DWORD>(handles.size()),
                                 const_cast<OPCHANDLE*>(handles.data()), &rawStates, &rawErrors);
    CoTaskPtr<OPCITEMSTATE> states(rawStates);
    CoTaskPtr<HRESULT> errors(rawErrors);
    std::vector<ItemState> result(handles.size());
    // The values are taken over before anything can throw, so none of them leaks.
    if (SUCCEEDED(hr) && states)
        for (size_t i = 0; i < handles.size(); ++i) {
            *result[i].value.Put() = states.get()[i].vDataValue;
            result[i].quality = states.get()[i].wQuality;
            result[i].timestamp = states.get()[i].ftTimeStamp;
        }
    if (FAILED(hr) || !states || !errors) ThrowCallFailure(connection_, L"Read", hr);
    for (size_t i = 0; i < handles.size(); ++i) result[i].error = errors.get()[i];
    return result;
}

std::vector<HRESULT> Group::Write(const std::vector<OPCHANDLE>& handles,
                                  const std::vector<VARIANT>& values) {
    HRESULT* rawErrors = nullptr;
    const HRESULT hr =
        io_->Write(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                   const_cast<VARIANT*>(values.data()), &rawErrors);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (FAILED(hr) || !errors) ThrowCallFailure(connection_, L"Write", hr);
    return std::vector<HRESULT>(errors.get(), errors.get() + handles.size());
}

std::vector<OPCITEMVQT> MakeVqts(const std::vector<VARIANT>& values, const VqtExtras& extras) {
    std::vector<OPCITEMVQT> vqts(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        vqts[i].vDataValue = values[i];
        vqts[i].bQualitySpecified = extras.quality.has_value();
        vqts[i].wQuality = extras.quality.value_or(0);
        vqts[i].bTimeStampSpecified = extras.timestamp.has_value();
        vqts[i].ftTimeStamp = extras.timestamp.value_or(FILETIME{});
    }
    return vqts;
}

std::vector<ItemState> Group::ReadMaxAge(DWORD maxAge, const std::vector<OPCHANDLE>& handles) {
    ComPtr<IOPCSyncIO2> io;
    const HRESULT qi = items_.As(io);
    if (FAILED(qi)) ThrowFailure(L"the group does not offer IOPCSyncIO2: " + CodeWithName(qi));
    std::vector<DWORD> ages(handles.size(), maxAge);
    VARIANT* rawValues = nullptr;
    WORD* rawQualities = nullptr;
    FILETIME* rawTimes = nullptr;
    HRESULT* rawErrors = nullptr;
    const HRESULT hr =
        io->ReadMaxAge(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                       ages.data(), &rawValues, &rawQualities, &rawTimes, &rawErrors);
    return TakeValueArrays(connection_, L"IOPCSyncIO2::ReadMaxAge", hr, handles.size(), rawValues,
                           rawQualities, rawTimes, rawErrors);
}

std::vector<HRESULT> Group::WriteVQT(const std::vector<OPCHANDLE>& handles,
                                     const std::vector<VARIANT>& values, const VqtExtras& extras) {
    ComPtr<IOPCSyncIO2> io;
    const HRESULT qi = items_.As(io);
    if (FAILED(qi)) ThrowFailure(L"the group does not offer IOPCSyncIO2: " + CodeWithName(qi));
    std::vector<OPCITEMVQT> vqts = MakeVqts(values, extras);
    HRESULT* rawErrors = nullptr;
    const HRESULT hr =
        io->WriteVQT(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                     vqts.data(), &rawErrors);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (FAILED(hr) || !errors) ThrowCallFailure(connection_, L"IOPCSyncIO2::WriteVQT", hr);
    return std::vector<HRESULT>(errors.get(), errors.get() + handles.size());
}

std::vector<ItemState> TakeValueArrays(Connection& connection, const wchar_t* call, HRESULT hr,
                                       size_t count, VARIANT* rawValues, WORD* rawQualities,
                                       FILETIME* rawTimes, HRESULT* rawErrors) {
    CoTaskPtr<VARIANT> values(rawValues);
    CoTaskPtr<WORD> qualities(rawQualities);
    CoTaskPtr<FILETIME> times(rawTimes);
    CoTaskPtr<HRESULT> errors(rawErrors);
    std::vector<ItemState> result(count);
    // The values are taken over before anything can throw, so none of them leaks.
    if (SUCCEEDED(hr) && values)
        for (size_t i = 0; i < count; ++i) *result[i].value.Put() = values.get()[i];
    if (FAILED(hr) || !values || !qualities || !times || !errors)
        ThrowCallFailure(connection, call, hr);
    for (size_t i = 0; i < count; ++i) {
        result[i].error = errors.get()[i];
        result[i].quality = qualities.get()[i];
        result[i].timestamp = times.get()[i];
    }
    return result;
}

std::vector<HRESULT> Group::RemoveItems(const std::vector<OPCHANDLE>& handles) {
    HRESULT* rawErrors = nullptr;
    const HRESULT hr = items_->RemoveItems(static_cast<DWORD>(handles.size()),
                                           const_cast<OPCHANDLE*>(handles.data()), &rawErrors);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (FAILED(hr) || !errors) ThrowCallFailure(connection_, L"RemoveItems", hr);
    return std::vector<HRESULT>(errors.get(), errors.get() + handles.size());
}

std::vector<HRESULT> Group::ReadAsync(const std::vector<OPCHANDLE>& handles, DWORD transaction) {
    ComPtr<IOPCAsyncIO2> async;
    const HRESULT qi = items_.As(async);
    if (FAILED(qi)) ThrowFailure(L"the group does not offer IOPCAsyncIO2: " + CodeWithName(qi));
    DWORD cancelId = 0;
    HRESULT* rawErrors = nullptr;
    const HRESULT hr =
        async->Read(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                    transaction, &cancelId, &rawErrors);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (!errors) ThrowCallFailure(connection_, L"IOPCAsyncIO2::Read", hr);
    return std::vector<HRESULT>(errors.get(), errors.get() + handles.size());
}

DWORD Group::SetKeepAlive(DWORD ms) {
    ComPtr<IOPCGroupStateMgt2> state;
    const HRESULT qi = items_.As(state);
    if (FAILED(qi))
        ThrowFailure(L"the group does not offer IOPCGroupStateMgt2: " + CodeWithName(qi));
    DWORD revised = 0;
    const HRESULT hr = state->SetKeepAlive(ms, &revised);
    if (FAILED(hr)) ThrowCallFailure(connection_, L"SetKeepAlive", hr);
    return revised;
}

std::vector<HRESULT> Group::SetItemDeadbands(const std::vector<OPCHANDLE>& handles, FLOAT percent) {
    ComPtr<IOPCItemDeadbandMgt> deadbands;
    const HRESULT qi = items_.As(deadbands);
    if (FAILED(qi))
        ThrowFailure(L"the group does not offer IOPCItemDeadbandMgt: " + CodeWithName(qi));
    std::vector<FLOAT> percents(handles.size(), percent);
    HRESULT* rawErrors = nullptr;
    const HRESULT hr = deadbands->SetItemDeadband(static_cast<DWORD>(handles.size()),
                                                  const_cast<OPCHANDLE*>(handles.data()),
                                                  percents.data(), &rawErrors);
    CoTaskPtr<HRESULT> errors(rawErrors);
    if (FAILED(hr) || !errors) ThrowCallFailure(connection_, L"SetItemDeadband", hr);
    return std::vector<HRESULT>(errors.get(), errors.get() + handles.size());
}

void Group::SetActive(bool active) {
    ComPtr<IOPCGroupStateMgt> state;
    HRESULT hr = items_.As(state);
    BOOL flag = active;
    DWORD revised = 0;
    if (SUCCEEDED(hr))
        hr = state->SetState(nullptr, &revised, &flag, nullptr, nullptr, nullptr, nullptr);
    if (FAILED(hr)) ThrowCallFailure(connection_, L"SetState", hr);
}
