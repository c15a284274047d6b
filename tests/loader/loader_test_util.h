// loader_test_util.h - helpers shared by the loader and contract tests.
#pragma once

#include <dlfcn.h>

#include <string>
#include <vector>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"
#include "camodule.h"
#include "containers.h"
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

} // namespace loader_test
