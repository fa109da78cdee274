// A private group that lives exactly as long as this object, with the item and synchronous
// IO calls the commands need, their out-arrays already freed and copied into vectors.
#pragma once

#include <windows.h>
#include <optional>
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

// What an OPC DA 3.0 write gives besides each value: the same quality or timestamp for every
// item, when asked for.
struct VqtExtras {
    std::optional<WORD> quality;
    std::optional<FILETIME> timestamp;
};
// The entries of a write: `values` lent, not copied.
std::vector<OPCITEMVQT> MakeVqts(const std::vector<VARIANT>& values, const VqtExtras& extras);

// Throws ToolError (failure): `call` failed with `hr`, with the server's text for it.
void ThrowCallFailure(Connection& connection, const wchar_t* call, HRESULT hr);

// The separate arrays of an OPC DA 3.0 read (freed here), as states; throws when the call
// failed.
std::vector<ItemState> TakeValueArrays(Connection& connection, const wchar_t* call, HRESULT hr,
                                       size_t count, VARIANT* values, WORD* qualities,
                                       FILETIME* timestamps, HRESULT* errors);

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
    // IOPCSyncIO2 (OPC DA 3.0): every item with the same maximum age, and the write with
    // `extras`. Throw when the group has no IOPCSyncIO2 or the call fails.
    std::vector<ItemState> ReadMaxAge(DWORD maxAge, const std::vector<OPCHANDLE>& handles);
    std::vector<HRESULT> WriteVQT(const std::vector<OPCHANDLE>& handles,
                                  const std::vector<VARIANT>& values, const VqtExtras& extras);
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
