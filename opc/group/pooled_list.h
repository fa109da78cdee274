// An ordered list whose entries come from pools of ten and whose entry identities are the
// OPC server handles of what they hold (groups in a server's list, items in a group).
//
// Clients see the recycling: a removed entry goes to the front of the free pool and is the
// first one reused, so a removed object's handle usually goes to the next object added. When
// the list becomes empty its pools are released and numbering starts afresh; the memory of a
// list of moderate size is kept for the next entries, so that a client that fills and empties
// a group again and again does not make the heap give it back and fault it in every time.
//
// A handle is the list's base (different for every live list, so handles of different lists
// rarely meet) plus the entry's slot number; finding an entry by handle is one index
// operation, however long the list. Order is kept by links between slots, so removal is
// constant time too. No lock: the owner guards the list.
#pragma once

#include <windows.h>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "opc.h"

OPCHANDLE NextPooledListBase() noexcept;

template <class T>
class PooledList {
  public:
    static constexpr uint32_t kPoolSize = 10;
    // Slots per list: the low bits of a handle; the high bits tell lists apart.
    static constexpr uint32_t kSlotBits = 20;
    static constexpr uint32_t kMaxEntries = (1u << kSlotBits) - 1;

    PooledList() noexcept : base_(NextPooledListBase()) {}
    PooledList(const PooledList&) = delete;
    PooledList& operator=(const PooledList&) = delete;

    size_t Size() const noexcept { return count_; }
    bool Empty() const noexcept { return count_ == 0; }

    // Appends at the end; the new entry's handle. Throws std::bad_alloc when no entry can be
    // had (memory, or the list is full); the list is then unchanged.
    OPCHANDLE Append(T value) {
        if (free_.empty()) Grow();
        const uint32_t slot = free_.back();
        Entry& e = slots_[slot];
        e.value = std::move(value);
        free_.pop_back();
        e.used = true;
        e.prev = tail_;
        e.next = kNone;
        if (tail_ != kNone)
            slots_[tail_].next = slot;
        else
            head_ = slot;
        tail_ = slot;
        ++count_;
        return HandleOf(slot);
    }

    // The value held under `handle`, or null for a handle of no live entry.
    T* Find(OPCHANDLE handle) noexcept {
        const uint32_t slot = SlotOf(handle);
        return slot == kNone ? nullptr : &slots_[slot].value;
    }
    const T* Find(OPCHANDLE handle) const noexcept {
        return const_cast<PooledList*>(this)->Find(handle);
    }

    // Unlinks the entry and hands its value to `out`; false for an unknown handle.
    bool Remove(OPCHANDLE handle, T& out) {
        const uint32_t slot = SlotOf(handle);
        if (slot == kNone) return false;
        Entry& e = slots_[slot];
        out = std::move(e.value);
        e.value = T();
        if (e.prev != kNone)
            slots_[e.prev].next = e.next;
        else
            head_ = e.next;
        if (e.next != kNone)
            slots_[e.next].prev = e.prev;
        else
            tail_ = e.prev;
        e.used = false;
        --count_;
        if (count_ == 0) {
            ReleasePools();
        } else {
            free_.push_back(slot);  // capacity was reserved when the slot was made
        }
        return true;
    }

    // The handle of the first entry, 0 if empty.
    OPCHANDLE FirstHandle() const noexcept { return head_ == kNone ? 0 : HandleOf(head_); }

    // Visits (handle, value) in list order; `visit` returns false to stop.
    template <class Visit>
    void ForEach(Visit&& visit) {
        for (uint32_t s = head_; s != kNone; s = slots_[s].next)
            if (!visit(HandleOf(s), slots_[s].value)) return;
    }
    template <class Visit>
    void ForEach(Visit&& visit) const {
        for (uint32_t s = head_; s != kNone; s = slots_[s].next)
            if (!visit(HandleOf(s), static_cast<const T&>(slots_[s].value))) return;
    }

  private:
    static constexpr uint32_t kNone = 0xFFFFFFFF;
    struct Entry {
        T value{};
        uint32_t prev = kNone;
        uint32_t next = kNone;
        bool used = false;
    };

    OPCHANDLE HandleOf(uint32_t slot) const noexcept { return base_ + slot + 1; }
    uint32_t SlotOf(OPCHANDLE handle) const noexcept {
        const uint32_t slot = handle - base_ - 1;
        if (slot >= slots_.size() || !slots_[slot].used) return kNone;
        return slot;
    }

    // One more pool of ten, its lowest slot to be handed out first.
    void Grow() {
        const size_t old = slots_.size();
        if (old + kPoolSize > kMaxEntries) throw std::bad_alloc();
        slots_.resize(old + kPoolSize);  // amortised growth; slots are handed out ten at a time
        // Remove pushes freed slots without allocating: room for every slot is made here.
        try {
            free_.reserve(slots_.capacity());
        } catch (...) {
            slots_.resize(old);
            throw;
        }
        for (uint32_t i = kPoolSize; i > 0; --i)
            free_.push_back(static_cast<uint32_t>(old + i - 1));
    }

    void ReleasePools() noexcept {
        if (slots_.capacity() > kKeptEntries) {
            std::vector<Entry>().swap(slots_);
            std::vector<uint32_t>().swap(free_);
        } else {
            slots_.clear();
            free_.clear();
        }
        head_ = tail_ = kNone;
    }
    static constexpr size_t kKeptEntries = 1u << 16;

    OPCHANDLE base_;
    std::vector<Entry> slots_;
    std::vector<uint32_t> free_;  // a stack: the last freed slot is reused first
    uint32_t head_ = kNone;
    uint32_t tail_ = kNone;
    size_t count_ = 0;
};
