// Tests of the hook defaults, the hook table and the library's allocation
// operators (which this binary links in, replacing the standard ones).
#include <gtest/gtest.h>

#include <cstdint>
#include <new>

#include "alloc_hooks.h"
#include "hooks.h"

// Huge requests must come back as null/bad_alloc, not abort the sanitizer run.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

// Larger than any heap can give, yet not a compile-time constant.
volatile uint64_t g_huge = UINT64_MAX / 4;

TEST(Hooks, DefaultNewFailureThrowsOrReturnsNull) {
  EXPECT_THROW(_as_new(g_huge, true), std::bad_alloc);
  EXPECT_EQ(_as_new(g_huge, false), nullptr);
}

TEST(Hooks, ZeroByteAllocationsAreValidAndDistinct) {
  void* a = _as_new(0, false);
  void* b = _as_new(0, true);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  *static_cast<char*>(a) = 'x'; // one usable byte
  _as_delete(a);
  _as_delete(b);
}

TEST(Hooks, SavedTableListsHooksInContractOrder) {
  ASHookTable table;
  as_hooks_save(&table);
  // By position, as a plug-in reads it.
  void** slots = reinterpret_cast<void**>(&table);
  EXPECT_EQ(slots[0], reinterpret_cast<void*>(_as_new));
  EXPECT_EQ(slots[1], reinterpret_cast<void*>(_as_delete));
  EXPECT_EQ(slots[2], reinterpret_cast<void*>(_as_set_err_msg));
  EXPECT_EQ(slots[3], reinterpret_cast<void*>(_as_set_err));
  EXPECT_EQ(slots[4], reinterpret_cast<void*>(_as_get_err));
  EXPECT_EQ(slots[5], reinterpret_cast<void*>(_as_trace));
  as_hooks_save(nullptr); // tolerated
}

// The operators are called directly: a new-expression whose result is
// deleted at once may legally be optimised away.
TEST(Hooks, OperatorsRouteThroughTheHooks) {
  int news, deletes;
  bool throwing_flag, nothrow_flag;
  {
    ScopedAllocCounter counter;
    void* p = ::operator new(sizeof(int));
    throwing_flag = ScopedAllocCounter::last_throwing();
    void* q = ::operator new[](10, std::nothrow);
    nothrow_flag = ScopedAllocCounter::last_throwing();
    ::operator delete(p, sizeof(int));
    ::operator delete[](q);
    news = ScopedAllocCounter::news();
    deletes = ScopedAllocCounter::deletes();
  }
  EXPECT_EQ(news, 2);
  EXPECT_EQ(deletes, 2);
  EXPECT_TRUE(throwing_flag);
  EXPECT_FALSE(nothrow_flag);
}

TEST(Hooks, OperatorsObeyTheirFormOnFailure) {
  bool threw = false;
  void* p = &threw;
  {
    ScopedAllocFailure fail(0);
    try {
      p = ::operator new[](16);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
  }
  EXPECT_TRUE(threw);
  {
    ScopedAllocFailure fail(0);
    p = ::operator new(16, std::nothrow);
  }
  EXPECT_EQ(p, nullptr);
}

// A replaced hook that breaks its own contract must still not make a
// throwing new return null or a nothrow new throw.
void* NullEvenWhenThrowing(uint64_t, bool) { return nullptr; }
void* ThrowEvenWhenNothrow(uint64_t, bool) { throw std::bad_alloc(); }

TEST(Hooks, OperatorsGuardAgainstMisbehavingHooks) {
  as_new_fn saved = _as_new;
  _as_new = NullEvenWhenThrowing;
  bool threw = false;
  void* q = nullptr;
  try {
    q = ::operator new(8);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  _as_new = ThrowEvenWhenNothrow;
  void* p = ::operator new[](8, std::nothrow);
  _as_new = saved;
  EXPECT_TRUE(threw);
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(p, nullptr);
}

} // namespace
