// A private group that lives exactly as long as this object, with the item and synchronous
// IO calls the commands need, their out-arrays already freed and copied into vectors.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "com_ptr.h"
#include "connection.h"
#include "opc.h"
#include "variant.h"

struct AddedItem {
    HRESULT error = E_FAIL;
    OPCHANDLE server = 0;
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = 0;
};

struct ItemState {
    HRESULT error = E_FAIL;
    Variant value;
    WORD quality = 0;
    FILETIME timestamp{};
};

class Group {
  public:
    // Throws ToolError (failure) when the server refuses the group.
    Group(Connection& connection, bool active, DWORD rate);
    ~Group();
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    DWORD RevisedRate() const { return revisedRate_; }

    // One result per identifier; throws only when the call as a whole fails.
    std::vector<AddedItem> AddItems(const std::vector<std::wstring>& ids);
    std::vector<ItemState> Read(OPCDATASOURCE source, const std::vector<OPCHANDLE>& handles);
    // `values` are lent for the call.
    std::vector<HRESULT> Write(const std::vector<OPCHANDLE>& handles,
                               const std::vector<VARIANT>& values);
    std::vector<HRESULT> RemoveItems(const std::vector<OPCHANDLE>& handles);

    // The group object, for its connection point.
    IUnknown* Object() const { return items_.Get(); }
    // IOPCAsyncIO2::Read: the errors of the start, per item (the values come in
    // OnReadComplete). Throws when the group has no IOPCAsyncIO2 or the call fails.
    std::vector<HRESULT> ReadAsync(const std::vector<OPCHANDLE>& handles, DWORD transaction);
    // IOPCGroupStateMgt::SetState with the active flag only.
    void SetActive(bool active);
    // OPC DA 3.0 (IOPCGroupStateMgt2): the keep-alive time the server revised `ms` to. Throws
    // when the group has no such interface or the call fails.
    DWORD SetKeepAlive(DWORD ms);
    // OPC DA 3.0 (IOPCItemDeadbandMgt): one percent deadband for every item, the errors per
    // item. Throws when the group has no such interface or the call as a whole fails.
    std::vector<HRESULT> SetItemDeadbands(const std::vector<OPCHANDLE>& handles, FLOAT percent);

  private:
    Connection& connection_;
    OPCHANDLE handle_ = 0;
    DWORD revisedRate_ = 0;
    ComPtr<IOPCItemMgt> items_;
    ComPtr<IOPCSyncIO> io_;
};
