// heap_plugin.h - what the heap test plug-in (heap/asheap.mdl) and its tests
// hand each other: foundation objects made on one side of the library
// boundary and released on the other.
#pragma once

#include <cstdint>

#include "containers.h"
#include "sstring.h"

namespace astest_heap {

// The commands of HeapFilter's FilterCommand(session, command, Exchange*).
// Each touches the heap exactly once (texts stay short enough to live in the
// strings' inline area), so a test can count the plug-in's hook calls.
enum Command : uint32_t {
  kRemoveNode = 1,    // map->Remove(kCoreKey): releases a node the caller made
  kDeleteStrings = 2, // delete[] strings: releases a string array the caller made
  kEmptyArray = 3,    // array->RemoveAll(): releases a buffer the caller made
  kAddNode = 4,       // map->Add(kPluginKey, ...): a node for the caller to release
  kNewStrings = 5,    // strings = new sstring[kNewStringCount]
  kFillArray = 6      // array->Add(...) on an empty array: a buffer for the caller
};

const uint64_t kCoreKey = 1;
const uint64_t kPluginKey = 2;
const size_t kNewStringCount = 2;

struct Exchange {
  ascommon::CMap<uint64_t, void*>* map;
  ascommon::sstring* strings;
  ascommon::CArray<ascommon::sstring, 64>* array;
};

} // namespace astest_heap
