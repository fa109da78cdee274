#include "driver_updater.h"

#include <stdexcept>

DriverUpdater::DriverUpdater(const std::shared_ptr<CDriver>& driver)
    : shared_(std::make_shared<Shared>()) {
    shared_->driver = driver;
    shared_->go.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    shared_->done.Reset(CreateEventW(nullptr, TRUE, TRUE, nullptr));
    if (!shared_->go || !shared_->done) throw std::runtime_error("no events for an updater");
    // The thread owns a reference of its own: it may outlive this object inside a driver.
    auto* own = new std::shared_ptr<Shared>(shared_);
    thread_.Reset(CreateThread(nullptr, 0, ThreadProc, own, 0, nullptr));
    if (!thread_) {
        delete own;
        throw std::runtime_error("no thread for an updater");
    }
}

DriverUpdater::~DriverUpdater() {
    shared_->stop.store(true);
    SetEvent(shared_->go.Get());
    if (!shared_->busy.load()) WaitForSingleObject(thread_.Get(), INFINITE);
}

bool DriverUpdater::Serves(const std::shared_ptr<CDriver>& driver) const noexcept {
    return !shared_->driver.owner_before(driver) && !driver.owner_before(shared_->driver);
}

bool DriverUpdater::DriverGone() const noexcept {
    return shared_->driver.expired();
}

bool DriverUpdater::Begin() noexcept {
    if (shared_->busy.exchange(true)) return false;
    shared_->began.store(GetTickCount64());
    ResetEvent(shared_->done.Get());
    SetEvent(shared_->go.Get());
    return true;
}

bool DriverUpdater::WaitDone(DWORD ms) const noexcept {
    return WaitForSingleObject(shared_->done.Get(), ms) == WAIT_OBJECT_0;
}

DWORD DriverUpdater::RunningFor() const noexcept {
    if (!shared_->busy.load()) return 0;
    return static_cast<DWORD>(GetTickCount64() - shared_->began.load());
}

DWORD WINAPI DriverUpdater::ThreadProc(void* param) noexcept {
    std::shared_ptr<Shared> shared = std::move(*static_cast<std::shared_ptr<Shared>*>(param));
    delete static_cast<std::shared_ptr<Shared>*>(param);
    for (;;) {
        WaitForSingleObject(shared->go.Get(), INFINITE);
        if (shared->stop.load()) break;
        if (std::shared_ptr<CDriver> driver = shared->driver.lock()) driver->Update(0);
        shared->busy.store(false);
        SetEvent(shared->done.Get());
        if (shared->stop.load()) break;
    }
    return 0;
}
