// A host that links libascore.so and brings its own allocation operators must
// keep them: the library's replacements (which route to its _as_new hook)
// bind inside the library only, and the library's own allocations never come
// through the host's operators.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <new>

#include "ascore/ascore.h"

namespace {
std::atomic<long> g_host_news{0};
}

__attribute__((noinline)) void* operator new(std::size_t size) {
  ++g_host_news;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
// Kept out of line: inlined into a new/delete pair, free() would look to the
// compiler like it releases memory from a mismatched allocator.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

const char* DefiningObject(void* symbol) {
  Dl_info info;
  if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return "";
  return info.dli_fname;
}

TEST(HostAllocation, HostKeepsItsOwnOperatorNew) {
  long before = g_host_news;
  void* p = ::operator new(16); // called directly: a new-expression may be elided
  ::operator delete(p);
  EXPECT_EQ(g_host_news - before, 1);
  // What a lookup through the library's scope finds is not the library's.
  void* lib = dlopen(ASCORE_LIB_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(lib, nullptr);
  EXPECT_EQ(strstr(DefiningObject(dlsym(lib, "_Znwm")), "libascore"), nullptr);
  EXPECT_EQ(strstr(DefiningObject(dlsym(lib, "_ZdlPv")), "libascore"), nullptr);
  EXPECT_EQ(strstr(DefiningObject(dlsym(RTLD_DEFAULT, "_Znwm")), "libascore"), nullptr);
  dlclose(lib);
}

TEST(HostAllocation, LibraryAllocationsBypassTheHostOperators) {
  long before = g_host_news;
  as_blackbox_t* box = as_blackbox_create(); // a C++ object inside the library
  long during = g_host_news;
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(as_blackbox_release(box), 0);
  EXPECT_EQ(during, before);
}

} // namespace
