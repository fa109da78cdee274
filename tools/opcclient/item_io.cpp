#include "item_io.h"

#include <memory>

#include "co_task_mem.h"
#include "hresult_text.h"
#include "tool_error.h"

namespace {

ComPtr<IOPCItemIO> ItemIoOf(Connection& connection) {
    ComPtr<IOPCItemIO> io;
    const HRESULT hr = ComPtr<IOPCServer>(connection.Server()).As(io);
    if (FAILED(hr)) ThrowFailure(L"the server does not offer IOPCItemIO: " + CodeWithName(hr));
    return io;
}

std::vector<LPCWSTR> Pointers(const std::vector<std::wstring>& ids) {
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& id : ids) pointers.push_back(id.c_str());
    return pointers;
}

// Item property 1 of `id`: VT_I2 holding the type; `error` the server's code otherwise.
VARTYPE CanonicalType(IOPCItemProperties* properties, const std::wstring& id, HRESULT& error) {
    DWORD property = OPC_PROPERTY_DATATYPE;
    VARIANT* rawValues = nullptr;
    HRESULT* rawErrors = nullptr;
    const HRESULT hr = properties->GetItemProperties(const_cast<LPWSTR>(id.c_str()), 1, &property,
                                                     &rawValues, &rawErrors);
    std::unique_ptr<VARIANT, CoTaskMemDeleter> values(rawValues);
    std::unique_ptr<HRESULT, CoTaskMemDeleter> errors(rawErrors);
    error = FAILED(hr) || !errors ? (FAILED(hr) ? hr : E_FAIL) : *errors;
    VARTYPE type = VT_EMPTY;
    if (values) {
        if (SUCCEEDED(error) && V_VT(values.get()) == VT_I2)
            type = static_cast<VARTYPE>(V_I2(values.get()));
        VariantClear(values.get());
    }
    return type;
}

}  // namespace

std::vector<ItemState> ReadByIds(Connection& connection, const std::vector<std::wstring>& ids,
                                 DWORD maxAge) {
    ComPtr<IOPCItemIO> io = ItemIoOf(connection);
    std::vector<LPCWSTR> pointers = Pointers(ids);
    std::vector<DWORD> ages(ids.size(), maxAge);
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = io->Read(static_cast<DWORD>(ids.size()), pointers.data(), ages.data(),
                                &values, &qualities, &times, &errors);
    return TakeValueArrays(connection, L"IOPCItemIO::Read", hr, ids.size(), values, qualities,
                           times, errors);
}

std::vector<HRESULT> WriteVqtByIds(Connection& connection, const std::vector<std::wstring>& ids,
                                   const std::vector<VARIANT>& values, const VqtExtras& extras) {
    ComPtr<IOPCItemIO> io = ItemIoOf(connection);
    std::vector<LPCWSTR> pointers = Pointers(ids);
    std::vector<OPCITEMVQT> vqts = MakeVqts(values, extras);
    HRESULT* rawErrors = nullptr;
    const HRESULT hr =
        io->WriteVQT(static_cast<DWORD>(ids.size()), pointers.data(), vqts.data(), &rawErrors);
    std::unique_ptr<HRESULT, CoTaskMemDeleter> errors(rawErrors);
    if (FAILED(hr) || !errors) ThrowCallFailure(connection, L"IOPCItemIO::WriteVQT", hr);
    return std::vector<HRESULT>(errors.get(), errors.get() + ids.size());
}

ItemSet IdentifierSet(Connection& connection, const std::vector<std::wstring>& ids, bool typed) {
    ComPtr<IOPCItemProperties> properties;
    if (typed) {
        const HRESULT hr = ComPtr<IOPCServer>(connection.Server()).As(properties);
        if (FAILED(hr))
            ThrowFailure(L"the server does not offer IOPCItemProperties: " + CodeWithName(hr));
    }
    ItemSet set;
    set.reports.resize(ids.size());
    set.added.resize(ids.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        ItemReport& report = set.reports[i];
        report.item = ids[i];
        if (typed) report.type = CanonicalType(properties.Get(), ids[i], report.error);
        set.added[i].error = report.error;
        set.added[i].canonicalType = report.type;
        if (FAILED(report.error)) {
            report.errorText = connection.ErrorText(report.error);
            continue;
        }
        set.positions.push_back(i);
    }
    return set;
}
