// The version and error read-back functions through the shared library, as a
// host calls them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "ascore/ascore.h"

namespace {

std::string State() { return std::to_string(as_core_err()) + " " + as_core_errmsg(); }
const std::string kClean = "0 " + std::string(strerror(0));

TEST(CoreApi, VersionAndTheNullPointerRefusal) {
  uint32_t v[4] = {0, 0, 0, 0};
  EXPECT_EQ(as_core_version_get(v), 0);
  EXPECT_EQ(std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
                std::to_string(v[3]),
            "2.15.10.1294");
  EXPECT_EQ(State(), kClean);
  EXPECT_EQ(as_core_version_get(nullptr), -101);
  EXPECT_EQ(State(), "-101 wrong pointer @input");
  EXPECT_EQ(State(), "-101 wrong pointer @input"); // reading back does not reset
  EXPECT_EQ(as_core_version_get(v), 0);              // the next real call does
  EXPECT_EQ(State(), kClean);
}

TEST(CoreApi, ReadBackIsPerThread) {
  EXPECT_EQ(as_core_version_get(nullptr), -101);
  std::string other;
  std::thread t([&] {
    uint32_t v[4];
    as_core_version_get(v);
    other = State();
  });
  t.join();
  EXPECT_EQ(other, kClean);
  EXPECT_EQ(State(), "-101 wrong pointer @input");
}

} // namespace
