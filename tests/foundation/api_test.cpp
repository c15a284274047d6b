// The error read-back through the shared library, as a host calls it. The
// version numbers and the null-pointer refusal themselves are checked from C
// by c_header_test.c and on every load by unload_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "ascore/ascore.h"

namespace {

std::string State() { return std::to_string(as_core_err()) + " " + as_core_errmsg(); }

TEST(CoreApi, ReadBackLastsUntilTheNextCallAndIsPerThread) {
  const std::string clean = "0 " + std::string(strerror(0)), refused = "-101 wrong pointer @input";
  uint32_t v[4];
  EXPECT_EQ(-101, as_core_version_get(nullptr));
  std::string other;
  std::thread([&] {
    as_core_version_get(v);
    other = State();
  }).join();
  EXPECT_EQ(clean, other);
  EXPECT_EQ(refused, State());
  EXPECT_EQ(refused, State()); // reading back does not reset
  EXPECT_EQ(0, as_core_version_get(v)); // the next real call does
  EXPECT_EQ(clean, State());
}

} // namespace
