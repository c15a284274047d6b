// session_map_guard.h - the lock of the modules' session maps.
//
// The core inserts and removes session entries while other threads look up
// the entries of their own sessions: the dispatch manager on every module it
// hands an item or a command to, the settings distribution when it enables a
// module for a session. Lookups are the hot side, so the guard is striped: a
// reader locks the one slot its thread was given, a writer locks every slot.
// Readers on different threads then touch different cache lines, and a writer
// waits only for the lookups in progress, never for the items around them.
//
// Held only while a map is read or changed: never while module code runs, and
// no other lock (the trace log's included) is taken while it is held, so it is
// the last lock of the core's order.
#pragma once

#include <pthread.h>

#include <atomic>

class CSessionMapGuard {
public:
  static const unsigned kSlots = 8;

  CSessionMapGuard() {
    for (Slot& s : slots_) pthread_mutex_init(&s.mutex, nullptr);
  }
  ~CSessionMapGuard() {
    for (Slot& s : slots_) pthread_mutex_destroy(&s.mutex);
  }
  CSessionMapGuard(const CSessionMapGuard&) = delete;
  CSessionMapGuard& operator=(const CSessionMapGuard&) = delete;

  // Shared hold for one lookup. A null guard holds nothing: a dispatch
  // manager or store used outside a core has no concurrent writer.
  class Reader {
  public:
    explicit Reader(CSessionMapGuard* guard) : slot_(guard ? guard->OwnSlot() : nullptr) {
      if (slot_) pthread_mutex_lock(slot_);
    }
    ~Reader() {
      if (slot_) pthread_mutex_unlock(slot_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

  private:
    pthread_mutex_t* slot_;
  };

  // Exclusive hold for a change: every slot, always in index order.
  class Writer {
  public:
    explicit Writer(CSessionMapGuard* guard) : guard_(guard) {
      if (!guard_) return;
      for (Slot& s : guard_->slots_) pthread_mutex_lock(&s.mutex);
    }
    ~Writer() {
      if (!guard_) return;
      for (unsigned i = kSlots; i-- > 0;) pthread_mutex_unlock(&guard_->slots_[i].mutex);
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

  private:
    CSessionMapGuard* guard_;
  };

private:
  // 128 bytes a slot: two slots' lock words never share a 64-byte line,
  // whatever the object's alignment.
  struct Slot {
    pthread_mutex_t mutex;
    char pad[128 - sizeof(pthread_mutex_t)];
  };

  // Threads are dealt slots in turn on their first lookup (through any
  // guard), so the first kSlots threads of the process never share one.
  pthread_mutex_t* OwnSlot() {
    static std::atomic<unsigned> next{0};
    static thread_local unsigned index = kSlots; // kSlots: not dealt yet
    if (index == kSlots) index = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
    return &slots_[index].mutex;
  }

  Slot slots_[kSlots];
};
