// alloc_hooks.h - test helpers that replace the _as_new/_as_delete hooks.
//
// GoogleTest allocates through the same operators as the code under test, so
// the failing hook is selective: it fails only the Nth allocation made while it
// is installed, and the armed window should hold only the code under test.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "hooks.h"

// Fails the nth (0-based) _as_new call made while the object lives, or with
// `onwards` every call from the nth on (memory that stays exhausted).
class ScopedAllocFailure {
public:
  explicit ScopedAllocFailure(int nth, bool onwards = false) : saved_(_as_new) {
    countdown_ = nth, onwards_ = onwards, failures_ = 0, next_ = saved_;
    _as_new = Hook;
  }
  ~ScopedAllocFailure() { _as_new = saved_; }
  ScopedAllocFailure(const ScopedAllocFailure&) = delete;
  ScopedAllocFailure& operator=(const ScopedAllocFailure&) = delete;
  // How many allocations the last armed window refused (kept after it closes).
  static int failures() { return failures_; }

private:
  static void* Hook(uint64_t size, bool throwing) {
    if (countdown_-- == 0 || (onwards_ && countdown_ < 0)) {
      ++failures_;
      if (throwing) throw std::bad_alloc();
      return nullptr;
    }
    return next_(size, throwing);
  }
  as_new_fn saved_;
  static inline bool onwards_ = false;
  static inline int countdown_ = 0, failures_ = 0;
  static inline as_new_fn next_ = nullptr;
};

// Counts blocks handed out and returned through the hooks while it lives:
// news() - deletes() is what is still held.
class ScopedAllocCounter {
public:
  ScopedAllocCounter() : saved_new_(_as_new), saved_delete_(_as_delete) {
    news_ = deletes_ = 0, next_new_ = saved_new_, next_delete_ = saved_delete_;
    _as_new = New, _as_delete = Delete;
  }
  ~ScopedAllocCounter() { _as_new = saved_new_, _as_delete = saved_delete_; }
  ScopedAllocCounter(const ScopedAllocCounter&) = delete;
  ScopedAllocCounter& operator=(const ScopedAllocCounter&) = delete;
  static int news() { return news_; }
  static int held() { return news_ - deletes_; }
  static bool last_throwing() { return last_throwing_; }
  static uint64_t last_size() { return last_size_; }

private:
  static void* New(uint64_t size, bool throwing) {
    ++news_, last_throwing_ = throwing, last_size_ = size;
    return next_new_(size, throwing);
  }
  // Deleting null gives nothing back, so it must not balance a new.
  static void Delete(void* block) {
    deletes_ += block != nullptr;
    next_delete_(block);
  }
  as_new_fn saved_new_;
  as_delete_fn saved_delete_;
  static inline int news_ = 0, deletes_ = 0;
  static inline bool last_throwing_ = false;
  static inline uint64_t last_size_ = 0;
  static inline as_new_fn next_new_ = nullptr;
  static inline as_delete_fn next_delete_ = nullptr;
};

// The out-of-memory loop: for n = 0, 1, 2, ... run(n) arms one
// ScopedAllocFailure(n) around the code under test and checks the outcome
// afterwards; every run must give back every block it took. Stops after the
// first run in which nothing was refused and answers n.
template <class Run>
int EveryFailingAllocation(Run&& run, int limit = 200) {
  for (int n = 0; n < limit; ++n) {
    SCOPED_TRACE(testing::Message() << "failing allocation " << n);
    int held;
    {
      ScopedAllocCounter counter;
      run(n);
      held = ScopedAllocCounter::held();
    }
    EXPECT_EQ(0, held) << "blocks leaked";
    if (ScopedAllocFailure::failures() == 0) return n;
  }
  ADD_FAILURE() << "still failing after " << limit << " runs";
  return limit;
}
