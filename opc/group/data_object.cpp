// The group's side of OPC DA 1.0: its IDataObject (the three stream formats, advise connections
// kept by the platform's data advise holder) and the streams it sends: the update cycle's to
// the first OPCSTMFORMATDATATIME connection, a transaction's to the connection it names.
#include "opc_group.h"

#include <cstring>

#include "com_call.h"
#include "data_stream.h"

namespace {

struct StreamFormats {
    CLIPFORMAT data, dataTime, writeComplete;
};

const StreamFormats& Formats() {
    static const StreamFormats formats{
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATA")),
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME")),
        static_cast<CLIPFORMAT>(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"))};
    return formats;
}

// A fixed memory block holding `bytes`, handed over in `medium`; E_OUTOFMEMORY if none.
HRESULT ToMedium(const std::vector<BYTE>& bytes, STGMEDIUM* medium) {
    HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes.size());
    if (!block) return E_OUTOFMEMORY;
    memcpy(block, bytes.data(), bytes.size());
    medium->tymed = TYMED_HGLOBAL;
    medium->hGlobal = block;
    medium->pUnkForRelease = nullptr;
    return S_OK;
}

// The stream items of callback arrays; the values stay owned by the arrays.
std::vector<opcstream::Item> StreamItems(ItemValueArrays& v) {
    std::vector<opcstream::Item> items(v.Count());
    for (DWORD i = 0; i < v.Count(); ++i)
        items[i] = {v.Clients()[i], v.Qualities()[i], v.Timestamps()[i], &v.Values()[i]};
    return items;
}

// Calls `send(sink, formatetc)` for the connections `pick` chooses, then stops if it says so;
// every sink the enumeration hands out is released.
template <class Pick>
void ForEachConnection(IDataAdviseHolder* holder, Pick&& pick) noexcept {
    ComPtr<IEnumSTATDATA> connections;
    if (!holder || FAILED(holder->EnumAdvise(connections.Put())) || !connections) return;
    STATDATA data{};
    bool done = false;
    while (!done && connections->Next(1, &data, nullptr) == S_OK) {
        done = pick(data);
        if (data.pAdvSink) data.pAdvSink->Release();
        CoTaskMemFree(data.formatetc.ptd);
        data = STATDATA{};
    }
}

void Send(IAdviseSink* sink, FORMATETC& format, STGMEDIUM& medium) noexcept {
    if (sink) sink->OnDataChange(&format, &medium);
    GlobalFree(medium.hGlobal);
}

}  // namespace

HRESULT COPCGroup::BuildStream(CLIPFORMAT format, STGMEDIUM* medium) {
    const StreamFormats& f = Formats();
    if (format != f.data && format != f.dataTime && format != f.writeComplete)
        return DV_E_FORMATETC;  // the medium is not touched
    const OPCHANDLE group = ClientGroupHandle();
    std::vector<BYTE> bytes;
    {
        ProcessMutexLock lock(itemMutex_);
        if (format == f.writeComplete) {
            std::vector<std::pair<OPCHANDLE, HRESULT>> items;
            items.reserve(items_.Size());
            items_.ForEach([&](OPCHANDLE, std::unique_ptr<OPCItem>& item) {
                items.emplace_back(item->ClientHandle(), S_OK);
                return true;
            });
            bytes = opcstream::BuildWriteComplete(group, 1, S_OK, items);
        } else {
            ItemValueArrays values;
            values.Reserve(items_.Size());
            items_.ForEach([&](OPCHANDLE, std::unique_ptr<OPCItem>& item) {
                if (item->AccessRights() & OPC_READABLE) values.Add(*item);
                return true;
            });
            if (values.Count() == 0) {
                medium->tymed = TYMED_HGLOBAL;
                medium->hGlobal = nullptr;
                medium->pUnkForRelease = nullptr;
                return S_FALSE;
            }
            bytes = opcstream::BuildData(
                format == f.dataTime ? opcstream::Format::kDataTime : opcstream::Format::kData,
                group, 0, S_OK, StreamItems(values));
        }
    }
    return ToMedium(bytes, medium);
}

ComPtr<IDataAdviseHolder> COPCGroup::AdviseHolder() {
    CriticalSectionLock lock(sinkLock_);
    return adviseHolder_;
}

void COPCGroup::ReportStreamOfCycle(ItemValueArrays& values) noexcept {
    ComPtr<IDataAdviseHolder> holder = AdviseHolder();
    if (!holder) return;
    const CLIPFORMAT dataTime = Formats().dataTime;
    ForEachConnection(holder.Get(), [&](STATDATA& connection) {
        if (connection.formatetc.cfFormat != dataTime) return false;
        // Only the first such connection hears the cycle.
        STGMEDIUM medium{};
        try {
            if (SUCCEEDED(
                    ToMedium(opcstream::BuildData(opcstream::Format::kDataTime, ClientGroupHandle(),
                                                  0, S_OK, StreamItems(values)),
                             &medium)))
                Send(connection.pAdvSink, connection.formatetc, medium);
        } catch (...) {
            // No memory for the stream: this cycle sends nothing.
        }
        return true;
    });
}

void COPCGroup::ReportStreamToConnection(const CTransaction& t,
                                         ItemValueArrays& outcomes) noexcept {
    ComPtr<IDataAdviseHolder> holder = AdviseHolder();
    ForEachConnection(holder.Get(), [&](STATDATA& connection) {
        if (connection.dwConnection != t.connection) return false;
        STGMEDIUM medium{};
        const CLIPFORMAT format = connection.formatetc.cfFormat;
        HRESULT hr = E_FAIL;
        try {
            if (t.operation == AsyncOperation::kWrite && format == Formats().writeComplete) {
                std::vector<std::pair<OPCHANDLE, HRESULT>> items(outcomes.Count());
                for (DWORD i = 0; i < outcomes.Count(); ++i)
                    items[i] = {outcomes.Clients()[i], outcomes.Errors()[i]};
                hr = ToMedium(opcstream::BuildWriteComplete(ClientGroupHandle(), 1, S_OK, items),
                              &medium);
            } else {
                hr = BuildStream(format, &medium);
            }
        } catch (...) {
            hr = E_OUTOFMEMORY;
        }
        if (hr == S_OK) Send(connection.pAdvSink, connection.formatetc, medium);
        return true;
    });
}

STDMETHODIMP COPCGroup::GetData(FORMATETC* pformatetcIn, STGMEDIUM* pmedium) {
    RETURN_HR_IF_NULL(E_POINTER, pformatetcIn);
    RETURN_HR_IF_NULL(E_POINTER, pmedium);
    if (Defunct()) return E_FAIL;
    return ComCall([&] { return BuildStream(pformatetcIn->cfFormat, pmedium); });
}

STDMETHODIMP COPCGroup::GetDataHere(FORMATETC*, STGMEDIUM*) {
    return E_NOTIMPL;
}
STDMETHODIMP COPCGroup::QueryGetData(FORMATETC*) {
    return E_NOTIMPL;
}
STDMETHODIMP COPCGroup::GetCanonicalFormatEtc(FORMATETC*, FORMATETC*) {
    return E_NOTIMPL;
}
STDMETHODIMP COPCGroup::SetData(FORMATETC*, STGMEDIUM*, BOOL) {
    return E_NOTIMPL;
}
STDMETHODIMP COPCGroup::EnumFormatEtc(DWORD, IEnumFORMATETC**) {
    return E_NOTIMPL;
}

STDMETHODIMP COPCGroup::DAdvise(FORMATETC* pformatetc, DWORD advf, IAdviseSink* pAdvSink,
                                DWORD* pdwConnection) {
    RETURN_HR_IF_NULL(E_POINTER, pdwConnection);
    *pdwConnection = 0;
    RETURN_HR_IF_NULL(E_POINTER, pformatetc);
    RETURN_HR_IF_NULL(E_POINTER, pAdvSink);
    if (Defunct()) return E_FAIL;
    ComPtr<IDataAdviseHolder> holder;
    {
        CriticalSectionLock lock(sinkLock_);
        if (!adviseHolder_) RETURN_IF_FAILED(CreateDataAdviseHolder(adviseHolder_.Put()));
        holder = adviseHolder_;
    }
    // Outside the lock: a primed connection asks this object for its data at once.
    return holder->Advise(static_cast<IDataObject*>(this), pformatetc, advf, pAdvSink,
                          pdwConnection);
}

STDMETHODIMP COPCGroup::DUnadvise(DWORD dwConnection) {
    ComPtr<IDataAdviseHolder> holder = AdviseHolder();
    return holder ? holder->Unadvise(dwConnection) : OLE_E_NOCONNECTION;
}

STDMETHODIMP COPCGroup::EnumDAdvise(IEnumSTATDATA** ppenumAdvise) {
    RETURN_HR_IF_NULL(E_POINTER, ppenumAdvise);
    *ppenumAdvise = nullptr;
    ComPtr<IDataAdviseHolder> holder = AdviseHolder();
    return holder ? holder->EnumAdvise(ppenumAdvise) : E_FAIL;
}
