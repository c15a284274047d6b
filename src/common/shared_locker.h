// shared_locker.h - the reader/writer lock with a being-deleted state, and
// its scoped holder auto_locker.
//
// Everything a thread needs to decide lives in one atomic word: the readers
// (holders, and readers on their way in or out), the threads queued for the
// gate, a pending bit (an exclusive locker holds the gate: waits for the
// readers or holds the lock) and the being-deleted mark.
//
// Readers are on the road of every item and every setting read, so a reader
// that meets no exclusive locker takes no mutex: one atomic add in (whose
// result says whether it may stay) and one compare-exchange out (which
// succeeds only while nobody is pending). Both touch the same word as the
// exclusive locker's pending bit, so their order is total: a reader that came
// first is counted and waited for, a reader that came later sees the bit.
//
// An exclusive locker takes the gate (which queues the other exclusive
// lockers), sets the pending bit and waits on the condition until no reader is
// counted, reading the count under the count mutex. While the bit is set every
// reader leaves the count under that mutex and wakes the waiter when it leaves
// the count at 0, so the wake cannot fall between the check and the wait. A
// reader that finds the bit set on its way in trades its reader unit for a
// queued one (under the count mutex, as a leave), queues on the gate and, once
// it has the gate (no exclusive locker can then be pending), trades back.
//
// Retiring an object that late callers may still reach (a session being
// released while another thread still calls it): mark_for_deletion, which
// waits for the holders and sets the mark under the gate; from then on every
// lock is refused, readers and exclusive lockers that find the mark at once,
// without any gate. Then let_refused_callers_out before destroying the
// locker: it returns once no reader and no queued thread is counted. Every
// thread stays counted until it is done with the locker's memory:
// - a refused reader: its add and its subtract, the last thing it touches;
// - a reader queued behind the mark: counted as queued (the trade is one add)
//   until it has the gate, then as a reader until it has let the gate go;
// - an exclusive locker: counted as queued before it looks at the mark, until
//   it has let the gate go or, having found no mark, owns the locker (then it
//   holds the gate, and the mark is set only by a thread that took the gate
//   after it, so its unlock of the gate comes first);
// - a holder leaving while the mark waits: under the count mutex, which the
//   marking thread takes after it to see the count at 0.
// A caller that reaches the locker after let_refused_callers_out has returned
// is using a freed object; no state inside that object can prevent that.
#pragma once

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <cstdint>

#include "exceptions.h"
#include "trace.h"

class shared_locker {
public:
  shared_locker() : state_(0) {
    pthread_cond_init(&cond_, nullptr);
    pthread_mutex_init(&gate_, nullptr);
    pthread_mutex_init(&count_mutex_, nullptr);
  }
  ~shared_locker() { destroy(); }
  shared_locker(const shared_locker&) = delete;
  shared_locker& operator=(const shared_locker&) = delete;

  void lock_read() {
    uint64_t before = state_.fetch_add(kReader, std::memory_order_acquire);
    if ((before & (kPending | kDeleted)) == 0) return;
    if ((before & kDeleted) == 0 && queue_behind_exclusive()) return;
    // No exclusive locker waits for this count once the mark is set.
    state_.fetch_sub(kReader, std::memory_order_release);
    throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
  }

  void unlock_read() {
    uint64_t s = state_.load(std::memory_order_relaxed);
    while ((s & kPending) == 0)
      if (state_.compare_exchange_weak(s, s - kReader, std::memory_order_release, std::memory_order_relaxed)) return;
    leave_counted(kReader);
  }

  void lock_exclusive() {
    // Counted before it looks at the mark (see the top of the file).
    if ((state_.fetch_add(kQueued, std::memory_order_acquire) & kDeleted) == 0) {
      pthread_mutex_lock(&gate_);
      // Only a gate holder sets the mark: what is read now holds until the
      // gate is let go.
      if ((state_.load(std::memory_order_acquire) & kDeleted) == 0) {
        state_.fetch_add(kPending - kQueued, std::memory_order_acq_rel);
        pthread_mutex_lock(&count_mutex_);
        while (readers(state_.load(std::memory_order_acquire)) != 0) pthread_cond_wait(&cond_, &count_mutex_);
        pthread_mutex_unlock(&count_mutex_);
        return;
      }
      pthread_mutex_unlock(&gate_);
    }
    state_.fetch_sub(kQueued, std::memory_order_release);
    AS_TRACE_EXCEPTION(1, "ASInternalException - CODE: %d MESSAGE: Unable to lock resource read only because it is being deleted!", 0);
    throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
  }

