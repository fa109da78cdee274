// A Modbus tree handed to the driver DLL, loaded by the driver host, as the bytes of its
// configuration stream.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <string>

#include "driver.h"
#include "modbus_model.h"

namespace modbus_tree {

// Hands `tree` to the driver as its configuration stream.
inline bool LoadTree(CDriver& driver, const modbus::Model& tree) {
    const std::string bytes = tree.Save();
    ILockBytes* memory = nullptr;
    IStorage* storage = nullptr;
    if (FAILED(CreateILockBytesOnHGlobal(nullptr, TRUE, &memory))) return false;
    HRESULT hr = StgCreateDocfileOnILockBytes(
        memory, STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage);
    memory->Release();
    if (FAILED(hr)) return false;
    IStream* stream = nullptr;
    hr = storage->CreateStream(driver.StreamName().c_str(),
                               STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, &stream);
    if (SUCCEEDED(hr)) {
        ULONG written = 0;
        hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        stream->Release();
    }
    if (SUCCEEDED(hr)) driver.Serialize(storage, FALSE);
    storage->Release();
    return SUCCEEDED(hr);
}

}  // namespace modbus_tree
