// plugin_abi.h - the three entry points of a plug-in module library and the
// version rule.
#pragma once

#include <cstdint>

#include "ascore/version.h"
#include "hooks.h"

class CAClassFactory;

// major, minor, build, revision. Compatible when major and minor equal the core's.
struct ASVersionRecord {
  int32_t major;
  int32_t minor;
  int32_t build;
  int32_t revision;
};

// What SDK-built plug-ins report: the version of the headers they were built with.
enum {
  AS_VERSION_MAJOR = ASCORE_VERSION_MAJOR,
  AS_VERSION_MINOR = ASCORE_VERSION_MINOR,
  AS_VERSION_BUILD = ASCORE_VERSION_BUILD,
  AS_VERSION_REVISION = ASCORE_VERSION_REVISION
};

// Looked up with dlsym by these names (C linkage).
typedef int (*GetASVersionFn)(ASVersionRecord* version);           // result ignored
typedef CAClassFactory* (*GetClassFactoryFn)(const ASHookTable* hooks); // null: no factory
typedef int (*ReleaseClassFactoryFn)();                              // result ignored

#define AS_ENTRY_GET_VERSION "GetASVersion"
#define AS_ENTRY_GET_FACTORY "GetClassFactory"
#define AS_ENTRY_RELEASE_FACTORY "ReleaseClassFactory"
