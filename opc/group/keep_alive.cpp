// IOPCGroupStateMgt2: the group's keep-alive time, and the cycle's side of it.
//
// A keep-alive is an OnDataChange without items (transaction 0, master quality and error
// S_OK) that goes to the data-change subscribers when the group has sent them no
// OnDataChange for the keep-alive time: a client that hears nothing can then tell a quiet
// server from a gone one. That is also why it goes whether the group is active or not: an
// inactive group sends no values, and its client still wants to know that the server lives.
// With every item sent every cycle, the cycles' callbacks keep the group alive by themselves,
// and keep-alives are heard only from a group that has nothing to send.
#include <algorithm>

#include "opc_group.h"

// The time is kept as asked down to the shortest the group keeps (revised upwards, with
// OPC_S_UNSUPPORTEDRATE, as a too short update rate is). The longest, 0xFFFFFFFF ms, is kept
// as it is: the clock behind it does not wrap.
STDMETHODIMP COPCGroup::SetKeepAlive(DWORD dwKeepAliveTime, DWORD* pdwRevisedKeepAliveTime) {
    RETURN_HR_IF_NULL(E_POINTER, pdwRevisedKeepAliveTime);
    *pdwRevisedKeepAliveTime = 0;
    if (Defunct()) return E_FAIL;
    const DWORD revised = dwKeepAliveTime == 0 ? 0 : std::max(dwKeepAliveTime, kMinimumKeepAlive);
    // Counted from now: a client that turns it on hears from the group within the time.
    lastDataChange_ = GetTickCount64();
    keepAlive_ = revised;
    schedule_.Wake();
    *pdwRevisedKeepAliveTime = revised;
    return revised == dwKeepAliveTime ? S_OK : OPC_S_UNSUPPORTEDRATE;
}

STDMETHODIMP COPCGroup::GetKeepAlive(DWORD* pdwKeepAliveTime) {
    RETURN_HR_IF_NULL(E_POINTER, pdwKeepAliveTime);
    *pdwKeepAliveTime = 0;
    if (Defunct()) return E_FAIL;
    *pdwKeepAliveTime = keepAlive_;
    return S_OK;
}

DWORD COPCGroup::KeepAliveTurn() noexcept {
    const DWORD keepAlive = keepAlive_;
    if (keepAlive == 0 || Defunct()) return INFINITE;
    // Another thread may have reported after `now` was read: that counts as no time passed.
    auto since = [&] {
        const uint64_t now = GetTickCount64(), last = lastDataChange_;
        return now > last ? now - last : 0;
    };
    if (since() >= keepAlive) {
        if (HasDataSinks()) {
            ItemValueArrays none;
            ReportDataChange(0, none);
        } else {
            // Nobody to keep: a subscriber that comes hears from the group within the time.
            lastDataChange_ = GetTickCount64();
        }
    }
    const uint64_t left = keepAlive - std::min<uint64_t>(since(), keepAlive);
    return static_cast<DWORD>(std::clamp<uint64_t>(left, 1, INFINITE - 1));
}
