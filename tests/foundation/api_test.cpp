// Tests of the version and error read-back functions through the shared
// library, as a host calls them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "ascore/ascore.h"

namespace {

TEST(CoreApi, VersionFillsTheFourNumbers) {
  uint32_t v[4] = {0, 0, 0, 0};
  EXPECT_EQ(as_core_version_get(v), 0);
  EXPECT_EQ(v[0], 2u);
  EXPECT_EQ(v[1], 15u);
  EXPECT_EQ(v[2], 10u);
  EXPECT_EQ(v[3], 1294u);
  EXPECT_EQ(as_core_err(), 0);
  EXPECT_STREQ(as_core_errmsg(), strerror(0));
}

TEST(CoreApi, NullVersionPointerIsInvalidInput) {
  EXPECT_EQ(as_core_version_get(nullptr), -101);
  EXPECT_EQ(as_core_err(), -101);
  EXPECT_STREQ(as_core_errmsg(), "wrong pointer @input");
  // Reading back does not reset; the next real call does.
  EXPECT_EQ(as_core_err(), -101);
  uint32_t v[4];
  EXPECT_EQ(as_core_version_get(v), 0);
  EXPECT_EQ(as_core_err(), 0);
  EXPECT_STREQ(as_core_errmsg(), strerror(0));
}

TEST(CoreApi, ReadBackIsPerThread) {
  EXPECT_EQ(as_core_version_get(nullptr), -101);
  int other_code = 1;
  std::string other_text;
  std::thread t([&] {
    uint32_t v[4];
    as_core_version_get(v);
    other_code = as_core_err();
    other_text = as_core_errmsg();
  });
  t.join();
  EXPECT_EQ(other_code, 0);
  EXPECT_EQ(other_text, strerror(0));
  EXPECT_EQ(as_core_err(), -101);
  EXPECT_STREQ(as_core_errmsg(), "wrong pointer @input");
}

} // namespace
