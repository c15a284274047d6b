// Tests of sstring: inline/heap placement, statuses under allocation failure
// and null-versus-empty comparisons.
#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "alloc_hooks.h"
#include "sstring.h"
#include "ustring.h"

using ascommon::sstring;
using ascommon::usstring;

namespace {

bool IsInline(const sstring& s) {
  const char* p = s.c_str();
  const char* self = reinterpret_cast<const char*>(&s);
  return p >= self && p < self + sizeof(sstring);
}

const char kLong1[] = "a text well beyond the inline area";
const char kLong2[] = "and another one, also too long to fit";

TEST(SString, InlineHeapBoundaryAt22And23Bytes) {
  sstring s22(std::string(22, 'x').c_str());
  EXPECT_TRUE(IsInline(s22));
  EXPECT_EQ(s22.size(), 23u);

  uint64_t size;
  int news;
  const std::string text23(23, 'y');
  {
    ScopedAllocCounter counter;
    sstring s23(text23.c_str());
    news = ScopedAllocCounter::news();
    size = ScopedAllocCounter::last_size();
    EXPECT_FALSE(IsInline(s23));
    EXPECT_EQ(s23.length(), 23u);
    EXPECT_EQ(s23.size(), 24u);
  }
  EXPECT_EQ(news, 1);
  EXPECT_EQ(size, 24u);
}

TEST(SString, CountRules) {
  EXPECT_EQ(sstring("ab\0cd", 5).length(), 2u); // the constructor measures with strlen
  sstring s("keep");
  EXPECT_EQ(s.assign("x", UINT64_MAX), -50);
  EXPECT_EQ(s.status(), -50);
  EXPECT_STREQ(s.c_str(), "keep");
  // An explicit count keeps embedded NULs in the length.
  EXPECT_EQ(s.assign("a\0b", 3), 0);
  EXPECT_EQ(s.length(), 3u);
  EXPECT_EQ(s.status(), 0);
  EXPECT_EQ(s.assign(nullptr, 4), 0);
  EXPECT_TRUE(s.is_null());
}

TEST(SString, AllocationFailureKeepsTheOldText) {
  sstring s(kLong1);
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(s.assign(kLong2, strlen(kLong2)), -2);
  }
  EXPECT_STREQ(s.c_str(), kLong1);
  EXPECT_EQ(s.length(), strlen(kLong1));

  sstring t(kLong2);
  {
    ScopedAllocFailure fail(0);
    s = t;
  }
  EXPECT_STREQ(s.c_str(), kLong1);
  EXPECT_EQ(s.status(), -2);
  {
    ScopedAllocFailure fail(0);
    EXPECT_EQ(s.fill(40, 'z'), -2);
  }
  EXPECT_STREQ(s.c_str(), kLong1);
  {
    ScopedAllocFailure fail(0);
    sstring copy(t);
    EXPECT_TRUE(copy.is_null());
    EXPECT_EQ(copy.status(), -2);
  }
  // A later success clears the status.
  s = "short";
  EXPECT_EQ(s.status(), 0);
}

TEST(SString, AppendStaysInlineThenAllocatesExactly) {
  sstring s("abc");
  int news;
  {
    ScopedAllocCounter counter;
    s.append("defghij", 7);
    news = ScopedAllocCounter::news();
  }
  EXPECT_EQ(news, 0);
  EXPECT_TRUE(IsInline(s));
  EXPECT_STREQ(s.c_str(), "abcdefghij");

  s.append(s); // self-append, still inline (21 bytes)
  EXPECT_STREQ(s.c_str(), "abcdefghijabcdefghij");
  s.append(s); // now on the heap, sourced from its own old buffer
  EXPECT_FALSE(IsInline(s));
  EXPECT_STREQ(s.c_str(), "abcdefghijabcdefghijabcdefghijabcdefghij");
  EXPECT_EQ(s.size(), s.length() + 1);

  sstring null;
  null.append("xy", 2);
  EXPECT_STREQ(null.c_str(), "xy");
  EXPECT_EQ(null.append(nullptr, 3), 0);
  EXPECT_EQ(null.length(), 2u);
}

