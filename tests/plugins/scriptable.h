// scriptable.h - modules of all five kinds whose behaviour a test scripts
// through libastest_control.so, built into every scenario library.
#pragma once

#include <cstdint>

#include "plugin_sdk.h"

namespace astest_plugin {

struct ModuleDef {
  const char* first_name; // null: the module is known by its second name
  const char* second_name;
  uint32_t kind;          // 1..5; 0 or 6 give a filter object reporting that kind
  uint32_t entity_type;   // streamers and dispatchers
};

inline const char* OfferedName(const ModuleDef& m) { return m.first_name ? m.first_name : m.second_name; }

// The module, logged under the library's tag; null when the test refused its
// creation (astest_set_null(name, ASTEST_OP_CREATE, ASTEST_ANY)).
CAModule* MakeModule(const ModuleDef& module, const char* library);

} // namespace astest_plugin
