// A few seconds of mixed load through the exported interface: items processed
// in several sessions, commands, setting writes and reads, applications and
// session churn, all at once. Every processed item must come back with the
// results of its filter and performer, and every thread must finish (a
// deadlock runs into the ctest timeout).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"

namespace {

const uint32_t kFilterKey = 600, kPerformerKey = 601, kCommandKey = 602;

int Get(as_blackbox_t* bb, uint32_t key) {
  int value = -1;
  as_blackbox_get(bb, key, BB_TYPE_INT, &value, -1);
  return value;
}

enum Outcome { kDone, kFailed, kIncomplete };

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

  const int kWorkers = 3;
  std::vector<as_session_t*> sessions;
  for (int w = 0; w < kWorkers; ++w) {
    sessions.push_back(as_core_session_create());
    ASSERT_NE(nullptr, sessions.back());
    ASSERT_EQ(0, as_core_settings_apply(sessions.back()));
  }
  // One thread per activity, each step bounded by count as well as time so
  // that a slow (sanitised) build does the same kind of work, only less.
  // done[name] counts the steps that did their work completely.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  std::atomic<long> failed{0}, incomplete{0};
  std::vector<std::pair<const char*, std::atomic<long>>> done(7);
  std::vector<std::thread> threads;
  auto spawn = [&](const char* name, int cap, std::function<Outcome(int)> step) {
    auto* counter = &done[threads.size()];
    counter->first = name;
    threads.emplace_back([&, counter, cap, step] {
      for (int i = 0; i < cap && std::chrono::steady_clock::now() < deadline; ++i) {
        Outcome o = step(i);
        ++(o == kDone ? counter->second : o == kFailed ? failed : incomplete);
      }
    });
  };
  // Each item processed twice, so that the second pass meets the level the
  // first one left dirty.
  for (int w = 0; w < kWorkers; ++w)
    spawn("items", 400, [&, w](int) {
      as_item_descriptor_t d = {w, 0, 1, 0};
      as_item_t* item = as_core_item_create(sessions[w], &d);
      if (!item) return kFailed;
      Outcome o = kDone;
      for (uint32_t pass = 0; pass < 2; ++pass) {
        as_blackbox_t* bb = as_blackbox_create();
        if (as_core_item_process(sessions[w], item, pass, bb) != 0)
          o = kFailed;
        else if (o == kDone && (Get(bb, kFilterKey) != 1 || Get(bb, kPerformerKey) != 2))
          o = kIncomplete;
        as_blackbox_release(bb);
      }
      return as_core_item_release(sessions[w], item) == 0 ? o : kFailed;
    });
  spawn("commands", 200, [&](int i) {
    as_blackbox_t* bb = as_blackbox_create();
    bool ok = as_core_command_process(sessions[i % kWorkers], 1, (uint32_t)i, bb) == 0 && Get(bb, kCommandKey) == 3;
    as_blackbox_release(bb);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return ok ? kDone : kFailed;
  });
  spawn("writes", 2000, [&](int i) {
    std::string value = std::to_string(i);
    as_session_t* s = sessions[i % kWorkers];
    if (as_core_setting_set(nullptr, "/stress/global", value.c_str()) != 0 ||
        as_core_setting_set(s, "/stress/session", value.c_str()) != 0)
      return kFailed;
    const char* back = as_core_setting_get(s, "/stress/session");
    return back && value == back ? kDone : kFailed;
  });
  spawn("applications", 200, [&](int i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return as_core_settings_apply(i % 2 ? nullptr : sessions[(i / 2) % kWorkers]) == 0 ? kDone : kFailed;
  });
  spawn("churn", 300, [&](int) {
    as_session_t* s = as_core_session_create();
    if (!s) return kFailed;
    as_item_descriptor_t d = {0, 0, 1, 0};
    as_blackbox_t* bb = as_blackbox_create();
    Outcome o = kDone;
    if (as_core_settings_apply(s) != 0 || as_core_setting_set(s, "/stress/churn", "1") != 0 ||
        as_core_item_process_alt(s, &d, 0, bb) != 0)
      o = kFailed;
    else if (Get(bb, kFilterKey) != 1)
      o = kIncomplete;
    as_blackbox_release(bb);
    return as_core_session_release(s) == 0 ? o : kFailed;
  });
  for (std::thread& t : threads) t.join();
  for (as_session_t* s : sessions) EXPECT_EQ(0, as_core_session_release(s));
  EXPECT_EQ(0, as_core_instance_release());

  EXPECT_EQ(0, failed.load());
  EXPECT_EQ(0, incomplete.load());
  for (const auto& d : done) EXPECT_GT(d.second.load(), 0) << d.first;
  // Every module got back exactly the session data it handed out, and every
  // stream was destroyed.
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_SESSION_DATA),
            astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  for (const astest_call& c : astest::Calls(ASTEST_OP_RELEASE_SESSION_DATA)) ASSERT_NE(-1, c.arg) << c.module;
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_STREAM), astest_count(nullptr, ASTEST_OP_STREAM_DESTROYED));
}

// Sessions come and go beside item processing with the test modules quiet:
// the threads then share no lock of the test registry, only the core's, and
// ThreadSanitizer sees every access to the modules' session maps that the
// core leaves unordered. The item thread makes its own sessions while the
// others exist, so its entries sit behind churned ones in the maps' bucket
// chains, which the churn keeps rewriting.
TEST(CoreStress, SessionChurnBesideItemsLeavesTheSessionMapsRaceFree) {
  astest::Scope scope;
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_FILTER, "TestFilterA", 0);
  ASSERT_EQ(0, as_core_instance_init(ASTEST_DIR("full"), AS_PRODUCT_ALL));
  std::vector<as_session_t*> churned(32);
  for (as_session_t*& s : churned) ASSERT_NE(nullptr, s = as_core_session_create());
  // With sessions open the global application activates the filter, so that
  // each item looks its session up in the filter's map.
  ASSERT_EQ(0, as_core_settings_apply(nullptr));
  astest_set_quiet(1);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  std::atomic<long> failed{0}, items{0}, churns{0};
  std::thread worker([&] {
    as_item_descriptor_t d = {0, 0, 1, 0};
    as_blackbox_t* bb = as_blackbox_create();
    for (int i = 0; i < 200 && std::chrono::steady_clock::now() < deadline; ++i) {
      as_session_t* s = as_core_session_create();
      for (int k = 0; s && k < 10; ++k) ++(as_core_item_process_alt(s, &d, 0, bb) == 0 ? items : failed);
      if (!s || as_core_session_release(s) != 0) ++failed;
    }
    as_blackbox_release(bb);
  });
  std::thread churn([&] {
    for (int i = 0; i < 2000 && std::chrono::steady_clock::now() < deadline; ++i) {
      as_session_t*& s = churned[i % churned.size()];
      int released = as_core_session_release(s);
      s = as_core_session_create();
      ++(released == 0 && s ? churns : failed);
    }
  });
  worker.join();
  churn.join();
  astest_set_quiet(0);
  for (as_session_t* s : churned) {
    if (!s) continue;
    EXPECT_EQ(0, as_core_session_release(s));
  }
  EXPECT_EQ(0, as_core_instance_release());
  EXPECT_EQ(0, failed.load());
  EXPECT_GT(items.load(), 0);
  EXPECT_GT(churns.load(), 0);
}
