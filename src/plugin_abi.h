// plugin_abi.h - the three entry points of a plug-in module library and the
// version rule.
#pragma once

#include <cstdint>

#include "hooks.h"

class CAClassFactory;

// major, minor, build, revision. Compatible when major and minor equal the core's.
struct ASVersionRecord {
  int32_t major;
  int32_t minor;
  int32_t build;
  int32_t revision;
};

enum { AS_VERSION_MAJOR = 2, AS_VERSION_MINOR = 15, AS_VERSION_BUILD = 10, AS_VERSION_REVISION = 1294 };

// Looked up with dlsym by these names (C linkage).
typedef int (*GetASVersionFn)(ASVersionRecord* version);           // result ignored
typedef CAClassFactory* (*GetClassFactoryFn)(const ASHookTable* hooks); // null: no factory
typedef int (*ReleaseClassFactoryFn)();                              // result ignored

#define AS_ENTRY_GET_VERSION "GetASVersion"
#define AS_ENTRY_GET_FACTORY "GetClassFactory"
#define AS_ENTRY_RELEASE_FACTORY "ReleaseClassFactory"
