// Looks every few seconds for server objects whose client process has ended without releasing
// them (killed, crashed, or unable to unmarshal what it was given) and cuts their connections,
// so that their groups stop and the process can end by itself. Windows does this through COM
// pinging after about six minutes; Wine never does.
#pragma once

#include <windows.h>

#include "win_handle.h"

// Disconnects the server objects of ended clients now; their number.
size_t DisconnectEndedClients() noexcept;

class EndedClientWatch {
  public:
    static constexpr DWORD kPeriodMs = 2000;

    EndedClientWatch() = default;
    EndedClientWatch(const EndedClientWatch&) = delete;
    EndedClientWatch& operator=(const EndedClientWatch&) = delete;
    ~EndedClientWatch() { Stop(); }

    // False if the thread could not start (ended clients then stay until the process ends).
    bool Start(DWORD periodMs = kPeriodMs) noexcept;
    void Stop() noexcept;

  private:
    static DWORD WINAPI ThreadProc(void* self) noexcept;

    DWORD periodMs_ = kPeriodMs;
    UniqueHandle stop_;
    UniqueHandle thread_;
};
