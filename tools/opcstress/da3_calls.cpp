// The OPC DA 3.0 calls of the stress client: browsing and IO by item identifier on the server
// object, reads with a maximum age and value-quality-timestamp writes on a group, with counts
// from none to many, ages and filters at both ends, continuation points that are real, spent
// or made up, and values of any shape.
#include <limits>
#include <string>
#include <vector>

#include "co_task_mem.h"
#include "stress_worker.h"

namespace {

constexpr DWORD kAges[] = {0, 1, 1000, 0x7FFFFFFF, 0xFFFFFFFE, 0xFFFFFFFF};

void FreeProperties(OPCITEMPROPERTIES& p) {
    for (DWORD i = 0; p.pItemProperties && i < p.dwNumProperties; ++i) {
        CoTaskMemFree(p.pItemProperties[i].szItemID);
        CoTaskMemFree(p.pItemProperties[i].szDescription);
        VariantClear(&p.pItemProperties[i].vValue);
    }
    CoTaskMemFree(p.pItemProperties);
}

void FreeReads(DWORD count, VARIANT* values, WORD* qualities, FILETIME* timestamps,
               HRESULT* errors) {
    for (DWORD i = 0; values && i < count; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(timestamps);
    CoTaskMemFree(errors);
}

}  // namespace

DWORD StressWorker::MaxAge() {
    return in_.Chance(80) ? kAges[in_.Below(6)] : in_.Any32();
}

std::vector<OPCITEMVQT> StressWorker::Vqts(DWORD count, std::vector<Variant>& held) {
    std::vector<OPCITEMVQT> vqts(count);
    for (DWORD i = 0; i < count; ++i) {
        held.push_back(i < 16 ? in_.Value(byref_) : Variant());
        vqts[i].vDataValue = *held.back().Get();
        vqts[i].bQualitySpecified = in_.Chance(20) ? static_cast<BOOL>(in_.Any32()) : FALSE;
        vqts[i].wQuality = static_cast<WORD>(in_.Any32());
        vqts[i].bTimeStampSpecified = in_.Chance(20);
        vqts[i].ftTimeStamp.dwLowDateTime = in_.Any32();
        vqts[i].ftTimeStamp.dwHighDateTime = in_.Any32();
    }
    return vqts;
}

void StressWorker::Da3ServerCall() {
    std::vector<std::wstring> ids;
    const DWORD count = in_.Chance(90) ? in_.Below(12) : 10000;
    for (DWORD i = 0; i < count; ++i)
        ids.push_back(i < 64                    ? in_.ItemId(shared_.itemIds)
                      : shared_.itemIds.empty() ? std::wstring()
                                                : shared_.itemIds.front());
    std::vector<LPWSTR> idList;
    for (std::wstring& id : ids) idList.push_back(id.data());
    wchar_t none[] = L"";
    LPWSTR* list = idList.empty() ? nullptr : idList.data();

    ComPtr<IOPCBrowse> browse;
    if (SUCCEEDED(server_.As(browse))) {
        std::vector<DWORD> wanted(in_.Chance(80) ? in_.Below(10) : 5000);
        for (DWORD& w : wanted) w = in_.Chance(70) ? 1 + in_.Below(8) : in_.Any32();
        DWORD dummy = 0;  // an [in, size_is] array is a reference even when empty
        DWORD* wantedList = wanted.empty() ? &dummy : wanted.data();
        OPCITEMPROPERTIES* properties = nullptr;
        if (SUCCEEDED(Count(browse->GetProperties(count, list, in_.Chance(50),
                                                  static_cast<DWORD>(wanted.size()), wantedList,
                                                  &properties)))) {
            for (DWORD i = 0; properties && i < count; ++i) FreeProperties(properties[i]);
            CoTaskMemFree(properties);
        }

        // A branch walked page by page, and points that are spent, foreign or made up.
        std::wstring where = in_.Chance(30) ? std::wstring() : in_.ItemId(shared_.itemIds);
        const std::wstring names = in_.Chance(70) ? std::wstring() : in_.Text();
        LPWSTR point = CoTaskStrDup(in_.Chance(80) ? L"" : in_.Text().c_str());
        for (int page = 0; page < 4 && point; ++page) {
            BOOL more = FALSE;
            DWORD got = 0;
            OPCBROWSEELEMENT* elements = nullptr;
            const HRESULT hr = Count(browse->Browse(
                where.data(), &point, in_.Chance(50) ? in_.Below(4) : in_.Any32(),
                static_cast<OPCBROWSEFILTER>(in_.Chance(90) ? 1 + in_.Below(3) : in_.Below(9)),
                const_cast<wchar_t*>(names.c_str()), none, in_.Chance(30), in_.Chance(30),
                static_cast<DWORD>(wanted.size() < 20 ? wanted.size() : 0), wantedList, &more, &got,
                &elements));
            for (DWORD i = 0; SUCCEEDED(hr) && elements && i < got; ++i) {
                CoTaskMemFree(elements[i].szName);
                CoTaskMemFree(elements[i].szItemID);
                FreeProperties(elements[i].ItemProperties);
            }
            CoTaskMemFree(elements);
            if (FAILED(hr) || !point || !*point) break;
            if (in_.Chance(20)) {  // forged: the point's own text, changed by a character
                point[0] = static_cast<wchar_t>(point[0] + 1);
            }
        }
        CoTaskMemFree(point);
    }

    ComPtr<IOPCItemIO> io;
    if (FAILED(server_.As(io))) return;
    std::vector<DWORD> ages(count ? count : 1);
    for (DWORD& age : ages) age = MaxAge();
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* timestamps = nullptr;
    HRESULT* errors = nullptr;
    LPCWSTR* readList = const_cast<LPCWSTR*>(list);
    if (SUCCEEDED(Count(
            io->Read(count, readList, ages.data(), &values, &qualities, &timestamps, &errors))))
        FreeReads(count, values, qualities, timestamps, errors);
    std::vector<Variant> held;
    std::vector<OPCITEMVQT> vqts = Vqts(count, held);
    errors = nullptr;
    if (SUCCEEDED(
            Count(io->WriteVQT(count, readList, vqts.empty() ? nullptr : vqts.data(), &errors))))
        CoTaskMemFree(errors);
}

void StressWorker::Da3GroupIoCall(IUnknown* group, DWORD count, OPCHANDLE* list) {
    std::vector<DWORD> ages(count ? count : 1);
    for (DWORD& age : ages) age = MaxAge();
    std::vector<Variant> held;
    std::vector<OPCITEMVQT> vqts = Vqts(count, held);
    OPCITEMVQT* vqtList = vqts.empty() ? nullptr : vqts.data();
    HRESULT* errors = nullptr;

    ComPtr<IOPCSyncIO2> sync;
    if (SUCCEEDED(group->QueryInterface(IID_IOPCSyncIO2, sync.PutVoid()))) {
        VARIANT* values = nullptr;
        WORD* qualities = nullptr;
        FILETIME* timestamps = nullptr;
        if (SUCCEEDED(CountOnGroup(sync->ReadMaxAge(count, list, ages.data(), &values, &qualities,
                                                    &timestamps, &errors))))
            FreeReads(count, values, qualities, timestamps, errors);
        errors = nullptr;
        if (SUCCEEDED(CountOnGroup(sync->WriteVQT(count, list, vqtList, &errors))))
            CoTaskMemFree(errors);
    }

    ComPtr<IOPCAsyncIO3> async;
    if (FAILED(group->QueryInterface(IID_IOPCAsyncIO3, async.PutVoid()))) return;
    DWORD cancel = 0;
    errors = nullptr;
    switch (in_.Below(3)) {
        case 0:
            if (SUCCEEDED(CountOnGroup(
                    async->ReadMaxAge(count, list, ages.data(), in_.Any32(), &cancel, &errors))))
                CoTaskMemFree(errors);
            break;
        case 1:
            if (SUCCEEDED(CountOnGroup(
                    async->WriteVQT(count, list, vqtList, in_.Any32(), &cancel, &errors))))
                CoTaskMemFree(errors);
            break;
        default:
            CountOnGroup(async->RefreshMaxAge(MaxAge(), in_.Any32(), &cancel));
            break;
    }
    CountOnGroup(async->Cancel2(in_.Chance(50) ? cancel : in_.Any32()));
}
