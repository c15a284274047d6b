// The hook defaults, the hook table and the library's allocation operators
// (which this binary links in, replacing the standard ones).
#include <gtest/gtest.h>

#include <new>

#include "alloc_hooks.h"

// Huge requests must come back as null/bad_alloc, not abort the sanitizer run.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "allocator_may_return_null=1";
}

namespace {

volatile uint64_t g_huge = UINT64_MAX / 4; // more than any heap, not a constant

TEST(Hooks, DefaultNewFailsByFormAndZeroBytesAreDistinctBlocks) {
  EXPECT_THROW(_as_new(g_huge, true), std::bad_alloc);
  EXPECT_EQ(_as_new(g_huge, false), nullptr);
  void* a = _as_new(0, false);
  void* b = _as_new(0, true);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  *static_cast<char*>(a) = 'x'; // one usable byte
  _as_delete(a);
  _as_delete(b);
}

TEST(Hooks, SavedTableListsHooksInContractOrder) {
  ASHookTable table;
  as_hooks_save(&table);
  void** slots = reinterpret_cast<void**>(&table); // by position, as a plug-in reads it
  const void* want[] = {(void*)_as_new,     (void*)_as_delete, (void*)_as_set_err_msg,
                        (void*)_as_set_err, (void*)_as_get_err, (void*)_as_trace};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(slots[i], want[i]) << "slot " << i;
  as_hooks_save(nullptr); // tolerated
}

// The operators are called directly: a new-expression whose result is
// deleted at once may legally be optimised away.
TEST(Hooks, OperatorsRouteThroughTheHooksAndObeyTheirForm) {
  int news, held;
  bool throwing_flag, nothrow_flag;
  {
    ScopedAllocCounter counter;
    void* p = ::operator new(sizeof(int));
    throwing_flag = ScopedAllocCounter::last_throwing();
    void* q = ::operator new[](10, std::nothrow);
    nothrow_flag = ScopedAllocCounter::last_throwing();
    ::operator delete(p, sizeof(int));
    ::operator delete[](q);
    news = ScopedAllocCounter::news(), held = ScopedAllocCounter::held();
  }
  EXPECT_EQ(2, news);
  EXPECT_EQ(0, held);
  EXPECT_TRUE(throwing_flag);
  EXPECT_FALSE(nothrow_flag);
  void* p = &news;
  {
    ScopedAllocFailure fail(0, true);
    EXPECT_THROW((void)::operator new[](16), std::bad_alloc);
    p = ::operator new(16, std::nothrow);
  }
  EXPECT_EQ(p, nullptr);
}

// A replaced hook that breaks its own contract must still not make a
// throwing new return null or a nothrow new throw.
TEST(Hooks, OperatorsGuardAgainstMisbehavingHooks) {
  as_new_fn saved = _as_new;
  _as_new = [](uint64_t, bool) -> void* { return nullptr; };
  bool threw = false;
  void* q = nullptr;
  try {
    q = ::operator new(8);
  } catch (const std::bad_alloc&) {
    threw = true;
  }
  _as_new = [](uint64_t, bool) -> void* { throw std::bad_alloc(); };
  void* p = ::operator new[](8, std::nothrow);
  _as_new = saved;
  EXPECT_TRUE(threw);
  EXPECT_EQ(q, nullptr);
  EXPECT_EQ(p, nullptr);
}

} // namespace
