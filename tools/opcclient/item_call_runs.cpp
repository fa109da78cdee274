#include "item_call_runs.h"

#include "bench_support.h"
#include "group.h"
#include "hresult_text.h"
#include "item_io.h"
#include "tool_error.h"

const wchar_t* const kOperationNames[kOperationCount] = {
    L"add_items",    L"read_cache",      L"read_device",  L"write",
    L"remove_items", L"item_io_any_age", L"item_io_age_0"};
const wchar_t* const kOperationLabels[kOperationCount] = {
    L"AddItems",    L"Read (cache)",          L"Read (device)",      L"Write",
    L"RemoveItems", L"ItemIO Read (any age)", L"ItemIO Read (age 0)"};

namespace {

// A benchmark of failing calls would measure the error path; stop at the first item error.
void CheckAll(Connection& connection, const wchar_t* call, const std::wstring& item,
              const std::vector<HRESULT>& errors) {
    for (HRESULT e : errors)
        if (FAILED(e))
            ThrowFailure(std::wstring(call) + L" of " + item + L" failed: " + CodeWithName(e) +
                         L" " + connection.ErrorText(e));
}

// Times one operation, and the server's CPU time for it when the server can be watched. The
// meter is read outside the timed span: a read takes milliseconds, as long as a call of a
// thousand items.
class Measured {
  public:
    Measured(const std::optional<ProcessMeter>& meter, RunFigures& figures, Operation op, DWORD n)
        : meter_(meter),
          figures_(figures),
          op_(op),
          n_(n),
          before_(meter ? meter->Read().cpuSeconds : 0) {}
    ~Measured() {
        const double seconds = watch_.Seconds();
        figures_.rate[op_] = n_ / seconds;
        if (meter_) figures_.cpu[op_] = (meter_->Read().cpuSeconds - before_) * 1e6 / n_;
    }

  private:
    const std::optional<ProcessMeter>& meter_;
    RunFigures& figures_;
    Operation op_;
    double n_;
    double before_;
    Stopwatch watch_;  // started after before_ is read
};

}  // namespace

RunFigures OneItemCallRun(Connection& connection, const std::optional<ProcessMeter>& meter,
                          const std::wstring& item, DWORD size) {
    RunFigures figures;
    Group group(connection, false, 1000);
    const std::vector<std::wstring> ids(size, item);

    std::vector<AddedItem> added;
    {
        Measured m(meter, figures, kAddItems, size);
        added = group.AddItems(ids);
    }
    std::vector<HRESULT> errors;
    std::vector<OPCHANDLE> handles;
    for (const AddedItem& a : added) {
        errors.push_back(a.error);
        handles.push_back(a.server);
    }
    RequireAdded(connection, item, added);

    std::vector<ItemState> states;
    {
        Measured m(meter, figures, kReadCache, size);
        states = group.Read(OPC_DS_CACHE, handles);
    }
    errors.clear();
    for (const ItemState& s : states) errors.push_back(s.error);
    CheckAll(connection, L"Read", item, errors);

    {
        Measured m(meter, figures, kReadDevice, size);
        states = group.Read(OPC_DS_DEVICE, handles);
    }
    errors.clear();
    for (const ItemState& s : states) errors.push_back(s.error);
    CheckAll(connection, L"Read", item, errors);

    // Writing back what was read changes nothing on the device.
    if (added[0].accessRights & OPC_WRITEABLE) {
        std::vector<VARIANT> values;
        for (const ItemState& s : states) values.push_back(*s.value.Get());
        {
            Measured m(meter, figures, kWrite, size);
            errors = group.Write(handles, values);
        }
        CheckAll(connection, L"Write", item, errors);
    }

    {
        Measured m(meter, figures, kRemoveItems, size);
        errors = group.RemoveItems(handles);
    }
    CheckAll(connection, L"RemoveItems", item, errors);

    // The same reads by identifier without a group (OPC DA 3.0), where the server has them:
    // the driver's value as it is, and one fresh from the device.
    ComPtr<IOPCItemIO> itemIo;
    if (FAILED(ComPtr<IOPCServer>(connection.Server()).As(itemIo))) return figures;
    for (const auto& [op, age] :
         {std::pair{kItemIoAnyAge, DWORD{0xFFFFFFFF}}, {kItemIoAge0, 0ul}}) {
        {
            Measured m(meter, figures, op, size);
            states = ReadByIds(connection, ids, age);
        }
        errors.clear();
        for (const ItemState& s : states) errors.push_back(s.error);
        CheckAll(connection, L"IOPCItemIO::Read", item, errors);
    }
    return figures;
}
