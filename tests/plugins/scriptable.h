// scriptable.h - modules of all five kinds whose behaviour a test scripts
// through libastest_control.so, and the class factory of the test plug-ins.
//
// Built with the plug-in SDK into every scenario library (scenarios.cpp);
// astest_control.h documents what each operation does.
#pragma once

#include <cstddef>
#include <cstdint>

#include "plugin_sdk.h"

namespace astest_plugin {

struct ModuleSpec {
  const char* first_name;  // null: the module is known by its second name
  const char* second_name;
  uint32_t kind;           // 1..5; 0 or 6 give a filter object reporting that kind
  uint32_t entity_type;    // streamers and dispatchers
};

struct LibrarySpec {
  const char* tag; // logged with every call, tells copies of a module apart
  const ModuleSpec* modules;
  size_t count;
  int64_t null_index; // CreateModule answers null for this index; -1 for none
};

// The factory over a library's table. GetModuleName answers the display name
// of each module description. Modules are created at most once per index and destroyed by
// the factory's destructor, last created first.
CAClassFactory* MakeFactory(const LibrarySpec* library);

} // namespace astest_plugin
