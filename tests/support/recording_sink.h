// An IOPCDataCallback sink for tests: it keeps a copy of every callback it receives, with the
// tick it came at, and lets a test wait for the calls it expects. An optional hook runs inside
// each callback (to call back into the server from there).
#pragma once

#include <windows.h>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

#include "com_object.h"
#include "opc.h"
#include "variant.h"

struct DataCall {
    enum Kind { kDataChange, kReadComplete, kWriteComplete, kCancelComplete } kind;
    DWORD transaction = 0;
    OPCHANDLE group = 0;
    HRESULT masterQuality = S_OK, masterError = S_OK;
    std::vector<OPCHANDLE> clients;
    std::vector<Variant> values;
    std::vector<WORD> qualities;
    std::vector<FILETIME> timestamps;
    std::vector<HRESULT> errors;
    DWORD tick = 0;
};

class RecordingSink final : public ComObject<RecordingSink, IOPCDataCallback> {
  public:
    STDMETHODIMP OnDataChange(DWORD transid, OPCHANDLE group, HRESULT quality, HRESULT error,
                              DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                              FILETIME* timestamps, HRESULT* errors) override {
        return Record(DataCall::kDataChange, transid, group, quality, error, count, clients, values,
                      qualities, timestamps, errors);
    }
    STDMETHODIMP OnReadComplete(DWORD transid, OPCHANDLE group, HRESULT quality, HRESULT error,
                                DWORD count, OPCHANDLE* clients, VARIANT* values, WORD* qualities,
                                FILETIME* timestamps, HRESULT* errors) override {
        return Record(DataCall::kReadComplete, transid, group, quality, error, count, clients,
                      values, qualities, timestamps, errors);
    }
    STDMETHODIMP OnWriteComplete(DWORD transid, OPCHANDLE group, HRESULT error, DWORD count,
                                 OPCHANDLE* clients, HRESULT* errors) override {
        return Record(DataCall::kWriteComplete, transid, group, S_OK, error, count, clients,
                      nullptr, nullptr, nullptr, errors);
    }
    STDMETHODIMP OnCancelComplete(DWORD transid, OPCHANDLE group) override {
        return Record(DataCall::kCancelComplete, transid, group, S_OK, S_OK, 0, nullptr, nullptr,
                      nullptr, nullptr, nullptr);
    }

    // Every call so far, or those of one kind.
    std::vector<DataCall> Calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::vector<DataCall> Calls(DataCall::Kind kind) {
        std::vector<DataCall> of;
        for (DataCall& c : Calls())
            if (c.kind == kind) of.push_back(std::move(c));
        return of;
    }
    // True once `count` calls of `kind` have come; false after `ms`.
    bool WaitFor(DataCall::Kind kind, size_t count, DWORD ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                 [&] { return CountLocked(kind) >= count; });
    }
    size_t Count(DataCall::Kind kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        return CountLocked(kind);
    }
    // Runs inside every callback, after it was recorded, on the server's calling thread.
    void SetHook(std::function<void(const DataCall&)> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        hook_ = std::move(hook);
    }

  private:
    HRESULT Record(DataCall::Kind kind, DWORD transid, OPCHANDLE group, HRESULT quality,
                   HRESULT error, DWORD count, const OPCHANDLE* clients, const VARIANT* values,
                   const WORD* qualities, const FILETIME* timestamps, const HRESULT* errors) {
        DataCall c{kind, transid, group, quality, error};
        c.tick = GetTickCount();
        for (DWORD i = 0; i < count; ++i) {
            if (clients) c.clients.push_back(clients[i]);
            if (values) c.values.emplace_back(values[i]);
            if (qualities) c.qualities.push_back(qualities[i]);
            if (timestamps) c.timestamps.push_back(timestamps[i]);
            if (errors) c.errors.push_back(errors[i]);
        }
        std::function<void(const DataCall&)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(c);
            hook = hook_;
        }
        changed_.notify_all();
        if (hook) hook(c);
        return S_OK;
    }
    size_t CountLocked(DataCall::Kind kind) const {
        size_t n = 0;
        for (const DataCall& c : calls_) n += c.kind == kind;
        return n;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<DataCall> calls_;
    std::function<void(const DataCall&)> hook_;
};
