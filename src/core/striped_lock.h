// striped_lock.h - a reader/writer lock whose readers, on different threads,
// write different cache lines.
//
// The core's hot locks are taken for reading by every item on every thread
// and for writing rarely (a command, an application of settings, a change of
// the modules' session maps). A single reader count, however cheap its
// atomics, is one cache line that every processor writes on every item: with
// two threads each takes it from the other, and two threads then get less
// done than twice one. Here each thread counts itself in the stripe of its
// thread slot (thread_slot.h), so that line stays in its own processor's
// cache.
//
// A reader adds itself to its stripe, then reads the writing flag; a writer
// takes the writers' mutex, raises the flag, then reads the stripes. All four
// are sequentially consistent, so at least one side sees the other: a reader
// that sees the flag backs out and waits on the writers' mutex (readers queue
// behind a waiting writer, which is therefore never starved), and a writer
// that sees a count waits on the condition until the stripes are empty. A
// reader that leaves (or backs out) while the flag is up wakes the writer
// under the drain mutex, which the writer holds from its check to its wait, so
// the wake cannot fall between them.
//
// Neither side is re-entrant: a thread that holds the lock in either mode and
// asks for it for writing deadlocks, as with any mutex.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "thread_slot.h"

class CStripedLock {
public:
  CStripedLock() : writing_(false) {
    for (Stripe& s : stripes_) s.count.store(0, std::memory_order_relaxed);
    pthread_mutex_init(&writers_, nullptr);
    pthread_mutex_init(&drain_mutex_, nullptr);
    pthread_cond_init(&drained_, nullptr);
  }
  ~CStripedLock() {
    pthread_cond_destroy(&drained_);
    pthread_mutex_destroy(&drain_mutex_);
    pthread_mutex_destroy(&writers_);
  }
  CStripedLock(const CStripedLock&) = delete;
  CStripedLock& operator=(const CStripedLock&) = delete;

  // Returns the stripe the caller is counted in, for unlock_shared.
  std::atomic<uint32_t>* lock_shared() {
    std::atomic<uint32_t>& count = stripes_[ascore::ThreadSlot()].count;
    for (;;) {
      count.fetch_add(1, std::memory_order_seq_cst);
      if (!writing_.load(std::memory_order_seq_cst)) return &count;
      unlock_shared(&count);
      // Blocks while the writer waits or holds the lock.
      pthread_mutex_lock(&writers_);
      pthread_mutex_unlock(&writers_);
    }
  }

  void unlock_shared(std::atomic<uint32_t>* count) {
    count->fetch_sub(1, std::memory_order_seq_cst);
    if (!writing_.load(std::memory_order_seq_cst)) return;
    pthread_mutex_lock(&drain_mutex_);
    pthread_cond_broadcast(&drained_);
    pthread_mutex_unlock(&drain_mutex_);
  }

  void lock() {
    pthread_mutex_lock(&writers_);
    writing_.store(true, std::memory_order_seq_cst);
    pthread_mutex_lock(&drain_mutex_);
    while (shared_count() != 0) pthread_cond_wait(&drained_, &drain_mutex_);
    pthread_mutex_unlock(&drain_mutex_);
  }

  void unlock() {
    writing_.store(false, std::memory_order_release);
    pthread_mutex_unlock(&writers_);
  }

  // Readers inside, and readers passing through on their way in or back out.
  uint32_t shared_count() const {
    uint32_t n = 0;
    for (const Stripe& s : stripes_) n += s.count.load(std::memory_order_seq_cst);
    return n;
  }

  // Scoped holds; a null lock holds nothing (a part used outside a core, with
  // no other thread to exclude).
  class Shared {
  public:
    explicit Shared(CStripedLock* lock) : lock_(lock), count_(lock ? lock->lock_shared() : nullptr) {}
    ~Shared() {
      if (lock_) lock_->unlock_shared(count_);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

  private:
    CStripedLock* lock_;
    std::atomic<uint32_t>* count_;
  };

  class Exclusive {
  public:
    explicit Exclusive(CStripedLock* lock) : lock_(lock) {
      if (lock_) lock_->lock();
    }
    ~Exclusive() {
      if (lock_) lock_->unlock();
    }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;

  private:
    CStripedLock* lock_;
  };

private:
  // 128 bytes a stripe: two stripes' counts never share a 64-byte line,
  // whatever the object's alignment.
  struct Stripe {
    std::atomic<uint32_t> count;
    char pad[128 - sizeof(std::atomic<uint32_t>)];
  };

  char lead_[128]; // keeps the first stripe off the lines of what precedes it
  Stripe stripes_[ascore::kThreadSlots];
  std::atomic<bool> writing_; // read by every reader, written only by writers
  pthread_mutex_t writers_;
  pthread_mutex_t drain_mutex_;
  pthread_cond_t drained_;
};
