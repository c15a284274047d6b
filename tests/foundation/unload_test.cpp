// Loads and unloads the library many times, as a host that opens it on
// demand would. Each load creates the error state's thread keys; the unload
// hook must delete them again, or the process runs out of keys (there are
// only PTHREAD_KEYS_MAX) and the error state silently stops working.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <dlfcn.h>
#include <limits.h>

namespace {

typedef int32_t (*version_fn)(uint32_t*);
typedef int32_t (*err_fn)();
typedef const char* (*errmsg_fn)();

TEST(LibraryLifecycle, RepeatedLoadAndUnloadKeepsTheErrorStateWorking) {
  const int kCycles = PTHREAD_KEYS_MAX / 3 + 50;
  for (int i = 0; i < kCycles; ++i) {
    void* lib = dlopen(ASCORE_LIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto version = reinterpret_cast<version_fn>(dlsym(lib, "as_core_version_get"));
    auto err = reinterpret_cast<err_fn>(dlsym(lib, "as_core_err"));
    auto errmsg = reinterpret_cast<errmsg_fn>(dlsym(lib, "as_core_errmsg"));
    ASSERT_TRUE(version && err && errmsg);
    ASSERT_EQ(version(nullptr), -101) << "cycle " << i;
    ASSERT_EQ(err(), -101) << "cycle " << i;
    ASSERT_STREQ(errmsg(), "wrong pointer @input") << "cycle " << i;
    ASSERT_EQ(dlclose(lib), 0);
    // Really gone, so the next round runs the load hooks afresh.
    ASSERT_EQ(dlopen(ASCORE_LIB_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
        << "cycle " << i << ": libascore.so stayed loaded after dlclose (a unique symbol, e.g. a"
        << " static in an inline function, or a leaked dlopen reference pins it)";
  }
}

} // namespace
