// bb_oom_test.cpp - allocation failures through the _as_new hook.
//
// For N = 0, 1, 2, ... the Nth allocation of an operation fails. Every run
// must end in the documented status and message, leave the box usable, and
// give back every block it took, until the operation succeeds.
//
// The hooks replace the global operators of this whole test program, so no
// test-framework call may run while the failing hook is installed: each
// scenario records what it sees into plain variables and checks them after.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "ascore/ascore.h"
#include "as_errno.h"
#include "hooks.h"

namespace {

long g_countdown = -1; // allocations left before the failing one; -1: never fail
long g_live = 0;       // blocks taken through the hook and not given back
bool g_failed = false; // the failing allocation was reached

void* CountingNew(uint64_t size, bool throwing) {
  if (g_countdown == 0) {
    g_countdown = -1;
    g_failed = true;
    if (throwing) throw std::bad_alloc();
    return nullptr;
  }
  if (g_countdown > 0) --g_countdown;
  void* p = std::malloc(size ? (size_t)size : 1);
  if (p) ++g_live;
  return p;
}

void CountingDelete(void* p) {
  if (!p) return;
  --g_live;
  std::free(p);
}

// Installs the counting hooks for the lifetime of the object.
class CountingHooks {
public:
  CountingHooks() : new_(_as_new), delete_(_as_delete) {
    g_live = 0;
    g_countdown = -1;
    g_failed = false;
    _as_new = CountingNew;
    _as_delete = CountingDelete;
  }
  ~CountingHooks() {
    _as_new = new_;
    _as_delete = delete_;
  }

private:
  as_new_fn new_;
  as_delete_fn delete_;
};

struct Outcome {
  bool reached = false; // the Nth allocation happened (else the run succeeded without failing)
  int status = 0;
  char message[128] = {0};
  bool usable = false; // the box still takes and returns a value afterwards
  long leaked = 0;
};

void CopyMessage(Outcome& o) {
  const char* m = _as_get_err()->GetMessage();
  std::strncpy(o.message, m ? m : "(null)", sizeof(o.message) - 1);
}

bool ProbeUsable(as_blackbox_t* bb) {
  if (as_blackbox_set(bb, 424242, BB_TYPE_INT, 17) != 0) return false;
  int v = 0;
  return as_blackbox_get(bb, 424242, BB_TYPE_INT, &v, 0) == &v && v == 17;
}

// Creates a box, runs `fill` normally, then runs `op` with the Nth allocation
// failing, probes the box and releases everything.
Outcome RunSet(long n, const std::function<void(as_blackbox_t*)>& fill,
               const std::function<int(as_blackbox_t*)>& op) {
  Outcome o;
  {
    CountingHooks hooks;
    as_blackbox_t* bb = as_blackbox_create();
    if (!bb) return o;
    fill(bb);
    g_countdown = n;
    o.status = op(bb);
    g_countdown = -1;
    o.reached = g_failed;
    CopyMessage(o);
    o.usable = ProbeUsable(bb);
    as_blackbox_release(bb);
    o.leaked = g_live;
  }
  return o;
}

const int kInts[] = {1, 2, 3, 4, 5, 6, 7, 8};
const char* const kTexts[] = {"short", "a text that is far too long for the inline area", "", "third"};
const wchar_t* const kWide[] = {L"wide one", L"wide two that is longer"};
const char* const kUtf8[] = {"\xC3\xA9t\xC3\xA9 and more than twenty-two bytes", "x"};

struct SetCase {
  const char* name;
  std::function<int(as_blackbox_t*)> op;
};

std::vector<SetCase> SetCases() {
  return {
      {"int", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_INT, 5); }},
      {"string", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_STRING, kTexts[1]); }},
      {"wstring", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_WSTRING, kWide[1]); }},
      {"utf8", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_UTF8, kUtf8[0]); }},
      {"int array", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_INT_ARRAY, kInts, (size_t)8); }},
      {"string array",
       [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_STRING_ARRAY, kTexts, (size_t)4); }},
      {"wstring array",
       [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_WSTRING_ARRAY, kWide, (size_t)2); }},
      {"utf8 array", [](as_blackbox_t* bb) { return as_blackbox_set(bb, 1, BB_TYPE_UTF8_ARRAY, kUtf8, (size_t)2); }},
  };
}

} // namespace

