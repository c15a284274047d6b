// heap_plugin.cpp - a plug-in whose one filter, HeapFilter, works the heap
// from both sides of the library boundary.
//
// HandleGlobalRequest (called by the core for every global settings
// application) builds a std::string and grows it with members that the C++
// run-time instantiates itself, then lets it go out of scope in this
// library's inline code: allocation and release then happen in different
// libraries, which must agree on the allocator. It logs the final length as
// the result of an ASTEST_OP_GLOBAL_REQUEST call.
//
// FilterCommand releases foundation objects its caller made and makes some for
// the caller to release (heap_plugin.h).
#include "heap_plugin.h"

#include <string>

#include "astest_control.h"
#include "plugin_sdk.h"

namespace {

using astest_heap::Exchange;

const char kName[] = "HeapFilter";

// The length GrowString ends with, or -1 when the text came out wrong.
int64_t GrowString() {
  std::string text(200, 'a');
  text.reserve(4000);
  text.append(3000, 'b');
  text.append(std::string(1000, 'c'));
  std::string copy = text;
  copy.resize(100);
  copy.shrink_to_fit();
  text += copy;
  bool right = text[199] == 'a' && text[200] == 'b' && text[3200] == 'c' && text.back() == 'a';
  return right ? (int64_t)text.size() : -1;
}

class HeapFilter : public ascore_sdk::CModule<CAFilter> {
public:
  HeapFilter() : CModule(kName) {}

  int HandleGlobalRequest(CBlackBox*) override {
    uint64_t seq = astest_enter(kName, "asheap", ASTEST_OP_GLOBAL_REQUEST, 0, 0, 0, 0, nullptr);
    astest_leave(seq, GrowString());
    return 0;
  }
  int GetBreakerIndex(uint32_t) override { return 0; }
  int FilterItem(uint64_t, ASItem*, uint32_t) override { return 0; }

  int FilterCommand(uint64_t, uint32_t command, void* argument) override {
    Exchange* x = static_cast<Exchange*>(argument);
    if (!x) return -1;
    switch (command) {
    case astest_heap::kRemoveNode:
      return x->map->Remove(astest_heap::kCoreKey);
    case astest_heap::kDeleteStrings:
      delete[] x->strings;
      x->strings = nullptr;
      return 0;
    case astest_heap::kEmptyArray:
      x->array->RemoveAll();
      return 0;
    case astest_heap::kAddNode:
      return x->map->Add(astest_heap::kPluginKey, this);
    case astest_heap::kNewStrings:
      x->strings = new (std::nothrow) ascommon::sstring[astest_heap::kNewStringCount];
      if (!x->strings) return -2;
      x->strings[0] = "made by";
      x->strings[1] = "the plug-in";
      return 0;
    case astest_heap::kFillArray:
      return x->array->Add(ascommon::sstring("plug-in"));
    default:
      return -1;
    }
  }
};

const ascore_sdk::ModuleEntry kModules[] = {
    {kName, &ascore_sdk::Create<HeapFilter>},
};

} // namespace

ASCORE_PLUGIN_MODULES(kModules)
