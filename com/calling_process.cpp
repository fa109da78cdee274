#include "calling_process.h"

#include <rpc.h>
#include <rpcdcep.h>

UniqueHandle OpenCallingProcess() noexcept {
    unsigned long id = 0;
    // The binding of the call in progress on this thread: RPC_S_NO_CALL_ACTIVE outside one.
    if (I_RpcBindingInqLocalClientPID(nullptr, &id) != RPC_S_OK || id == 0 ||
        id == GetCurrentProcessId())
        return UniqueHandle();
    return UniqueHandle(OpenProcess(SYNCHRONIZE, FALSE, id));
}

bool ProcessEnded(const UniqueHandle& process) noexcept {
    return process && WaitForSingleObject(process.Get(), 0) == WAIT_OBJECT_0;
}
