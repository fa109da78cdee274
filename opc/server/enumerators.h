// Snapshot enumerators: IEnumString, IEnumUnknown, IEnumConnectionPoints, IEnumConnections.
//
// An enumerator copies its elements when it is made, so later changes of the source do not
// show through. It holds a counted reference to its source (the object that made it, or the
// enumerator it was cloned from), so that source lives as long as the enumerator; clones
// share the snapshot rather than copying it. No lock: one enumerator is used by one thread.
#pragma once

#include <windows.h>
#include <objidl.h>
#include <ocidl.h>
#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "co_task_mem.h"
#include "com_call.h"
#include "com_object.h"
#include "com_ptr.h"

// How an element is stored in the snapshot and handed out by Next.
struct EnumStringPolicy {
    using Interface = IEnumString;
    using Element = LPOLESTR;
    using Stored = std::wstring;
    static void Copy(const Stored& from, Element* to) { *to = CoTaskStrDup(from.c_str()); }
    static void Destroy(Element& e) noexcept {
        CoTaskMemFree(e);
        e = nullptr;
    }
};

template <class I, class IEnum>
struct EnumInterfacePolicy {
    using Interface = IEnum;
    using Element = I*;
    using Stored = ComPtr<I>;
    static void Copy(const Stored& from, Element* to) noexcept { from.CopyTo(to); }
    static void Destroy(Element& e) noexcept {
        if (e) e->Release();
        e = nullptr;
    }
};
using EnumUnknownPolicy = EnumInterfacePolicy<IUnknown, IEnumUnknown>;
using EnumConnectionPointsPolicy = EnumInterfacePolicy<IConnectionPoint, IEnumConnectionPoints>;

struct ConnectionEntry {
    ComPtr<IUnknown> sink;
    DWORD cookie;
};

struct EnumConnectionsPolicy {
    using Interface = IEnumConnections;
    using Element = CONNECTDATA;
    using Stored = ConnectionEntry;
    static void Copy(const Stored& from, Element* to) noexcept {
        from.sink.CopyTo(&to->pUnk);
        to->dwCookie = from.cookie;
    }
    static void Destroy(Element& e) noexcept {
        if (e.pUnk) e.pUnk->Release();
        e.pUnk = nullptr;
    }
};

template <class Policy>
class SnapshotEnum final : public ComObject<SnapshotEnum<Policy>, typename Policy::Interface> {
  public:
    using Interface = typename Policy::Interface;
    using Element = typename Policy::Element;
    using Stored = typename Policy::Stored;
    using Snapshot = std::shared_ptr<const std::vector<Stored>>;

    // An enumerator over `items`, keeping `source` alive (may be null). Throws bad_alloc.
    static ComPtr<SnapshotEnum> Create(std::vector<Stored> items, ComPtr<IUnknown> source) {
        auto snapshot = std::make_shared<const std::vector<Stored>>(std::move(items));
        return SnapshotEnum::Make(std::move(snapshot), std::move(source), 0);
    }

    // Builds the enumerator and hands it to an out-parameter.
    static HRESULT CreateInto(std::vector<Stored> items, ComPtr<IUnknown> source,
                              Interface** out) noexcept {
        if (!out) return E_POINTER;
        *out = nullptr;
        return ComCall([&] {
            *out = Create(std::move(items), std::move(source)).Detach();
            return S_OK;
        });
    }

    SnapshotEnum(Snapshot snapshot, ComPtr<IUnknown> source, size_t position) noexcept
        : snapshot_(std::move(snapshot)), source_(std::move(source)), position_(position) {}

    STDMETHODIMP Next(ULONG celt, Element* rgelt, ULONG* fetched) override {
        if (!rgelt || (celt != 1 && !fetched)) return E_POINTER;
        if (fetched) *fetched = 0;
        const std::vector<Stored>& items = *snapshot_;
        const ULONG n = static_cast<ULONG>(std::min<size_t>(celt, items.size() - position_));
        ULONG done = 0;
        try {
            for (; done < n; ++done) Policy::Copy(items[position_ + done], &rgelt[done]);
        } catch (...) {
            // Nothing half-handed: take back what this call already gave out.
            for (ULONG i = 0; i < done; ++i) Policy::Destroy(rgelt[i]);
            return E_OUTOFMEMORY;
        }
        position_ += n;
        if (fetched) *fetched = n;
        return n < celt ? S_FALSE : S_OK;
    }

    // Reaching the end counts as running out, as the classic ATL enumerators do.
    STDMETHODIMP Skip(ULONG celt) override {
        const size_t remaining = snapshot_->size() - position_;
        if (celt >= remaining) {
            position_ = snapshot_->size();
            return S_FALSE;
        }
        position_ += celt;
        return S_OK;
    }

    STDMETHODIMP Reset() override {
        position_ = 0;
        return S_OK;
    }

    STDMETHODIMP Clone(Interface** out) override {
        if (!out) return E_POINTER;
        *out = nullptr;
        return ComCall([&] {
            ComPtr<IUnknown> self(this->Identity());
            *out = SnapshotEnum::Make(snapshot_, std::move(self), position_).Detach();
            return S_OK;
        });
    }

  private:
    Snapshot snapshot_;
    ComPtr<IUnknown> source_;
    size_t position_;
};

using EnumString = SnapshotEnum<EnumStringPolicy>;
using EnumUnknown = SnapshotEnum<EnumUnknownPolicy>;
using EnumConnectionPoints = SnapshotEnum<EnumConnectionPointsPolicy>;
using EnumConnections = SnapshotEnum<EnumConnectionsPolicy>;
