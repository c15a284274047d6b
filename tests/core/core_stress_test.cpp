// A few seconds of mixed load through the exported interface: items processed
// in several sessions, commands, setting writes and reads, applications and
// session churn, all at once. Every processed item must come back with the
// results of its filter and performer, and every thread must finish (a
// deadlock runs into the ctest timeout).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"

namespace {

using Clock = std::chrono::steady_clock;
const uint32_t kFilterKey = 600, kPerformerKey = 601, kCommandKey = 602;

int Get(as_blackbox_t* bb, uint32_t key) {
  int value = -1;
  as_blackbox_get(bb, key, BB_TYPE_INT, &value, -1);
  return value;
}

struct Load {
  Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
  std::atomic<long> items{0}, incomplete{0}, failures{0}, commands{0}, writes{0}, applications{0}, churned{0};
  // Bounded by count as well as time, so that a slow (sanitised) build does
  // the same kind of work, only less of it.
  bool Running(int i, int cap) const { return i < cap && Clock::now() < deadline; }
};

} // namespace

TEST(CoreStress, MixedLoadFinishesWithCompleteResults) {
  astest::Scope scope;
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_FILTER, "TestFilterA", 0);
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_PERFORMER, "TestPerformer", 0);
  astest_set_result("TestPerformer", ASTEST_OP_GET_BREAKER_INDEX, ASTEST_ANY, 1);
  astest_set_flag("TestPerformer", ASTEST_FLAG_MARK_DIRTY, 1);
  astest_add_answer("TestFilterA", ASTEST_OP_FILTER_ITEM, kFilterKey, 1);
  astest_add_answer("TestPerformer", ASTEST_OP_PERFORM_ITEM, kPerformerKey, 2);
  astest_add_answer("TestDispatcher", ASTEST_OP_DISPATCH_COMMAND, kCommandKey, 3);
  ASSERT_EQ(0, as_core_instance_init(ASTEST_DIR("full"), AS_PRODUCT_ALL));
  ASSERT_EQ(0, as_core_settings_apply(nullptr));

  Load load;
  auto open_session = [&] {
    as_session_t* s = as_core_session_create();
    if (!s || as_core_settings_apply(s) != 0) ++load.failures;
    return s;
  };
  const int kWorkers = 3;
  std::vector<as_session_t*> sessions;
  for (int w = 0; w < kWorkers; ++w) sessions.push_back(open_session());
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w)
    threads.emplace_back([&, w] {
      as_item_descriptor_t d = {w, 0, 1, 0};
      for (int i = 0; load.Running(i, 400); ++i) {
        as_item_t* item = as_core_item_create(sessions[w], &d);
        if (!item) {
          ++load.failures;
          continue;
        }
        for (uint32_t pass = 0; pass < 2; ++pass) {
          as_blackbox_t* bb = as_blackbox_create();
          if (as_core_item_process(sessions[w], item, pass, bb) != 0)
            ++load.failures;
          else if (Get(bb, kFilterKey) != 1 || Get(bb, kPerformerKey) != 2)
            ++load.incomplete;
          ++load.items;
          as_blackbox_release(bb);
        }
        if (as_core_item_release(sessions[w], item) != 0) ++load.failures;
      }
    });
  threads.emplace_back([&] {
    as_session_t* s = open_session();
    for (int i = 0; load.Running(i, 200); ++i) {
      as_blackbox_t* bb = as_blackbox_create();
      if (as_core_command_process(s, 1, (uint32_t)i, bb) != 0 || Get(bb, kCommandKey) != 3)
        ++load.failures;
      else
        ++load.commands;
      as_blackbox_release(bb);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (as_core_session_release(s) != 0) ++load.failures;
  });
  threads.emplace_back([&] {
    for (int i = 0; load.Running(i, 2000); ++i) {
      std::string value = std::to_string(i);
      as_session_t* s = sessions[i % kWorkers];
      if (as_core_setting_set(nullptr, "/stress/global", value.c_str()) != 0 ||
          as_core_setting_set(s, "/stress/session", value.c_str()) != 0) {
        ++load.failures;
        continue;
      }
      const char* back = as_core_setting_get(s, "/stress/session");
      if (!back || value != back)
        ++load.failures;
      else
        ++load.writes;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; load.Running(i, 200); ++i) {
      as_session_t* target = (i % 2) ? nullptr : sessions[(i / 2) % kWorkers];
      if (as_core_settings_apply(target) != 0)
        ++load.failures;
      else
        ++load.applications;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  threads.emplace_back([&] {
    as_item_descriptor_t d = {0, 0, 1, 0};
    for (int i = 0; load.Running(i, 300); ++i) {
      as_session_t* s = open_session();
      if (!s) continue;
      as_blackbox_t* bb = as_blackbox_create();
      if (as_core_setting_set(s, "/stress/churn", "1") != 0 || as_core_item_process_alt(s, &d, 0, bb) != 0)
        ++load.failures;
      else if (Get(bb, kFilterKey) != 1)
        ++load.incomplete;
      as_blackbox_release(bb);
      if (as_core_session_release(s) != 0)
        ++load.failures;
      else
        ++load.churned;
    }
  });
  for (std::thread& t : threads) t.join();
  for (as_session_t* s : sessions) EXPECT_EQ(0, as_core_session_release(s));
  EXPECT_EQ(0, as_core_instance_release());

  EXPECT_EQ(0, load.failures.load());
  EXPECT_EQ(0, load.incomplete.load());
  EXPECT_GT(load.items.load(), 0);
  EXPECT_GT(load.commands.load(), 0);
  EXPECT_GT(load.writes.load(), 0);
  EXPECT_GT(load.applications.load(), 0);
  EXPECT_GT(load.churned.load(), 0);
  // Every module got back exactly the session data it handed out, and every
  // stream was destroyed.
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_SESSION_DATA),
            astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  for (const astest_call& c : astest::Calls(ASTEST_OP_RELEASE_SESSION_DATA)) ASSERT_NE(-1, c.arg) << c.module;
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_STREAM), astest_count(nullptr, ASTEST_OP_STREAM_DESTROYED));
}
