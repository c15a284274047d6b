// plugin_heap_test.cpp - a plug-in's own std::string under the real core.
//
// The test executable links libascore.so only, so the process-wide operator
// new is the C++ run-time's (under the sanitizers, theirs): the std::string
// members that the run-time instantiates allocate with it, the plug-in's
// inline code releases with whatever its operator delete is. If the two
// disagree, the sanitizer build reports an alloc-dealloc mismatch here.
#include <gtest/gtest.h>

#include <vector>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"

TEST(PluginHeap, StdStringGrownByTheRunTimeIsReleasedByThePlugin) {
  astest::Scope scope;
  ASSERT_EQ(0, as_core_instance_init(ASTEST_DIR("heap"), AS_PRODUCT_ALL)) << as_core_errmsg();
  EXPECT_EQ(0, as_core_settings_apply(nullptr)) << as_core_errmsg();
  EXPECT_EQ(0, as_core_settings_apply(nullptr)) << "a second application grows and frees another string";
  EXPECT_EQ(0, as_core_instance_release());
  std::vector<astest_call> calls = astest::Calls(ASTEST_OP_GLOBAL_REQUEST, "HeapFilter");
  ASSERT_EQ(2u, calls.size());
  for (const astest_call& c : calls) {
    EXPECT_NE(0u, c.end_seq);
    EXPECT_EQ(200 + 3000 + 1000 + 100, c.result) << "the text came out wrong";
  }
}
