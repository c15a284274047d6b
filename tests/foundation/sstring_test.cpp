// sstring: inline/heap placement, statuses under allocation failure and
// null-versus-empty comparisons.
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
  const char* self = reinterpret_cast<const char*>(&s);
  return s.c_str() >= self && s.c_str() < self + sizeof(sstring);
}

const char kLong1[] = "a text well beyond the inline area";
const char kLong2[] = "and another one, also too long to fit";

TEST(SString, InlineUpTo22BytesThenOneExactBlock) {
  sstring s22(std::string(22, 'x').c_str());
  EXPECT_TRUE(IsInline(s22));
  EXPECT_EQ(s22.size(), 23u);
  const std::string text23(23, 'y');
  int news;
  uint64_t size;
  {
    ScopedAllocCounter counter;
    sstring s23(text23.c_str());
    news = ScopedAllocCounter::news(), size = ScopedAllocCounter::last_size();
    EXPECT_FALSE(IsInline(s23));
    EXPECT_EQ(s23.length(), 23u);
  }
  EXPECT_EQ(news, 1);
  EXPECT_EQ(size, 24u);

  sstring s("abc");
  {
    ScopedAllocCounter counter;
    s.append("defghij", 7);
    news = ScopedAllocCounter::news();
  }
  EXPECT_EQ(news, 0);
  EXPECT_STREQ(s.c_str(), "abcdefghij");
  s.append(s); // self-append, still inline (21 bytes)
  EXPECT_TRUE(IsInline(s));
  s.append(s); // now on the heap, sourced from its own old buffer
  EXPECT_FALSE(IsInline(s));
  EXPECT_STREQ(s.c_str(), "abcdefghijabcdefghijabcdefghijabcdefghij");
  EXPECT_EQ(s.size(), s.length() + 1);
}

TEST(SString, CountsNullSourcesAndOwnBuffers) {
  EXPECT_EQ(sstring("ab\0cd", 5).length(), 2u); // the constructor measures with strlen
  sstring s("keep");
  EXPECT_EQ(s.assign("x", UINT64_MAX), -50);
  EXPECT_EQ(s.status(), -50);
  EXPECT_STREQ(s.c_str(), "keep");
  EXPECT_EQ(s.assign("a\0b", 3), 0); // an explicit count keeps embedded NULs
  EXPECT_EQ(s.length(), 3u);
  EXPECT_EQ(s.status(), 0);
  EXPECT_EQ(s.assign(nullptr, 4), 0);
  EXPECT_TRUE(s.is_null());
  EXPECT_EQ(s.append("xy", 2), 0);
  EXPECT_EQ(s.append(nullptr, 3), 0);
  EXPECT_STREQ(s.c_str(), "xy");

  sstring heap(kLong1), small("abcdef");
  heap = heap.c_str() + 2;
  small = small.c_str() + 3;
  EXPECT_STREQ(heap.c_str(), kLong1 + 2);
  EXPECT_STREQ(small.c_str(), "def");
}

TEST(SString, FillWithAByteOrAsZeroedWorkBuffer) {
  sstring s;
  EXPECT_EQ(s.fill(5, 'x'), 0);
  EXPECT_STREQ(s.c_str(), "xxxxx");
  EXPECT_EQ(s.fill(30, 0), 0);
  EXPECT_EQ(s.length(), 0u);
  EXPECT_EQ(s.size(), 30u);
  EXPECT_EQ(std::string(s.buffer(), 30), std::string(30, '\0'));
  memcpy(s.buffer(), "written", 7);
  s.set_length(7);
  EXPECT_STREQ(s.c_str(), "written");
}

TEST(SString, NullVersusEmptyComparisons) {
  sstring null1, null2, empty(""), x("x");
  EXPECT_FALSE(null1 == null2 || null1 != null2 || null1 < null2 || null1 > null2);
  EXPECT_TRUE(null1 == null1);
  EXPECT_TRUE(null1 == empty && empty == null1);
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
  EXPECT_EQ(std::wstring(L"a\xE9"), w.is_null() ? L"<null>" : w.c_str());
  EXPECT_TRUE(bad.is_null());
  EXPECT_TRUE(none.is_null());
}

// A failed allocation keeps the old text with status -2; a later success
// clears the status.
TEST(SString, AllocationFailureKeepsTheOldText) {
  sstring s(kLong1), t(kLong2);
  int rc_assign, rc_fill;
  {
    ScopedAllocFailure fail(0, true);
    rc_assign = s.assign(kLong2, strlen(kLong2));
    s = t;
    rc_fill = s.fill(40, 'z');
  }
  EXPECT_EQ(rc_assign, -2);
  EXPECT_EQ(rc_fill, -2);
  EXPECT_EQ(s.status(), -2);
  EXPECT_STREQ(s.c_str(), kLong1);
  EXPECT_EQ(s.length(), strlen(kLong1));
  {
    ScopedAllocFailure fail(0);
    sstring copy(t);
    EXPECT_TRUE(copy.is_null());
    EXPECT_EQ(copy.status(), -2);
  }
  s = "short";
  EXPECT_EQ(s.status(), 0);
}

// Every step of a short workload either takes effect or leaves the old text
// with status -2. The armed window holds only sstring calls.
TEST(SString, OutOfMemoryLoop) {
  const std::string once = std::string(kLong1) + kLong2;
  int runs = EveryFailingAllocation([&](int n) {
    char after_append[256] = {0}, after_self[256] = {0};
    int status_self;
    {
      sstring s(kLong1);
      {
        ScopedAllocFailure fail(n);
        s.append(kLong2, strlen(kLong2));
        strncpy(after_append, s.c_str(), sizeof after_append - 1);
        s.append(s);
        status_self = s.status();
        strncpy(after_self, s.c_str(), sizeof after_self - 1);
      }
    }
    std::string mid = after_append == once ? once : kLong1;
    EXPECT_EQ(after_append, mid);
    EXPECT_EQ(after_self, status_self == 0 ? mid + mid : mid);
    if (ScopedAllocFailure::failures() == 0) {
      EXPECT_EQ(after_self, once + once);
    }
  });
  EXPECT_GE(runs, 2);
}

} // namespace
