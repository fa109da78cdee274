// A connection point for one sink interface, embedded in the object that offers it
// (the server's IOPCShutdown point, a group's IOPCDataCallback point).
//
// The point shares its container's reference count but answers QueryInterface with its own
// identity: if it answered IUnknown with the container's pointer, COM would marshal it
// through the container's stub and clients could not use it from another process.
//
// Sink list: the first sink takes a single slot; the second grows the list to 4 slots, and
// a full list doubles. Unadvise clears a slot, and the next Advise takes the first free one,
// so EnumConnections lists sinks in slot order. The cookie identifies the sink pointer: the
// same sink advised twice gets the same cookie twice, and each Unadvise removes the first
// slot that holds it. In a 32-bit process the cookie is the sink pointer itself; a 64-bit
// pointer does not fit a DWORD, so there each distinct sink gets a fresh number.
//
// A sink can be marked gone (its client process has died): it is no longer handed out for
// calls but stays listed until Unadvise or the container's end.
#pragma once

#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "com_call.h"
#include "com_ptr.h"
#include "enumerators.h"
#include "sync.h"

template <class Sink>
class SinkList {
  public:
    static constexpr size_t kMaxSlots = 1u << 20;

    ~SinkList() { ReleaseAll(); }

    // Stores the reference (the list owns it from now on); false if the list cannot grow.
    bool Add(Sink* sink, DWORD* cookie) noexcept {
        const DWORD id = CookieFor(sink);
        for (Slot& slot : slots_) {
            if (!slot.sink) {
                slot = {sink, id, false};
                *cookie = id;
                return true;
            }
        }
        const size_t used = slots_.size();
        const size_t grown = used == 0 ? 1 : used == 1 ? 4 : used * 2;
        if (grown > kMaxSlots) return false;
        try {
            slots_.resize(grown, Slot{nullptr, 0, false});
        } catch (...) {
            return false;
        }
        slots_[used] = {sink, id, false};
        *cookie = id;
        return true;
    }

    // The reference of the first slot with this cookie, now the caller's; null if none.
    Sink* Remove(DWORD cookie) noexcept {
        for (Slot& slot : slots_) {
            if (slot.sink && slot.cookie == cookie) {
                Sink* sink = slot.sink;
                slot = {nullptr, 0, false};
                return sink;
            }
        }
        return nullptr;
    }

    template <class Visit>
    void ForEach(Visit&& visit) const {
        for (const Slot& slot : slots_)
            if (slot.sink) visit(slot.sink, slot.cookie);
    }
    template <class Visit>
    void ForEachLive(Visit&& visit) const {
        for (const Slot& slot : slots_)
            if (slot.sink && !slot.gone) visit(slot.sink);
    }
    bool AnyLive() const noexcept {
        for (const Slot& slot : slots_)
            if (slot.sink && !slot.gone) return true;
        return false;
    }

    // Every slot that holds `sink` (advised more than once, it is gone for all of them).
    void MarkGone(Sink* sink) noexcept {
        for (Slot& slot : slots_)
            if (slot.sink == sink) slot.gone = true;
    }

    // Takes every reference out of the list; the caller releases them outside its lock.
    std::vector<Sink*> TakeAll() {
        std::vector<Sink*> taken;
        for (Slot& slot : slots_)
            if (slot.sink) taken.push_back(slot.sink);
        slots_.clear();
        return taken;
    }

    void ReleaseAll() noexcept {
        for (Slot& slot : slots_)
            if (slot.sink) slot.sink->Release();
        slots_.clear();
    }

    size_t Capacity() const noexcept { return slots_.size(); }

  private:
    struct Slot {
        Sink* sink;
        DWORD cookie;
        bool gone;
    };

    DWORD CookieFor(Sink* sink) noexcept {
        if constexpr (sizeof(void*) == sizeof(DWORD)) {
            return static_cast<DWORD>(reinterpret_cast<uintptr_t>(sink));
        } else {
            for (const Slot& slot : slots_)
                if (slot.sink == sink) return slot.cookie;
            DWORD id;
            do {
                id = ++lastCookie_;
            } while (id == 0 || InUse(id));
            return id;
        }
    }
    bool InUse(DWORD id) const noexcept {
        for (const Slot& slot : slots_)
            if (slot.sink && slot.cookie == id) return true;
        return false;
    }

    std::vector<Slot> slots_;
    DWORD lastCookie_ = 0;
};

