// astest_control_test.cpp - the registry the other tests rely on to tell
// them what the plug-ins did.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "astest_control.h"

TEST(ControlLog, ResultsLandOnTheirOwnEntryWhenCallsInterleave) {
  astest::Scope scope;
  // Returns take numbers from the counter calls take theirs from: an entry
  // found by position instead of by number would get the wrong result.
  uint64_t outer = astest_enter("M", "lib", ASTEST_OP_DISPATCH_ITEM, 1, 0, 0, 0, nullptr);
  uint64_t inner = astest_enter("F", "lib", ASTEST_OP_FILTER_ITEM, 1, 0, 0, 0, nullptr);
  astest_leave(inner, 11);
  astest_leave(astest_enter("P", "lib", ASTEST_OP_PERFORM_ITEM, 1, 0, 0, 0, nullptr), 33);
  astest_abandon(astest_enter("P", "lib", ASTEST_OP_PERFORM_ITEM, 1, 0, 0, 0, nullptr));
  astest_leave(outer, 22);
  std::vector<astest_call> log = astest::Calls();
  ASSERT_EQ(4u, log.size());
  EXPECT_EQ(22, log[0].result);
  EXPECT_EQ(11, log[1].result);
  EXPECT_EQ(33, log[2].result);
  EXPECT_GT(log[2].seq, log[1].end_seq);
  EXPECT_EQ(0u, log[3].end_seq) << "a call that threw has no end";
  EXPECT_EQ(0, log[3].result);
  EXPECT_LT(log[0].seq, log[1].seq);
  EXPECT_GT(log[0].end_seq, log[1].end_seq);
}

TEST(ControlBehaviour, ExactMatchWinsAndResetKeepsOnlyLiveModules) {
  astest::Scope scope;
  astest_set_result("M", ASTEST_OP_IS_ENABLED, ASTEST_ANY, 0);
  astest_set_result("M", ASTEST_OP_IS_ENABLED, 5, 1);
  astest_behaviour b{};
  ASSERT_EQ(1, astest_behaviour_find("M", ASTEST_OP_IS_ENABLED, 5, &b));
  EXPECT_EQ(1, b.result);
  ASSERT_EQ(1, astest_behaviour_find("M", ASTEST_OP_IS_ENABLED, 6, &b));
  EXPECT_EQ(0, b.result);
  EXPECT_EQ(0, astest_behaviour_find("Other", ASTEST_OP_IS_ENABLED, 5, &b));
  EXPECT_EQ(0, astest_behaviour_find("M", ASTEST_OP_APPLY_SHARED, 5, &b));

  astest_leave(astest_enter("Alive", "lib", ASTEST_OP_CREATE, 0, 0, 0, 0, nullptr), 0);
  astest_set_flag("F", ASTEST_FLAG_MARK_DIRTY, 1);
  astest_reset();
  EXPECT_EQ(0, astest_behaviour_find("M", ASTEST_OP_IS_ENABLED, 5, &b));
  EXPECT_EQ(0, astest_flag("F", ASTEST_FLAG_MARK_DIRTY));
  EXPECT_TRUE(astest::Calls().empty());
  EXPECT_EQ(1, astest_alive("Alive")) << "the module object still exists";
  astest_leave(astest_enter("Alive", "lib", ASTEST_OP_DESTROY, 0, 0, 0, 0, nullptr), 0);
  EXPECT_EQ(0, astest_alive("Alive"));
}

TEST(ControlConcurrency, GateHoldsCallersUntilOpened) {
  astest::Scope scope;
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) threads.emplace_back([] { EXPECT_EQ(0, astest_gate_wait("g", 10000)); });
  EXPECT_EQ(0, astest_gate_wait_arrivals("g", 3, 10000));
  astest_gate_open("g");
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(-1, astest_gate_wait("closed", 10)) << "a gate nobody opens times out";
}
