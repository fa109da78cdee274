// The worker of one device: reads the device's tags every poll period on a thread of its own,
// in as few requests as the protocol allows, and posts what it read to the model; a slow or
// silent device holds up nobody but itself and the devices on its own line or gateway, which
// take turns with it on one shared link. Writes are handed to the same worker and go before
// the next read request.
//
// The thread holds a reference to the driver's DLL and lets it go as it ends, so the DLL stays
// loaded under a worker that is still waiting for its device when the server unloads it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "link_book.h"
#include "link_pool.h"
#include "modbus_model.h"

namespace modbus {

class DevicePoller : public std::enable_shared_from_this<DevicePoller> {
  public:
    // `links`, if given, counts what the device's link does (it outlives the worker).
    DevicePoller(Model& model, DWORD device, LinkBook* links = nullptr);
    ~DevicePoller();
    DevicePoller(const DevicePoller&) = delete;
    DevicePoller& operator=(const DevicePoller&) = delete;

    bool Start();
    // Asks the thread to end; it does after the request in flight, if any.
    void Stop();
    // True when the thread has ended within `ms`.
    bool WaitEnded(DWORD ms) const;
    bool Ended() const { return WaitEnded(0); }
    DWORD Device() const { return device_; }

    // Sends `request` (a write PDU) and waits for the device to confirm it: true when the
    // device echoed it. Waits at most the response time-out for the worker to take it up
    // (withdrawn otherwise) and the time-out again for the answer.
    bool Write(const Bytes& request, DWORD timeoutMs);

    // Tags merged into one request may lie this many registers (or bits) apart.
    static constexpr uint16_t kMaxGap = 16;

  private:
    struct WriteJob {
        Bytes request;
        bool confirmed = false;
        bool started = false;
        HANDLE done = nullptr;  // the worker may still set it after the writer gave up
        ~WriteJob() {
            if (done) CloseHandle(done);
        }
    };

    static DWORD WINAPI ThreadProc(void* self);
    void Run();
    void Poll(const PollPlan& plan);
    // Runs queued writes; false when the worker is to end.
    void RunWrites();
    // A request with the device's retries; the answer's PDU in `answer`.
    LinkStatus Ask(const Bytes& request, Bytes& answer, uint8_t retries);
    // One request on the shared link, counted.
    LinkStatus Transact(const Bytes& request, Bytes& answer);
    void ReadTogether(Table table, const std::vector<const PolledTag*>& tags, uint16_t address,
                      uint16_t count, std::vector<Reading>& out, bool& deviceAway);
    void EnsureConnection(const DeviceSettings& device);
    // The one place the device's counters change: in the driver's book, when it has one.
    template <class Edit>
    void Record(Edit&& change) const {
        LinkRecorder(links_, device_)(std::forward<Edit>(change));
    }

    Model& model_;
    const DWORD device_;
    LinkBook* const links_;
    HANDLE stop_ = nullptr;
    HANDLE wake_ = nullptr;  // a write is waiting
    HANDLE thread_ = nullptr;
    std::mutex writesLock_;
    std::deque<std::shared_ptr<WriteJob>> writes_;
    std::shared_ptr<SharedLink> link_;
    std::string linkKey_;
    DeviceSettings connected_;  // what the link was taken for
    // The link was open for this device before: opening it again is a reconnection.
    bool everOpen_ = false;
    uint8_t retries_ = 0;
};

}  // namespace modbus