template <class Sink>
class ConnectionPoint final : public IConnectionPoint {
  public:
    // `owner` is the container's (delegating) IUnknown: it carries the reference count and
    // answers IConnectionPointContainer. `lock` is the container's object lock.
    ConnectionPoint(IUnknown* owner, CriticalSection& lock) noexcept : owner_(owner), lock_(lock) {}
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
            *ppv = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return owner_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return owner_->Release(); }

    STDMETHODIMP GetConnectionInterface(IID* iid) override {
        if (!iid) return E_POINTER;
        *iid = __uuidof(Sink);
        return S_OK;
    }

    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** container) override {
        if (!container) return E_POINTER;
        return owner_->QueryInterface(IID_IConnectionPointContainer,
                                      reinterpret_cast<void**>(container));
    }

    STDMETHODIMP Advise(IUnknown* unknownSink, DWORD* cookie) override {
        if (cookie) *cookie = 0;
        if (!unknownSink || !cookie) return E_POINTER;
        ComPtr<Sink> sink;
        HRESULT hr = unknownSink->QueryInterface(__uuidof(Sink), sink.PutVoid());
        if (hr == E_NOINTERFACE) return CONNECT_E_CANNOTCONNECT;
        if (FAILED(hr)) return hr;
        if (!sink) return CONNECT_E_CANNOTCONNECT;
        bool added;
        {
            CriticalSectionLock lock(lock_);
            added = sinks_.Add(sink.Get(), cookie);
        }
        if (!added) return CONNECT_E_ADVISELIMIT;  // `sink` releases the reference
        sink.Detach();
        return S_OK;
    }

    STDMETHODIMP Unadvise(DWORD cookie) override {
        Sink* removed;
        {
            CriticalSectionLock lock(lock_);
            removed = sinks_.Remove(cookie);
        }
        if (!removed) return CONNECT_E_NOCONNECTION;
        removed->Release();  // outside the lock: this may call into another process
        return S_OK;
    }

    STDMETHODIMP EnumConnections(IEnumConnections** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return ComCall([&] {
            std::vector<ConnectionEntry> entries;
            {
                CriticalSectionLock lock(lock_);
                sinks_.ForEach([&](Sink* sink, DWORD cookie) {
                    entries.push_back({ComPtr<IUnknown>(sink), cookie});
                });
            }
            return EnumConnections::CreateInto(std::move(entries), nullptr, out);
        });
    }

    // The sinks to call, counted, taken under the lock; the calls are made outside it.
    // Sinks marked gone are left out. Throws std::bad_alloc.
    std::vector<ComPtr<Sink>> Sinks() {
        std::vector<ComPtr<Sink>> result;
        CriticalSectionLock lock(lock_);
        sinks_.ForEachLive([&](Sink* sink) { result.emplace_back(sink); });
        return result;
    }

    bool HasLiveSinks() noexcept {
        CriticalSectionLock lock(lock_);
        return sinks_.AnyLive();
    }

    // The client behind `sink` has gone: it is not handed out for calls again.
    void MarkGone(Sink* sink) noexcept {
        CriticalSectionLock lock(lock_);
        sinks_.MarkGone(sink);
    }

    // Drops the references that clients hold on this point through the RPC layer (they count
    // on the container): their later calls fail there.
    void DisconnectClients() noexcept {
        CoDisconnectObject(static_cast<IConnectionPoint*>(this), 0);
    }

    // Drops every connection (the container is going away); no sink is called.
    void DisconnectAll() noexcept {
        std::vector<Sink*> taken;
        {
            CriticalSectionLock lock(lock_);
            try {
                taken = sinks_.TakeAll();
            } catch (...) {
                sinks_.ReleaseAll();
                return;
            }
        }
        for (Sink* sink : taken) sink->Release();
    }

    size_t SlotCapacity() {
        CriticalSectionLock lock(lock_);
        return sinks_.Capacity();
    }

  private:
    IUnknown* owner_;
    CriticalSection& lock_;
    SinkList<Sink> sinks_;
};

// IConnectionPointContainer::FindConnectionPoint over an object's points.
inline HRESULT FindConnectionPointIn(std::initializer_list<IConnectionPoint*> points, REFIID riid,
                                     IConnectionPoint** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    for (IConnectionPoint* point : points) {
        IID iid;
        if (SUCCEEDED(point->GetConnectionInterface(&iid)) && iid == riid) {
            point->AddRef();
            *out = point;
            return S_OK;
        }
    }
    return CONNECT_E_NOCONNECTION;
}

// IConnectionPointContainer::EnumConnectionPoints: the enumerator keeps `container` alive.
inline HRESULT EnumConnectionPointsOf(std::initializer_list<IConnectionPoint*> points,
                                      IUnknown* container, IEnumConnectionPoints** out) noexcept {
    if (!out) return E_POINTER;
    *out = nullptr;
    return ComCall([&] {
        std::vector<ComPtr<IConnectionPoint>> items;
        for (IConnectionPoint* point : points) items.emplace_back(point);
        return EnumConnectionPoints::CreateInto(std::move(items), ComPtr<IUnknown>(container), out);
    });
}