TEST(BlackboxOutOfMemory, CreateFailsCleanlyAtEveryAllocation) {
  long n = 0;
  for (;; ++n) {
    ASSERT_LT(n, 20) << "create should need only a few allocations";
    as_blackbox_t* bb;
    bool reached;
    int code;
    char message[128] = {0};
    long leaked;
    {
      CountingHooks hooks;
      g_countdown = n;
      bb = as_blackbox_create();
      g_countdown = -1;
      reached = g_failed;
      code = _as_get_err()->GetCode();
      std::strncpy(message, _as_get_err()->GetMessage(), sizeof(message) - 1);
      if (bb) as_blackbox_release(bb);
      leaked = g_live;
    }
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    EXPECT_EQ(0, leaked);
    if (!reached) {
      EXPECT_NE(nullptr, bb);
      EXPECT_EQ(0, code);
      break;
    }
    // Failing the first bucket array is survivable (the map is given a new
    // pair of arrays); every other failure must be reported.
    if (bb) continue;
    EXPECT_EQ(AS_ERR_MEMORY, code);
    EXPECT_STREQ("Not enough memory for a new blackbox", message);
  }
  EXPECT_GE(n, 3) << "object and two bucket arrays";
}

TEST(BlackboxOutOfMemory, SetFailsCleanlyAtEveryAllocation) {
  for (const SetCase& c : SetCases()) {
    SCOPED_TRACE(c.name);
    for (long n = 0;; ++n) {
      ASSERT_LT(n, 100);
      Outcome o = RunSet(n, [](as_blackbox_t*) {}, c.op);
      SCOPED_TRACE("failing allocation " + std::to_string(n));
      EXPECT_EQ(0, o.leaked);
      EXPECT_TRUE(o.usable);
      if (!o.reached) {
        EXPECT_EQ(0, o.status);
        break;
      }
      EXPECT_EQ(AS_ERR_MEMORY, o.status);
      EXPECT_STREQ("memory allocation", o.message);
    }
  }
}

TEST(BlackboxOutOfMemory, FailedReplacementLeavesNoHalfElementBehind) {
  // When the new value cannot be built the key holds either the old value or
  // an empty one of the new type, never a partly built one.
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 100);
    size_t count = 999;
    const char* narrow = "sentinel";
    const wchar_t* wide = L"sentinel";
    bool old_array_kept = false, old_text_kept = false, has_narrow = false, has_wide = false;
    char narrow_copy[64] = {0};
    Outcome arrays, texts;
    {
      CountingHooks hooks;
      as_blackbox_t* bb = as_blackbox_create();
      if (!bb) return;
      as_blackbox_set(bb, 1, BB_TYPE_INT, 7);
      as_blackbox_set(bb, 2, BB_TYPE_INT, 8);
      g_countdown = n;
      arrays.status = as_blackbox_set(bb, 1, BB_TYPE_STRING_ARRAY, kTexts, (size_t)4);
      g_countdown = -1;
      arrays.reached = g_failed;
      g_failed = false;
      g_countdown = n;
      texts.status = as_blackbox_set(bb, 2, BB_TYPE_UTF8, kUtf8[0]);
      g_countdown = -1;
      texts.reached = g_failed;
      int v = 0;
      old_array_kept = as_blackbox_get(bb, 1, BB_TYPE_INT, &v, 0) == &v && v == 7;
      old_text_kept = as_blackbox_get(bb, 2, BB_TYPE_INT, &v, 0) == &v && v == 8;
      as_blackbox_get(bb, 1, BB_TYPE_STRING_ARRAY, nullptr, &count);
      as_blackbox_get(bb, 2, BB_TYPE_STRING, &narrow);
      as_blackbox_get(bb, 2, BB_TYPE_WSTRING, &wide);
      // Both point into the box: keep what they said before it goes.
      if (narrow) std::strncpy(narrow_copy, narrow, sizeof(narrow_copy) - 1);
      has_narrow = narrow != nullptr;
      has_wide = wide != nullptr;
      as_blackbox_release(bb);
      arrays.leaked = g_live;
    }
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    EXPECT_EQ(0, arrays.leaked);
    if (arrays.reached) {
      EXPECT_EQ(AS_ERR_MEMORY, arrays.status);
      EXPECT_TRUE(old_array_kept ? count == 999 : count == 0) << "count " << count;
    } else {
      EXPECT_EQ(0, arrays.status);
      EXPECT_EQ(4u, count);
    }
    if (texts.reached) {
      EXPECT_EQ(AS_ERR_MEMORY, texts.status);
      if (!old_text_kept) {
        EXPECT_FALSE(has_narrow);
        EXPECT_FALSE(has_wide);
      }
    } else {
      EXPECT_EQ(0, texts.status);
      EXPECT_STREQ(kUtf8[0], narrow_copy);
      EXPECT_TRUE(has_wide);
    }
    if (!arrays.reached && !texts.reached) break;
  }
}

