// settings_lock.h - CSettingsLock, the core's reader/writer lock for state
// that is read on every hot call and changed rarely: the settings store, and
// of the same kind the processing lock (items read, commands and settings
// applications write) and the session map guard (lookups read, session
// creation and release write).
//
// Reads are hot and writes are rare (setting writes, copies, applications,
// commands, session creation and release), so the lock puts the whole cost on
// the writer. Each thread is dealt one of kSlots reader slots (a cache
// line of its own) for its life; only that thread ever writes its slot. A
// reader counts itself in with a plain store to its slot, looks whether a
// writer is in, and counts itself out with a plain store: no locked
// instruction on either side. A writer takes the gate, raises its flag, makes
// every thread of the process execute a full barrier (the membarrier system
// call, about 2 us; skipped while no other thread holds a slot), then waits
// until every slot reads zero.
//
// Why that is enough: the barrier orders each reader's slot store before its
// flag load as seen by the writer, so either the writer sees the reader
// counted (and waits for it) or the reader sees the flag (and steps back). The
// reader's store of zero (release) after its reads and the writer's acquire of
// that zero order the reads before the writer's changes; the writer's release
// of the flag and the reader's acquire order its changes before later reads.
//
// Where the kernel offers no such barrier, a reader's store into its slot is
// a full barrier itself (one exchange), decided once when the lock is built.
// Threads beyond kSlots share one counter changed by atomic adds. A reader
// that finds the flag raised counts itself out, waits at the gate until the
// writer is done and tries again. Readers are not re-entrant while a writer
// waits (the writer would wait for the reader that waits for it), nor is a
// read taken under the thread's own exclusive hold.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

// The calling thread's slot, 1 to kSlots; 0 before its first read, kNoSlot
// when every slot was taken. Initial-exec: a load from the thread pointer.
extern __thread uint32_t t_settings_slot __attribute__((tls_model("initial-exec")));

class CSettingsLock {
public:
  static constexpr uint32_t kSlots = 64;
  static constexpr uint32_t kNoSlot = 0xffffffffu;

  // light: readers go without a barrier when the kernel has the writer's;
  // false makes every reader take its own (the fallback, for tests).
  explicit CSettingsLock(bool light = true);
  ~CSettingsLock();
  CSettingsLock(const CSettingsLock&) = delete;
  CSettingsLock& operator=(const CSettingsLock&) = delete;

  void LockRead() {
    uint32_t slot = t_settings_slot;
    if (slot == 0) slot = ClaimSlot();
    for (;;) {
      if (slot == kNoSlot) {
        shared_readers_.fetch_add(1, std::memory_order_seq_cst);
      } else {
        std::atomic<uint32_t>& own = slots_[slot].readers;
        uint32_t n = own.load(std::memory_order_relaxed) + 1;
        if (light_) {
          own.store(n, std::memory_order_relaxed);
          std::atomic_signal_fence(std::memory_order_seq_cst);
        } else {
          own.store(n, std::memory_order_seq_cst);
        }
      }
      if (!writer_.load(light_ ? std::memory_order_acquire : std::memory_order_seq_cst)) return;
      UnlockRead();
      WaitForWriter();
    }
  }

  void UnlockRead() {
    uint32_t slot = t_settings_slot;
    if (slot == kNoSlot) {
      shared_readers_.fetch_sub(1, std::memory_order_release);
      return;
    }
    std::atomic<uint32_t>& own = slots_[slot].readers;
    own.store(own.load(std::memory_order_relaxed) - 1, std::memory_order_release);
  }

  // The calling thread's slot, 1 to kSlots (dealt now if it has none yet), or
  // kNoSlot. Only this thread holds that number until it ends, so per-thread
  // state indexed by it needs no atomics; a thread that later gets the number
  // sees what the ending one left (the slot is handed over with a release and
  // an acquire).
  static uint32_t OwnSlot() {
    uint32_t slot = t_settings_slot;
    return slot != 0 ? slot : ClaimSlot();
  }

  // Waits for the other writers, then for every reader in progress.
  void LockExclusive();
  void UnlockExclusive();

  // Scoped holds. A null lock holds nothing: a part used outside a core (a
  // dispatch manager or store on its own) has no other thread to exclude.
  class Reader {
  public:
    explicit Reader(CSettingsLock* lock) : lock_(lock) {
      if (lock_) lock_->LockRead();
    }
    ~Reader() {
      if (lock_) lock_->UnlockRead();
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

  private:
    CSettingsLock* lock_;
  };

  class Writer {
  public:
    explicit Writer(CSettingsLock* lock) : lock_(lock) {
      if (lock_) lock_->LockExclusive();
    }
    ~Writer() {
      if (lock_) lock_->UnlockExclusive();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

  private:
    CSettingsLock* lock_;
  };

private:
  // 64 bytes a slot: two slots' counts are never in one cache line, whatever
  // the object's alignment.
  struct Slot {
    std::atomic<uint32_t> readers{0};
    char pad[64 - sizeof(std::atomic<uint32_t>)];
  };

  // Deals the calling thread a slot (or kNoSlot) and returns t_settings_slot.
  static uint32_t ClaimSlot();
  void WaitForWriter();

  std::atomic<bool> writer_{false};
  const bool light_;
  // Indexed by t_settings_slot; slots_[0] is never dealt, and keeps the flag
  // that every reader reads off the lines that readers write.
  Slot slots_[kSlots + 1];
  std::atomic<uint32_t> shared_readers_{0};
  pthread_mutex_t gate_;
};