TEST(SString, AssignFromOwnBuffer) {
  sstring heap(kLong1);
  heap = heap.c_str() + 2;
  EXPECT_STREQ(heap.c_str(), kLong1 + 2);
  sstring small("abcdef");
  small = small.c_str() + 3;
  EXPECT_STREQ(small.c_str(), "def");
}

TEST(SString, FillWithAByteOrAsZeroedWorkBuffer) {
  sstring s;
  EXPECT_EQ(s.fill(5, 'x'), 0);
  EXPECT_STREQ(s.c_str(), "xxxxx");
  EXPECT_EQ(s.size(), 6u);

  EXPECT_EQ(s.fill(30, 0), 0);
  EXPECT_EQ(s.length(), 0u);
  EXPECT_EQ(s.size(), 30u);
  for (size_t i = 0; i < 30; ++i) ASSERT_EQ(s.buffer()[i], 0);
  memcpy(s.buffer(), "written", 7);
  s.set_length(7);
  EXPECT_STREQ(s.c_str(), "written");
  EXPECT_EQ(s.length(), 7u);
}

TEST(SString, NullVersusEmptyComparisons) {
  sstring null1, null2, empty(""), x("x");
  EXPECT_FALSE(null1 == null2);
  EXPECT_FALSE(null1 != null2);
  EXPECT_FALSE(null1 < null2);
  EXPECT_FALSE(null1 > null2);
  EXPECT_TRUE(null1 == null1);
  EXPECT_TRUE(null1 == empty);
  EXPECT_TRUE(empty == null1);
  EXPECT_EQ(null1.compare("x"), -3);
  EXPECT_EQ(x.compare(null1), -2);
  EXPECT_TRUE(null1 < x);
  EXPECT_TRUE((sstring("") + sstring("")).is_null());
  EXPECT_EQ(sstring("ABC").compare("abc", true), 0);
  EXPECT_NE(sstring("ABC").compare("abc"), 0);
  sstring e1, e2;
  e1.assign("a\0b", 3);
  e2.assign("a\0c", 3);
  EXPECT_FALSE(e1 == e2); // equality looks at every byte of the length
}

TEST(SString, ToUsstringUsesTheLocale) {
  std::string old = setlocale(LC_CTYPE, nullptr);
  ASSERT_NE(setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
  usstring w = sstring("a\xC3\xA9").to_usstring();
  usstring bad = sstring("a\xFF").to_usstring();
  usstring none = sstring().to_usstring();
  setlocale(LC_CTYPE, old.c_str());
  ASSERT_FALSE(w.is_null());
  EXPECT_EQ(w.length(), 2u);
  EXPECT_EQ(w.c_str()[1], (wchar_t)0xE9);
  EXPECT_TRUE(bad.is_null());
  EXPECT_TRUE(none.is_null());
}

// Fail each allocation of a short workload in turn: every step either takes
// effect or leaves the old text with status -2, and nothing leaks. The armed
// window holds only sstring calls (no std::string, no assertions).
TEST(SString, OutOfMemoryLoop) {
  const std::string once = std::string(kLong1) + kLong2;
  for (int n = 0;; ++n) {
    SCOPED_TRACE(n);
    char after_append[256] = {0}, after_self[256] = {0};
    int status_append, status_self, news, deletes, failures;
    {
      ScopedAllocCounter counter;
      sstring s(kLong1);
      {
        ScopedAllocFailure fail(n);
        s.append(kLong2, strlen(kLong2));
        status_append = s.status();
        strncpy(after_append, s.c_str(), sizeof after_append - 1);
        s.append(s);
        status_self = s.status();
        strncpy(after_self, s.c_str(), sizeof after_self - 1);
        failures = ScopedAllocFailure::failures();
      }
      s = nullptr;
      news = ScopedAllocCounter::news();
      deletes = ScopedAllocCounter::deletes();
    }
    EXPECT_EQ(news, deletes);
    std::string mid = status_append == 0 ? once : kLong1;
    EXPECT_EQ(std::string(after_append), mid);
    EXPECT_EQ(std::string(after_self), status_self == 0 ? mid + mid : mid);
    if (failures == 0) {
      EXPECT_EQ(status_self, 0);
      EXPECT_EQ(std::string(after_self), once + once);
      break;
    }
    ASSERT_LT(n, 10);
  }
}

} // namespace
