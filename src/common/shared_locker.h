// shared_locker.h - the reader/writer lock with a being-deleted state, and
// its scoped holder auto_locker.
//
// Readers are on the road of every item and every setting read, so a reader
// that meets no writer touches no mutex: it adds itself to the count, checks
// that no exclusive locker is pending and that the locker is not being
// deleted, and is in; leaving, it takes itself off the count. An exclusive
// locker takes the gate (which queues the other exclusive lockers), marks
// itself pending, takes the count mutex and waits until the count is 0. A
// reader that finds an exclusive locker pending or holding takes itself off
// again and queues on the gate until the exclusive locker is done. The
// reader's add-then-check and the writer's mark-then-check are sequentially
// consistent, so at least one of the two sees the other: either the reader
// backs off, or the writer waits for it. A reader that leaves the count at 0
// while an exclusive locker is pending wakes it, under the count mutex, so the
// wake cannot fall between the writer's check and its wait.
#pragma once

#include <pthread.h>
#include <cstdint>

#include "exceptions.h"
#include "trace.h"

class shared_locker {
public:
  shared_locker() : count_(0), being_deleted_(false), pending_(false) {
    pthread_cond_init(&cond_, nullptr);
    pthread_mutex_init(&gate_, nullptr);
    pthread_mutex_init(&count_mutex_, nullptr);
  }
  ~shared_locker() { destroy(); }
  shared_locker(const shared_locker&) = delete;
  shared_locker& operator=(const shared_locker&) = delete;

  void lock_read() {
    for (;;) {
      __atomic_add_fetch(&count_, 1, __ATOMIC_SEQ_CST);
      bool pending = __atomic_load_n(&pending_, __ATOMIC_SEQ_CST);
      if (!pending && !__atomic_load_n(&being_deleted_, __ATOMIC_ACQUIRE)) return;
      unlock_read();
      // Queue behind the exclusive locker; the flag is set only while one
      // holds the gate, so it is read under the gate.
      pthread_mutex_lock(&gate_);
      bool deleted = __atomic_load_n(&being_deleted_, __ATOMIC_ACQUIRE);
      pthread_mutex_unlock(&gate_);
      if (deleted) throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
    }
  }

  void unlock_read() {
    if (__atomic_sub_fetch(&count_, 1, __ATOMIC_SEQ_CST) != 0) return;
    if (!__atomic_load_n(&pending_, __ATOMIC_SEQ_CST)) return;
    pthread_mutex_lock(&count_mutex_);
    pthread_cond_signal(&cond_);
    pthread_mutex_unlock(&count_mutex_);
  }

  void lock_exclusive() {
    pthread_mutex_lock(&gate_);
    if (__atomic_load_n(&being_deleted_, __ATOMIC_ACQUIRE)) {
      pthread_mutex_unlock(&gate_);
      AS_TRACE_EXCEPTION(1, "ASInternalException - CODE: %d MESSAGE: Unable to lock resource read only because it is being deleted!", 0);
      throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
    }
    __atomic_store_n(&pending_, true, __ATOMIC_SEQ_CST);
    pthread_mutex_lock(&count_mutex_);
    while (__atomic_load_n(&count_, __ATOMIC_SEQ_CST) != 0) pthread_cond_wait(&cond_, &count_mutex_);
  }

  void unlock_exclusive() {
    __atomic_store_n(&pending_, false, __ATOMIC_SEQ_CST);
    pthread_mutex_unlock(&count_mutex_);
    pthread_mutex_unlock(&gate_);
  }

  // Waits for every read-only holder to leave, then refuses every later lock.
  void mark_for_deletion() {
    lock_exclusive();
    __atomic_store_n(&being_deleted_, true, __ATOMIC_RELEASE);
    unlock_exclusive();
  }

  // Read-only holders inside, and readers passing through on their way in or
  // back out.
  int32_t read_count() { return __atomic_load_n(&count_, __ATOMIC_SEQ_CST); }

private:
  void destroy() {
    __atomic_store_n(&being_deleted_, true, __ATOMIC_RELEASE);
    if (read_count() > 0) AS_TRACE(1, "WARNING: Destroying the resource locker without releasing all the Read Only Locks!");
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&count_mutex_);
    pthread_mutex_destroy(&gate_);
  }

  pthread_cond_t cond_;
  pthread_mutex_t gate_;
  int32_t count_;
  pthread_mutex_t count_mutex_;
  bool being_deleted_;
  bool pending_; // an exclusive locker holds the gate (waiting or holding)
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
