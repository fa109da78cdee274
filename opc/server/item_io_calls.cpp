// IOPCItemIO of the server object: reads and writes of tags named by identifier, with no
// group and no item records. The identifiers are looked up as AddItems looks them up, all of
// them with one task per driver, and the tags are read or written the same way
// (driver_batches.h), so a driver that does not answer costs the call one wait limit.
//
// No cache of its own: the server keeps values only in its groups' items. A read with a
// maximum age below 0xFFFFFFFF reads the device (one fresh update of every driver, as a group's
// device read); 0xFFFFFFFF takes the value the driver holds now, which is the driver's own
// cache. When both kinds are asked in one call, every tag is read after the fresh update, so
// that the call waits for the drivers once.
#include "opc_server.h"

#include <cwchar>
#include <vector>

#include "co_task_mem.h"
#include "com_call.h"
#include "driver_batches.h"
#include "driver_list.h"
#include "item_calls.h"
#include "opc_item.h"
#include "reply_budget.h"

namespace {

// The checks both calls start with: the out-pointers (cleared), the count and the arrays.
template <class... Outs>
HRESULT BeginItemIO(DWORD count, const void* ids, const void* inputs, Outs**... outs) noexcept {
    if (((outs == nullptr) || ...)) return E_POINTER;
    ((*outs = nullptr), ...);
    RETURN_IF_FAILED(CheckItemCount(count, ids));
    return inputs ? S_OK : E_INVALIDARG;
}

// What the drivers know of each identifier (a null one is an empty identifier).
std::vector<TagLookup> LookUpIds(DWORD count, const LPCWSTR* ids) {
    std::vector<OPCITEMDEF> defs(count);
    for (DWORD i = 0; i < count; ++i) {
        defs[i].szAccessPath = const_cast<wchar_t*>(L"");
        defs[i].szItemID = const_cast<wchar_t*>(ids[i] ? ids[i] : L"");
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    return LookUpTags(*g_drivers.Snapshot(), defs.data(), count);
}

// An identifier without a driver's name in front is not of this server's syntax; one that
// has it names a tag, or nothing the client could read or write.
HRESULT ResolvedAs(const wchar_t* id, const TagLookup& found) noexcept {
    if (!id || !wcschr(id, L'.') || id[0] == L'.') return OPC_E_INVALIDITEMID;
    if (!found.answered) return E_FAIL;
    if (!found.driver || !found.tag || !found.facts.isTag) return OPC_E_UNKNOWNITEMID;
    return S_OK;
}

}  // namespace

STDMETHODIMP OPCServer::Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge,
                             VARIANT** ppvValues, WORD** ppwQualities, FILETIME** ppftTimeStamps,
                             HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemIO(dwCount, pszItemIDs, pdwMaxAge, ppvValues, ppwQualities,
                                 ppftTimeStamps, ppErrors));
    return ComCall([&] {
        CoTaskArray<VARIANT> values(dwCount);
        CoTaskArray<WORD> qualities(dwCount);
        CoTaskArray<FILETIME> timestamps(dwCount);
        CoTaskArray<HRESULT> errors(dwCount);
        const std::vector<TagLookup> found = LookUpIds(dwCount, pszItemIDs);
        std::vector<TagRef> tags(dwCount);
        bool anyError = false, fromDevice = false;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = ResolvedAs(pszItemIDs[i], found[i]);
            anyError |= errors[i] != S_OK;
            if (errors[i] != S_OK) continue;
            tags[i] = TagRef{found[i].driver, found[i].tag};
            fromDevice |= pdwMaxAge[i] != OPCItem::kMaxAgeCache;
        }
        std::vector<CDriver::TagReading> readings = ReadTags(tags, fromDevice);
        ReplyBudget budget;
        DWORD moved = 0;
        try {
            for (; moved < dwCount; ++moved) {
                budget.Spend(sizeof(VARIANT) + sizeof(WORD) + sizeof(FILETIME) + sizeof(HRESULT));
                if (errors[moved] != S_OK) continue;
                CDriver::TagReading& reading = readings[moved];
                qualities[moved] = reading.quality;
                timestamps[moved] = reading.timestamp;
                // A driver that failed has no value to give, only its bad quality.
                if (!reading.driverFailed) reading.value.DetachTo(&values[moved]);
                budget.SpendValue(values[moved]);
            }
        } catch (...) {
            for (DWORD i = 0; i <= moved && i < dwCount; ++i) VariantClear(&values[i]);
            throw;
        }
        *ppvValues = values.Detach();
        *ppwQualities = qualities.Detach();
        *ppftTimeStamps = timestamps.Detach();
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}

// As a group's WriteVQT: only values go to the drivers, so an entry with a quality or a
// timestamp is refused (OPC_E_NOTSUPPORTED); the others are checked and converted to their
// tags' types as a group's items check and convert them.
STDMETHODIMP OPCServer::WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT,
                                 HRESULT** ppErrors) {
    RETURN_IF_FAILED(BeginItemIO(dwCount, pszItemIDs, pItemVQT, ppErrors));
    return ComCall([&] {
        CoTaskArray<HRESULT> errors(dwCount);
        const std::vector<TagLookup> found = LookUpIds(dwCount, pszItemIDs);
        std::vector<DWORD> positions;
        std::vector<TagRef> tags;
        std::vector<Variant> converted;
        for (DWORD i = 0; i < dwCount; ++i) {
            errors[i] = ResolvedAs(pszItemIDs[i], found[i]);
            if (errors[i] != S_OK) continue;
            const OPCITEMVQT& vqt = pItemVQT[i];
            if (vqt.bQualitySpecified || vqt.bTimeStampSpecified) {
                errors[i] = OPC_E_NOTSUPPORTED;
                continue;
            }
            OPCItem record;  // the tag's rights and type, as an item of it would have them
            record.Bind(found[i], nullptr);
            Variant value;
            errors[i] = record.PrepareWrite(vqt.vDataValue, value);
            if (errors[i] != S_OK) continue;
            positions.push_back(i);
            tags.push_back(TagRef{found[i].driver, found[i].tag});
            converted.push_back(std::move(value));
        }
        const std::vector<bool> taken = WriteTags(tags, converted);
        for (size_t k = 0; k < positions.size(); ++k)
            errors[positions[k]] = taken[k] ? S_OK : E_FAIL;
        bool anyError = false;
        for (DWORD i = 0; i < dwCount; ++i) anyError |= errors[i] != S_OK;
        *ppErrors = errors.Detach();
        return anyError ? S_FALSE : S_OK;
    });
}
