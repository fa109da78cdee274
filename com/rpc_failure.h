// The errors of a call into another process that has ended or cut its connections: the call
// was not carried out, and calling again would only fail again after the RPC layer has spent
// its time on it. Servers meet them calling a vanished client's sink, clients calling a
// vanished server.
#pragma once

#include <windows.h>
#include <winerror.h>

inline bool IsPeerGone(HRESULT hr) noexcept {
    switch (hr) {
        case RPC_E_DISCONNECTED:
        case RPC_E_SERVER_DIED:
        case RPC_E_SERVER_DIED_DNE:
        case CO_E_OBJNOTCONNECTED:
        case HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE):
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED):
        case HRESULT_FROM_WIN32(RPC_S_CALL_FAILED_DNE):
            return true;
        default:
            return false;
    }
}
