// bb_oom_test.cpp - allocation failures through the _as_new hook.
//
// For N = 0, 1, 2, ... the Nth allocation of an operation fails. Every run
// must end in the right status and message, leave the box usable with no
// half-built element, and give back every block, until the operation
// succeeds. The hooks serve the whole test program, so no test-framework
// call runs while the failure is armed.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "alloc_hooks.h"
#include "as_errno.h"
#include "ascore/ascore.h"

namespace {

using Op = std::function<int(as_blackbox_t*)>;

struct Outcome {
  int status = -1;
  std::string message, after; // what key 1 reads as text afterwards ("" when absent, "#n" for arrays)
  bool old_kept = false, usable = false;
};

// A box holding int 7 under key 1, filled by prepare, then op with its Nth
// allocation failing; the box is probed and released.
Outcome RunOnce(int n, const Op& op, const Op& prepare = nullptr) {
  Outcome r;
  as_blackbox_t* bb = as_blackbox_create();
  if (bb && as_blackbox_set(bb, 1, BB_TYPE_INT, 7) == 0 && (!prepare || prepare(bb) == 0)) {
    {
      ScopedAllocFailure failure(n);
      r.status = op(bb);
    }
    r.message = _as_get_err()->GetMessage();
    int v = 0;
    r.old_kept = as_blackbox_get(bb, 1, BB_TYPE_INT, &v, 0) == &v && v == 7;
    const char* text = nullptr;
    size_t count = 0;
    if (as_blackbox_get(bb, 1, BB_TYPE_STRING, &text) && text) r.after = text;
    if (as_blackbox_get(bb, 1, BB_TYPE_STRING_ARRAY, nullptr, &count)) r.after = "#" + std::to_string(count);
    r.usable = as_blackbox_set(bb, 2, BB_TYPE_INT, 1) == 0;
  }
  as_blackbox_release(bb);
  return r;
}

const char* const kTexts[] = {"short", "a text that is far too long for the inline area", "", "x"};
const char* const kUtf8 = "\xC3\xA9t\xC3\xA9 and more than twenty-two bytes";
const wchar_t* const kWide[] = {L"wide one", L"wide two"};

} // namespace

TEST(BlackboxOutOfMemory, CreateFailsCleanlyAtEveryAllocation) {
  int runs = EveryFailingAllocation([](int n) {
    bool made = true;
    Outcome r = RunOnce(n, [&](as_blackbox_t*) {
      as_blackbox_t* bb = as_blackbox_create();
      if (!(made = bb != nullptr)) return _as_get_err()->GetCode();
      return as_blackbox_release(bb);
    });
    // Losing the first bucket array is survivable (the map gets a new pair);
    // every other failure is reported.
    if (!made) {
      EXPECT_EQ(AS_ERR_MEMORY, r.status);
      EXPECT_EQ("Not enough memory for a new blackbox", r.message);
    }
  });
  EXPECT_GE(runs, 3) << "the object and two bucket arrays";
}

TEST(BlackboxOutOfMemory, FailedSetKeepsTheOldValueOrAnEmptyNewOne) {
  const struct {
    const char* name;
    Op op;
    const char* done; // what key 1 reads as text once the set succeeds
  } cases[] = {
      {"string", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_STRING, kTexts[1]); }, kTexts[1]},
      {"utf8", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_UTF8, kUtf8); }, kUtf8},
      {"wstring", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_WSTRING, kWide[1]); }, ""},
      {"string array", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_STRING_ARRAY, kTexts, (size_t)4); }, "#4"},
      {"utf8 array", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_UTF8_ARRAY, kTexts, (size_t)4); }, "#4"},
      {"wstring array", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_WSTRING_ARRAY, kWide, (size_t)2); }, ""},
      {"new key", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 3, BB_TYPE_LONG_ARRAY, kTexts, (size_t)2); }, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EveryFailingAllocation([&](int n) {
      Outcome r = RunOnce(n, c.op);
      EXPECT_TRUE(r.usable);
      if (ScopedAllocFailure::failures() == 0) {
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.done, r.after);
        return;
      }
      EXPECT_EQ(AS_ERR_MEMORY, r.status);
      EXPECT_EQ("memory allocation", r.message);
      // Either the old int, or an empty value: an array of 0, a text of nothing.
      EXPECT_TRUE(r.old_kept || r.after == "" || r.after == "#0") << r.after;
    });
  }
}

TEST(BlackboxOutOfMemory, CloneFailsOrLeavesWholeElementsOut) {
  const Op fill = [](as_blackbox_t* bb) {
    return as_blackbox_set(bb, 2, BB_TYPE_STRING, kTexts[1]) |
           as_blackbox_set(bb, 3, BB_TYPE_UTF8_ARRAY, kTexts, (size_t)4) |
           as_blackbox_set(bb, 4, BB_TYPE_WSTRING_ARRAY, kWide, (size_t)2);
  };
  EveryFailingAllocation([&](int n) {
    bool complete = false, consistent = true;
    Outcome r = RunOnce(n, [&](as_blackbox_t* bb) {
      as_blackbox_t* copy = as_blackbox_clone(bb);
      if (!copy) return _as_get_err()->GetCode();
      int v = 0;
      const char* s = nullptr;
      size_t c3 = 0, w3 = 0, c4 = 0;
      bool has1 = as_blackbox_get(copy, 1, BB_TYPE_INT, &v, 0) && v == 7;
      bool has2 = as_blackbox_get(copy, 2, BB_TYPE_STRING, &s) != nullptr;
      bool has3 = as_blackbox_get(copy, 3, BB_TYPE_UTF8_ARRAY, nullptr, &c3) != nullptr;
      as_blackbox_get(copy, 3, BB_TYPE_WSTRING_ARRAY, nullptr, &w3);
      bool has4 = as_blackbox_get(copy, 4, BB_TYPE_WSTRING_ARRAY, nullptr, &c4) != nullptr;
      consistent = (!has2 || !strcmp(s, kTexts[1])) && (!has3 || (c3 == 4 && w3 == 4)) && (!has4 || c4 == 2);
      complete = has1 && has2 && has3 && has4;
      as_blackbox_release(copy);
      return 0;
    }, fill);
    EXPECT_TRUE(consistent);
    EXPECT_TRUE(complete || ScopedAllocFailure::failures() > 0);
    EXPECT_TRUE(r.status == 0 || r.message == "failed to clone blackbox") << r.message;
  });
}
