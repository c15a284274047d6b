// The time pair helpers.
#include <gtest/gtest.h>

#include "time_utils.h"

using namespace ascommon;

TEST(TimeUtils, DifferenceBorrowsAcrossTheSecond) {
  const struct { as_time_t a, b; long s, us; } cases[] = {
      {{5, 100}, {3, 200}, 1, 999900}, {{5, 300}, {3, 200}, 2, 100}, {{7, 0}, {7, 0}, 0, 0}};
  for (const auto& c : cases) {
    as_time_t d{-1, -1};
    EXPECT_EQ(as_time_diff(c.a, c.b, &d), 0);
    EXPECT_EQ(c.s, d.seconds);
    EXPECT_EQ(c.us, d.microseconds);
  }
}

TEST(TimeUtils, NowIsNormalisedAndMonotonicEnough) {
  as_time_t a, b, d;
  ASSERT_EQ(as_time_now(&a), 0);
  ASSERT_EQ(as_time_now(&b), 0);
  EXPECT_TRUE(a.microseconds >= 0 && a.microseconds < 1000000) << a.microseconds;
  EXPECT_GT(a.seconds, 1600000000); // after 2020: a real wall clock
  as_time_diff(b, a, &d);
  EXPECT_GE(as_time_seconds(d), 0.0);
}
