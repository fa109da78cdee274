// The group's side of IOPCDataCallback: its connection point, and every callback it makes.
#include "opc_group.h"
#include "rpc_failure.h"

STDMETHODIMP COPCGroup::EnumConnectionPoints(IEnumConnectionPoints** out) {
    return EnumConnectionPointsOf({&dataPoint_}, Identity(), out);
}

STDMETHODIMP COPCGroup::FindConnectionPoint(REFIID riid, IConnectionPoint** out) {
    return FindConnectionPointIn({&dataPoint_}, riid, out);
}

bool COPCGroup::HasDataSinks() noexcept {
    return dataPoint_.HasLiveSinks();
}

// A failed call is not retried and does not stop the others; its result is not examined
// beyond telling a client that has gone.
template <class Call>
void COPCGroup::ForEachDataSink(Call&& call) noexcept {
    std::vector<ComPtr<IOPCDataCallback>> sinks;
    try {
        sinks = dataPoint_.Sinks();
    } catch (...) {
        return;  // no memory for the list: this callback is lost for every sink
    }
    for (ComPtr<IOPCDataCallback>& sink : sinks)
        if (IsPeerGone(call(sink.Get()))) dataPoint_.MarkGone(sink.Get());
}

void COPCGroup::ReportDataChange(DWORD transactionId, ItemValueArrays& v) noexcept {
    const OPCHANDLE group = ClientGroupHandle();
    const HRESULT quality = v.MasterQuality(), error = v.MasterError();
    ForEachDataSink([&](IOPCDataCallback* sink) {
        return sink->OnDataChange(transactionId, group, quality, error, v.Count(), v.Clients(),
                                  v.Values(), v.Qualities(), v.Timestamps(), v.Errors());
    });
    // The subscribers have heard from the group: the keep-alive time counts from here.
    lastDataChange_ = GetTickCount64();
}

void COPCGroup::ReportReadComplete(DWORD transactionId, ItemValueArrays& v) noexcept {
    const OPCHANDLE group = ClientGroupHandle();
    const HRESULT quality = v.MasterQuality(), error = v.MasterError();
    ForEachDataSink([&](IOPCDataCallback* sink) {
        return sink->OnReadComplete(transactionId, group, quality, error, v.Count(), v.Clients(),
                                    v.Values(), v.Qualities(), v.Timestamps(), v.Errors());
    });
}

void COPCGroup::ReportWriteComplete(DWORD transactionId, ItemValueArrays& outcomes) noexcept {
    const OPCHANDLE group = ClientGroupHandle();
    const HRESULT error = outcomes.MasterError();
    ForEachDataSink([&](IOPCDataCallback* sink) {
        return sink->OnWriteComplete(transactionId, group, error, outcomes.Count(),
                                     outcomes.Clients(), outcomes.Errors());
    });
}

void COPCGroup::ReportCancelComplete(DWORD transactionId) noexcept {
    const OPCHANDLE group = ClientGroupHandle();
    ForEachDataSink(
        [&](IOPCDataCallback* sink) { return sink->OnCancelComplete(transactionId, group); });
}