TEST(BlackboxOutOfMemory, CloneFailsOrLeavesElementsOut) {
  auto fill = [](as_blackbox_t* bb) {
    as_blackbox_set(bb, 1, BB_TYPE_INT, 1);
    as_blackbox_set(bb, 2, BB_TYPE_STRING, kTexts[1]);
    as_blackbox_set(bb, 3, BB_TYPE_UTF8_ARRAY, kUtf8, (size_t)2);
    as_blackbox_set(bb, 4, BB_TYPE_WSTRING_ARRAY, kWide, (size_t)2);
    as_blackbox_set(bb, 5, BB_TYPE_INT_ARRAY, kInts, (size_t)8);
  };
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 200);
    as_blackbox_t* copy = nullptr;
    Outcome o;
    bool complete = false;
    bool consistent = true;
    o = RunSet(n, fill, [&](as_blackbox_t* bb) {
      copy = as_blackbox_clone(bb);
      if (!copy) return _as_get_err()->GetCode();
      // Whatever was copied must read back exactly.
      int v = 0;
      const char* s = nullptr;
      size_t n8 = 0, nw = 0, ni = 0;
      bool has1 = as_blackbox_get(copy, 1, BB_TYPE_INT, &v, 0) && v == 1;
      void* r2 = as_blackbox_get(copy, 2, BB_TYPE_STRING, &s);
      bool has2 = r2 != nullptr;
      if (has2 && std::strcmp(s, kTexts[1]) != 0) consistent = false;
      bool has3 = as_blackbox_get(copy, 3, BB_TYPE_UTF8_ARRAY, nullptr, &n8) != nullptr;
      if (has3 && n8 != 2) consistent = false;
      size_t n3w = 0;
      if (has3 && (!as_blackbox_get(copy, 3, BB_TYPE_WSTRING_ARRAY, nullptr, &n3w) || n3w != 2)) consistent = false;
      bool has4 = as_blackbox_get(copy, 4, BB_TYPE_WSTRING_ARRAY, nullptr, &nw) != nullptr;
      if (has4 && nw != 2) consistent = false;
      bool has5 = as_blackbox_get(copy, 5, BB_TYPE_INT_ARRAY, nullptr, &ni) != nullptr;
      if (has5 && ni != 8) consistent = false;
      complete = has1 && has2 && has3 && has4 && has5;
      as_blackbox_release(copy);
      return 0;
    });
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    EXPECT_EQ(0, o.leaked);
    EXPECT_TRUE(o.usable);
    EXPECT_TRUE(consistent);
    if (!o.reached) {
      EXPECT_TRUE(complete);
      break;
    }
    if (o.status != 0) {
      EXPECT_EQ(AS_ERR_MEMORY, o.status);
      EXPECT_STREQ("failed to clone blackbox", o.message);
    }
  }
}
