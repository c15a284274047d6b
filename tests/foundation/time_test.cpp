// Tests of the time pair helpers.
#include <gtest/gtest.h>

#include "time_utils.h"

using ascommon::as_time_t;

namespace {

TEST(TimeUtils, DifferenceBorrowsAcrossTheSecond) {
  as_time_t d;
  EXPECT_EQ(ascommon::as_time_diff({5, 100}, {3, 200}, &d), 0);
  EXPECT_EQ(d.seconds, 1);
  EXPECT_EQ(d.microseconds, 999900);
  ascommon::as_time_diff({5, 300}, {3, 200}, &d);
  EXPECT_EQ(d.seconds, 2);
  EXPECT_EQ(d.microseconds, 100);
  ascommon::as_time_diff({7, 0}, {7, 0}, &d);
  EXPECT_EQ(d.seconds, 0);
  EXPECT_EQ(d.microseconds, 0);
}

TEST(TimeUtils, NowIsNormalisedAndMonotonicEnough) {
  as_time_t a, b, d;
  ASSERT_EQ(ascommon::as_time_now(&a), 0);
  ASSERT_EQ(ascommon::as_time_now(&b), 0);
  EXPECT_GE(a.microseconds, 0);
  EXPECT_LT(a.microseconds, 1000000);
  EXPECT_GT(a.seconds, 1600000000); // after 2020: a real wall clock
  ascommon::as_time_diff(b, a, &d);
  EXPECT_GE(as_time_seconds(d), 0.0);
}

} // namespace
