// shared_locker.h - the reader/writer lock with a being-deleted state, and
// its scoped holder auto_locker.
//
// A waiting exclusive locker holds the gate, so new readers queue on the gate;
// readers already inside only need the count mutex to leave, which the waiting
// writer gives up inside the condition wait. At most one writer waits at a
// time (the others queue on the gate), so one signal suffices.
#pragma once

#include <pthread.h>
#include <cstdint>

#include "exceptions.h"
#include "trace.h"

class shared_locker {
public:
  shared_locker() : count_(0), being_deleted_(false) {
    pthread_cond_init(&cond_, nullptr);
    pthread_mutex_init(&gate_, nullptr);
    pthread_mutex_init(&count_mutex_, nullptr);
  }
  ~shared_locker() { destroy(); }
  shared_locker(const shared_locker&) = delete;
  shared_locker& operator=(const shared_locker&) = delete;

  void lock_read() {
    pthread_mutex_lock(&gate_);
    if (being_deleted_) {
      pthread_mutex_unlock(&gate_);
      throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
    }
    pthread_mutex_unlock(&gate_);
    pthread_mutex_lock(&count_mutex_);
    ++count_;
    pthread_mutex_unlock(&count_mutex_);
  }

  void unlock_read() {
    pthread_mutex_lock(&count_mutex_);
    if (--count_ == 0) pthread_cond_signal(&cond_);
    pthread_mutex_unlock(&count_mutex_);
  }

  void lock_exclusive() {
    pthread_mutex_lock(&gate_);
    if (being_deleted_) {
      pthread_mutex_unlock(&gate_);
      AS_TRACE_EXCEPTION(1, "ASInternalException - CODE: %d MESSAGE: Unable to lock resource read only because it is being deleted!", 0);
      throw ASInternalException(0, "Unable to lock resource read only because it is being deleted!");
    }
    pthread_mutex_lock(&count_mutex_);
    while (count_ != 0) pthread_cond_wait(&cond_, &count_mutex_);
  }

  void unlock_exclusive() {
    pthread_mutex_unlock(&count_mutex_);
    pthread_mutex_unlock(&gate_);
  }

  // Waits for every read-only holder to leave, then refuses every later lock.
  void mark_for_deletion() {
    lock_exclusive();
    being_deleted_ = true;
    unlock_exclusive();
  }

  int32_t read_count() {
    pthread_mutex_lock(&count_mutex_);
    int32_t n = count_;
    pthread_mutex_unlock(&count_mutex_);
    return n;
  }

private:
  void destroy() {
    being_deleted_ = true;
    if (count_ > 0) AS_TRACE(1, "WARNING: Destroying the resource locker without releasing all the Read Only Locks!");
    pthread_cond_destroy(&cond_);
    pthread_mutex_destroy(&count_mutex_);
    pthread_mutex_destroy(&gate_);
  }

  pthread_cond_t cond_;
  pthread_mutex_t gate_;
  int32_t count_;
  pthread_mutex_t count_mutex_;
  bool being_deleted_;
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
