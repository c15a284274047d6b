// bb_oom_test.cpp - allocation failures through the _as_new hook.
//
// For N = 0, 1, 2, ... the Nth allocation of an operation fails. Every run
// must end in the documented status and message, leave the box usable with
// no half-built element, and give back every block, until the operation
// succeeds. The hooks serve the whole test program, so no test-framework call
// runs while they count: each run records plain values and checks them after.
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
  bool reached = false; // the failing allocation happened
  int status = 0;
  char message[64] = {0};
  char after[64] = {0}; // what the key reads as text afterwards ("" when absent)
  bool old_kept = false;
  bool usable = false;
  int leaked = 0;
};

// Creates a box holding int 7 under key 1, runs prepare, then op with its Nth
// allocation failing, and probes the box.
Outcome RunOnce(int n, const Op& op, const Op& prepare = nullptr) {
  Outcome r;
  ScopedAllocCounter counter;
  as_blackbox_t* bb = as_blackbox_create();
  if (bb && as_blackbox_set(bb, 1, BB_TYPE_INT, 7) == 0 && (!prepare || prepare(bb) == 0)) {
    {
      ScopedAllocFailure failure(n);
      r.status = op(bb);
      r.reached = ScopedAllocFailure::failures() > 0;
    }
    std::strncpy(r.message, _as_get_err()->GetMessage(), sizeof(r.message) - 1);
    int v = 0;
    r.old_kept = as_blackbox_get(bb, 1, BB_TYPE_INT, &v, 0) == &v && v == 7;
    const char* text = nullptr;
    size_t count = 0;
    if (as_blackbox_get(bb, 1, BB_TYPE_STRING, &text) && text) std::strncpy(r.after, text, sizeof(r.after) - 1);
    if (as_blackbox_get(bb, 1, BB_TYPE_STRING_ARRAY, nullptr, &count)) snprintf(r.after, sizeof r.after, "#%zu", count);
    r.usable = as_blackbox_set(bb, 2, BB_TYPE_INT, 1) == 0;
  }
  as_blackbox_release(bb);
  r.leaked = ScopedAllocCounter::news() - ScopedAllocCounter::deletes();
  return r;
}

const char* const kTexts[] = {"short", "a text that is far too long for the inline area", "", "x"};
const char* const kUtf8 = "\xC3\xA9t\xC3\xA9 and more than twenty-two bytes";
const wchar_t* const kWide[] = {L"wide one", L"wide two"};

} // namespace

TEST(BlackboxOutOfMemory, CreateFailsCleanlyAtEveryAllocation) {
  int n = 0;
  for (;; ++n) {
    ASSERT_LT(n, 20);
    bool made = false;
    Outcome r = RunOnce(n, [&](as_blackbox_t*) {
      as_blackbox_t* bb = as_blackbox_create();
      made = bb != nullptr;
      if (!made) return _as_get_err()->GetCode();
      as_blackbox_release(bb);
      return 0;
    });
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    EXPECT_EQ(0, r.leaked);
    if (!r.reached) break;
    // Losing the first bucket array is survivable (the map gets a new pair);
    // every other failure is reported.
    if (!made) {
      EXPECT_EQ(AS_ERR_MEMORY, r.status);
      EXPECT_STREQ("Not enough memory for a new blackbox", r.message);
    }
  }
  EXPECT_GE(n, 3) << "the object and two bucket arrays";
}

TEST(BlackboxOutOfMemory, FailedSetKeepsTheOldValueOrAnEmptyNewOne) {
  struct Case {
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
  for (const Case& c : cases) {
    for (int n = 0;; ++n) {
      ASSERT_LT(n, 100);
      Outcome r = RunOnce(n, c.op);
      SCOPED_TRACE(std::string(c.name) + ", failing allocation " + std::to_string(n));
      EXPECT_EQ(0, r.leaked);
      EXPECT_TRUE(r.usable);
      if (!r.reached) {
        EXPECT_EQ(0, r.status);
        EXPECT_STREQ(c.done, r.after);
        break;
      }
      EXPECT_EQ(AS_ERR_MEMORY, r.status);
      EXPECT_STREQ("memory allocation", r.message);
      // An empty array reads as count 0; an empty text as nothing.
      if (!r.old_kept) {
        EXPECT_TRUE(!strcmp(r.after, "") || !strcmp(r.after, "#0")) << r.after;
      }
    }
  }
}

TEST(BlackboxOutOfMemory, CloneFailsOrLeavesWholeElementsOut) {
  const Op fill = [](as_blackbox_t* bb) {
    return as_blackbox_set(bb, 2, BB_TYPE_STRING, kTexts[1]) | as_blackbox_set(bb, 3, BB_TYPE_UTF8_ARRAY, kTexts, (size_t)4) |
           as_blackbox_set(bb, 4, BB_TYPE_WSTRING_ARRAY, kWide, (size_t)2);
  };
  for (int n = 0;; ++n) {
    ASSERT_LT(n, 200);
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
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    EXPECT_EQ(0, r.leaked);
    EXPECT_TRUE(consistent);
    if (!r.reached) {
      EXPECT_TRUE(complete);
      break;
    }
    if (r.status != 0) {
      EXPECT_STREQ("failed to clone blackbox", r.message);
    }
  }
}
