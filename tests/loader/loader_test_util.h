// loader_test_util.h - helpers shared by the loader and contract tests.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"
#include "camodule.h"
#include "containers.h"
#include "hooks.h"
#include "loader.h"

namespace loader_test {

using Strings = std::vector<std::string>;
using Modules = ascommon::CArray<CAModule*, 64>;

inline std::string Dir(const char* scenario) { return std::string(ASTEST_PLUGINS_ROOT) + "/" + scenario; }

// Display names of the modules a load returned, in order.
inline Strings Names(const Modules* modules) {
  Strings out;
  for (uint64_t i = 0; modules && i < modules->GetCount(); ++i) out.push_back((*modules)[i]->GetDisplayName().c_str());
  return out;
}

// True while the library at path is mapped into the process.
inline bool IsMapped(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle) dlclose(handle);
  return handle != nullptr;
}

// An allocation hook that counts calls, releases and live blocks, and fails on
// request: call number fail_at (from 0), or the fail_size_nth block of
// fail_size bytes.
struct CountingHeap {
  static inline long live, calls, deletes, fail_at, fail_size_nth, size_seen;
  static inline uint64_t fail_size;
  static void* New(uint64_t size, bool throwing) {
    bool fail = calls++ == fail_at || (fail_size && size == fail_size && ++size_seen == fail_size_nth);
    void* block = fail ? nullptr : std::malloc(size ? size : 1);
    if (!block && throwing) throw std::bad_alloc();
    live += block != nullptr;
    return block;
  }
  static void Delete(void* block) {
    live -= block != nullptr;
    deletes += block != nullptr;
    std::free(block);
  }
};

// Installs CountingHeap into the library's hooks for its lifetime.
class HeapScope {
public:
  HeapScope() {
    CountingHeap::live = CountingHeap::calls = CountingHeap::deletes = CountingHeap::size_seen = 0;
    CountingHeap::fail_size_nth = 0;
    CountingHeap::fail_at = -1;
    CountingHeap::fail_size = 0;
    _as_new = &CountingHeap::New;
    _as_delete = &CountingHeap::Delete;
  }
  ~HeapScope() {
    _as_new = saved_new_;
    _as_delete = saved_delete_;
  }

private:
  as_new_fn saved_new_ = _as_new;
  as_delete_fn saved_delete_ = _as_delete;
};

} // namespace loader_test
