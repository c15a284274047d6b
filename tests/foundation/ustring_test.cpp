// usstring: exact allocation, append rules, the ignore-case flag, null
// comparisons and allocation failure.
#include <gtest/gtest.h>

#include "alloc_hooks.h"
#include "ustring.h"

using ascommon::usstring;

namespace {

TEST(UString, AppendRulesAndExactCapacity) {
  usstring s(L"ab");
  EXPECT_EQ(s.append(L"xyz", 4), -50); // count beyond the source
  EXPECT_EQ(s.status(), -50);
  EXPECT_EQ(s.append(L"xyz", 2), 0);
  EXPECT_STREQ(s.c_str(), L"abxy");
  EXPECT_EQ(s.capacity(), 5u); // no spare room
  EXPECT_EQ(s.status(), 0);
  s.append(s);
  EXPECT_STREQ(s.c_str(), L"abxyabxy");
  EXPECT_EQ(s.append(nullptr, 3), 0);
  EXPECT_EQ(s.length(), 8u);
  usstring null;
  EXPECT_EQ(null.append(L"whole", 1), 0); // a null target takes the whole source
  EXPECT_STREQ(null.c_str(), L"whole");
}

TEST(UString, IgnoreCaseFlagDrivesOperatorsAndIsCopied) {
  usstring a(L"Hello"), b(L"hELLO");
  EXPECT_FALSE(a == b);
  a.set_ignore_case(true);
  EXPECT_TRUE(a == b);
  EXPECT_FALSE(a != b);
  EXPECT_FALSE(b == a); // b compares by case
  usstring assigned;
  assigned = a;
  EXPECT_TRUE(assigned == b);
}

TEST(UString, NullComparisons) {
  usstring null1, null2, empty(L""), x(L"x");
  EXPECT_FALSE(null1 == null2 || null1 < null2 || null1 > null2 || null1 != null2);
  EXPECT_TRUE(null1 == null1);
  EXPECT_FALSE(null1 == empty); // compare answers -3, unlike sstring's length test
  EXPECT_EQ(null1.compare(L"x"), -3);
  EXPECT_EQ(x.compare(null1), -2);
  EXPECT_EQ(x.compare(static_cast<const wchar_t*>(nullptr)), -2);
  EXPECT_TRUE(usstring(L"a") < usstring(L"b"));
  EXPECT_TRUE((usstring() + usstring(L"")).is_null());
}

TEST(UString, FillAndWorkBufferCopies) {
  usstring s;
  EXPECT_EQ(s.fill(3, L'q'), 0);
  EXPECT_STREQ(s.c_str(), L"qqq");
  EXPECT_EQ(s.fill(10, 0), 0);
  EXPECT_EQ(s.length(), 0u);
  s.buffer()[0] = L'z';
  s.set_length(1);
  usstring copy(s); // a work buffer copies whole
  EXPECT_EQ(copy.capacity(), 10u);
  EXPECT_STREQ(copy.c_str(), L"z");
}

TEST(UString, AllocationFailureKeepsTheOldText) {
  usstring s(L"old"), other(L"new text");
  int rc_assign, rc_append;
  {
    ScopedAllocFailure fail(0, true);
    rc_assign = s.assign(L"abc", 3);
    rc_append = s.append(L"abc", 3);
    s = other;
  }
  EXPECT_EQ(rc_assign, -2);
  EXPECT_EQ(rc_append, -2);
  EXPECT_EQ(s.status(), -2);
  EXPECT_EQ(s.assign(L"abc", SIZE_MAX), -2); // no block that large
  EXPECT_STREQ(s.c_str(), L"old");
}

} // namespace