  void unlock_exclusive() {
    state_.fetch_sub(kPending, std::memory_order_release);
    pthread_mutex_unlock(&gate_);
  }

  // Waits for every holder to leave (readers and an exclusive holder), then
  // refuses every later lock. Throws (as lock_exclusive) when already marked.
  void mark_for_deletion() {
    lock_exclusive();
    state_.fetch_or(kDeleted, std::memory_order_release);
    unlock_exclusive();
  }

  // After mark_for_deletion: returns once every caller that met the locker is
  // done with its memory (each is refused at once, or as soon as it has the
  // gate), so that it may be destroyed.
  void let_refused_callers_out() {
    while ((state_.load(std::memory_order_acquire) & (kReaderMask | kQueuedMask)) != 0) sched_yield();
  }

  // Read-only holders inside, and readers passing through on their way in or
  // back out.
  int32_t read_count() { return (int32_t)readers(state_.load(std::memory_order_acquire)); }

private:
  static constexpr uint64_t kReader = 1;
  static constexpr uint64_t kReaderMask = 0xffffffffull;
  static constexpr uint64_t kQueued = 1ull << 32;
  static constexpr uint64_t kQueuedMask = 0x3fffffffull << 32;
  static constexpr uint64_t kPending = 1ull << 62;
  static constexpr uint64_t kDeleted = 1ull << 63;

  static uint64_t readers(uint64_t s) { return s & kReaderMask; }

  // A reader that met a pending exclusive locker. Leaves the count as a reader
  // and joins it as queued in one add, so that it is never uncounted; waits for
  // the gate; then trades back. True when it is in, false when it found the
  // mark (it is then still counted as a reader).
  bool queue_behind_exclusive() {
    leave_counted(kReader - kQueued);
    pthread_mutex_lock(&gate_);
    uint64_t before = state_.fetch_add(kReader - kQueued, std::memory_order_acq_rel);
    pthread_mutex_unlock(&gate_);
    return (before & kDeleted) == 0;
  }

  // Takes `unit` off the word while an exclusive locker may be waiting for the
  // readers: under the count mutex, waking the waiter when no reader is left.
  void leave_counted(uint64_t unit) {
    pthread_mutex_lock(&count_mutex_);
    if (readers(state_.fetch_sub(unit, std::memory_order_acq_rel)) == 1) pthread_cond_signal(&cond_);
    pthread_mutex_unlock(&count_mutex_);
  }

  void destroy() {
    state_.fetch_or(kDeleted, std::memory_order_release);
    if (read_count() > 0) AS_TRACE(1, "WARNING: Destroying the resource locker without releasing all the Read Only Locks!");
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&count_mutex_);
    pthread_mutex_destroy(&gate_);
  }

  pthread_cond_t cond_;
  pthread_mutex_t gate_;
  pthread_mutex_t count_mutex_;
  std::atomic<uint64_t> state_;
};

class auto_locker {
public:
  enum { READ_ONLY = 0, EXCLUSIVE = 1 };

  auto_locker(shared_locker* locker, uint32_t mode) : locked_(false), mode_(mode), locker_(locker) {
    if (!locker_) {
      AS_TRACE_EXCEPTION(1, "ASInternalException - CODE: %d MESSAGE: Null locker data in auto_locker!", 0);
      throw ASInternalException("ASInternalException - CODE: %d MESSAGE: Null locker data in auto_locker!", 0);
    }
    if (mode_ == EXCLUSIVE)
      locker_->lock_exclusive();
    else
      locker_->lock_read();
    locked_ = true;
  }
  ~auto_locker() { unlock(); }
  auto_locker(const auto_locker&) = delete;
  auto_locker& operator=(const auto_locker&) = delete;

  void unlock() {
    if (!locked_) return;
    if (mode_ == EXCLUSIVE)
      locker_->unlock_exclusive();
    else
      locker_->unlock_read();
    locked_ = false;
  }

private:
  bool locked_;
  uint32_t mode_;
  shared_locker* locker_;
};
