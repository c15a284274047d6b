// The core through the exported C functions, over the scriptable test
// plug-ins loaded with the real loader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>

#include "ascore/ascore.h"
#include "asitem.h"
#include "astest_control.h"
#include "astest_paths.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;

const char kFull[] = ASTEST_DIR("full");

std::string ErrMsg() {
  const char* text = as_core_errmsg();
  return text ? text : "";
}

// "<code> <message>" left by a call that answered rc, or answered pointer p.
std::string Err(int rc) { return std::to_string(rc) + " " + ErrMsg(); }
std::string Err(const void* p) { return p ? "not null" : Err(as_core_err()); }

as_item_descriptor_t Desc(uint32_t type) { return as_item_descriptor_t{11, 22, type, 3}; }

struct Box {
  as_blackbox_t* h = as_blackbox_create();
  ~Box() { as_blackbox_release(h); }
};

// The ID the modules are told for a session (the streamer sees it).
uint64_t IdOf(as_session_t* s) {
  as_item_descriptor_t d = Desc(1);
  as_item_t* item = as_core_item_create(s, &d);
  EXPECT_NE(nullptr, item);
  uint64_t id = astest::Calls(ASTEST_OP_CREATE_STREAM).back().session;
  as_core_item_release(s, item);
  return id;
}

// Smallest sequence number among calls of the given operations, 0 if none.
uint64_t FirstSeq(std::initializer_list<int> ops) {
  uint64_t first = 0;
  for (const astest_call& c : astest::Calls())
    for (int op : ops)
      if (c.op == op && (first == 0 || c.seq < first)) first = c.seq;
  return first;
}

// Sequence number of the dispatcher step that follows the gate of HoldItem:
// the held item's analysis is over once it is logged.
uint64_t PastTheGate() {
  uint64_t seq = 0;
  for (const astest_call& c : astest::Calls(ASTEST_OP_STEP))
    if (c.arg == ASTEST_STEP_SLEEP) seq = c.seq;
  return seq;
}

// Each case starts the core and opens session s; TearDown gives back
// whatever is still open.
class CoreTest : public testing::Test {
protected:
  void SetUp() override { astest_reset(); }
  void TearDown() override {
    if (s) as_core_session_release(s);
    as_core_instance_release();
    astest_reset();
  }
  void Open(const char* dir = kFull) {
    ASSERT_EQ(0, as_core_instance_init(dir, AS_PRODUCT_ALL));
    ASSERT_EQ(0, as_core_settings_apply(nullptr));
    ASSERT_NE(nullptr, s = as_core_session_create());
  }
  as_item_t* Item() {
    as_item_descriptor_t d = Desc(1);
    return as_core_item_create(s, &d);
  }
  // An item of session s held inside its dispatcher until the gate opens.
  static std::thread HoldItem(as_session_t* s, as_item_t* item, as_blackbox_t* bb) {
    astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_WAIT_GATE, "hold", 0);
    astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_SLEEP, "", 0);
    std::thread worker([=] { EXPECT_EQ(0, as_core_item_process(s, item, 1, bb)); });
    EXPECT_EQ(0, astest_gate_wait_arrivals("hold", 1, 5000));
    return worker;
  }
  as_session_t* s = nullptr;
  Box bb;
};

class CoreStartup : public CoreTest {};
class CoreSessions : public CoreTest {};
class CoreItems : public CoreTest {};
class CoreSettings : public CoreTest {};

} // namespace

TEST_F(CoreStartup, EveryInstanceFunctionNeedsTheInstance) {
  as_item_descriptor_t d = Desc(1);
  EXPECT_EQ("-402 Core isn't initialized", Err(as_core_session_create()));
  EXPECT_EQ("-402 Core isn't initialized", Err(as_core_item_create(nullptr, &d)));
  // The copies check their arguments first (-101), then the instance.
  std::vector<int> codes = {as_core_session_release(nullptr), as_core_item_process(nullptr, nullptr, 0, nullptr),
                            as_core_item_process_alt(reinterpret_cast<as_session_t*>(&d), &d, 0, bb.h),
                            as_core_command_process(nullptr, 1, 1, nullptr), as_core_setting_set(nullptr, nullptr, nullptr),
                            as_core_settings_apply(nullptr), as_core_global_settings_copy(nullptr),
                            as_core_settings_copy(nullptr, nullptr),
                            as_core_global_settings_copy(reinterpret_cast<as_core_t*>(&d))};
  EXPECT_EQ((std::vector<int>{-402, -402, -402, -402, -402, -402, -101, -101, -402}), codes);
  EXPECT_EQ(nullptr, as_core_setting_get(nullptr, "/k"));
  EXPECT_EQ(nullptr, as_core_instance_get());
  EXPECT_EQ("call as_core_instance_init() first", ErrMsg());
  EXPECT_EQ("-402 No Core Instance to release", Err(as_core_instance_release()));
  EXPECT_EQ("-101 Invalid path to modules, the Core cannot be initialized", Err(as_core_instance_init(nullptr, 31)));
}

TEST_F(CoreStartup, FailedStartLeavesNothingLoaded) {
  for (const char* dir : {ASTEST_DIR("empty"), ASTEST_DIR("bad_kind0"), ASTEST_DIR("bad_kind6")}) {
    SCOPED_TRACE(dir);
    astest_reset();
    EXPECT_EQ("-104 The Core failed to initialize.", Err(as_core_instance_init(dir, AS_PRODUCT_ALL)));
    EXPECT_EQ(nullptr, as_core_instance_get());
    EXPECT_EQ(0, astest_alive("GoodFilter"));
    EXPECT_EQ(astest_count(nullptr, ASTEST_OP_FACTORY_GET), astest_count(nullptr, ASTEST_OP_FACTORY_RELEASE));
  }
  Open();
}

TEST_F(CoreStartup, RepeatedCyclesInOneProcess) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    Open();
    for (const char* key : {"/eml/global/SharedLibsPathNew", "/send/global/SharedLibsPathNew",
                            "/http/general/SharedLibsPathNew"})
      EXPECT_STREQ(kFull, as_core_setting_get(nullptr, key)) << key;
    EXPECT_EQ("-401 Core already instantiated", Err(as_core_instance_init(kFull, AS_PRODUCT_ALL)));
    as_item_descriptor_t d = Desc(1);
    EXPECT_EQ(0, as_core_item_process_alt(s, &d, 1, bb.h));
    EXPECT_EQ(0, as_core_session_release(s));
    s = nullptr;
    EXPECT_EQ(0, as_core_instance_release());
    EXPECT_EQ(0, astest_alive("TestFilterA"));
    EXPECT_EQ(nullptr, as_core_setting_get(nullptr, "/eml/global/SharedLibsPathNew"));
  }
}

TEST_F(CoreStartup, TwoBreakersTheLaterIsUsed) {
  Open(ASTEST_DIR("two_breakers"));
  astest_script_add("TBDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_FILTER, "TBFilter", 0);
  astest_set_result("TBFilter", ASTEST_OP_GET_BREAKER_INDEX, ASTEST_ANY, 2);
  ASSERT_EQ(0, as_core_settings_apply(s));
  as_item_descriptor_t d = Desc(1);
  EXPECT_EQ(0, as_core_item_process_alt(s, &d, 1, bb.h));
  EXPECT_EQ(1u, astest_count("BreakerSecond", ASTEST_OP_BREAK_ITEM));
  EXPECT_EQ(0u, astest_count("BreakerFirst", ASTEST_OP_BREAK_ITEM));
}

TEST_F(CoreSessions, IdsRunFrom1To999LowestFreeFirst) {
  Open();
  std::vector<as_session_t*> open{s};
  s = nullptr;
  for (int i = 1; i < 999; ++i) {
    open.push_back(as_core_session_create());
    ASSERT_NE(nullptr, open.back()) << i;
  }
  EXPECT_EQ("-104 failed to create session with message: ASException - MESSAGE: Internal error at alocating new "
            "session ID", Err(as_core_session_create()));
  EXPECT_EQ(1u, IdOf(open[0]));
  EXPECT_EQ(999u, IdOf(open[998]));
  ASSERT_EQ(0, as_core_session_release(open[4]));
  ASSERT_EQ(0, as_core_session_release(open[1]));
  open[1] = as_core_session_create();
  open[4] = as_core_session_create();
  EXPECT_EQ(2u, IdOf(open[1]));
  EXPECT_EQ(5u, IdOf(open[4]));
  for (as_session_t* o : open) ASSERT_EQ(0, as_core_session_release(o));
  // arg is -1 when a module was handed data that was not its own.
  for (const astest_call& c : astest::Calls(ASTEST_OP_RELEASE_SESSION_DATA)) EXPECT_NE(-1, c.arg) << c.module;
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_SESSION_DATA), astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  EXPECT_EQ("-101 invalid handles", Err(as_core_session_release(nullptr)));
}

TEST_F(CoreSessions, RefusedSessionDataDoesNotStopTheSession) {
  Open();
  // The breaker is the last module: nobody after it resets the code.
  astest_set_null("TestBreaker", ASTEST_OP_CREATE_SESSION_DATA, ASTEST_ANY);
  as_session_t* refused = as_core_session_create();
  ASSERT_NE(nullptr, refused);
  EXPECT_EQ("-102 Memory error while trying to allocate a new data structure", Err(as_core_err()));
  EXPECT_EQ("-104 Invalid session ID: 2", Err(as_core_session_release(refused)));
  EXPECT_EQ(0u, astest_count("TestBreaker", ASTEST_OP_RELEASE_SESSION_DATA));
  EXPECT_EQ(7u, astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  // A refusal by the first module is overwritten by the success of the rest.
  astest_reset();
  astest_set_null("TestStreamer", ASTEST_OP_CREATE_SESSION_DATA, ASTEST_ANY);
  ASSERT_NE(nullptr, refused = as_core_session_create());
  EXPECT_EQ(0, as_core_err());
  EXPECT_EQ(0, as_core_session_release(refused));
}

TEST_F(CoreSessions, ReleaseWaitsForAnItemReleaseOnAnotherThread) {
  Open();
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_PERFORMER, "TestPerformer", 0);
  astest_set_result("TestPerformer", ASTEST_OP_GET_BREAKER_INDEX, ASTEST_ANY, 1);
  astest_set_sleep("TestBreaker", ASTEST_OP_RELEASE_LEVEL, ASTEST_ANY, 300);
  as_item_t* item = Item();
  ASSERT_EQ(0, as_core_item_process(s, item, 1, bb.h));
  std::thread releaser([&] { EXPECT_EQ(0, as_core_item_release(s, item)); });
  while (astest_count("TestBreaker", ASTEST_OP_RELEASE_LEVEL) == 0) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(0, as_core_session_release(s));
  releaser.join();
  s = nullptr;
  // The stream goes after the slow level release, at the end of the item's
  // release: only then may the modules give their session data back.
  EXPECT_LT(FirstSeq({ASTEST_OP_STREAM_DESTROYED}), FirstSeq({ASTEST_OP_RELEASE_SESSION_DATA}));
}

TEST_F(CoreSessions, ReleaseWaitsForItsItemInProgress) {
  Open();
  as_session_t* other = as_core_session_create();
  as_item_t* item = Item();
  std::thread worker = HoldItem(s, item, bb.h);
  std::atomic<int> released{1};
  std::thread closer([&] { released = as_core_session_release(s); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(0u, astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  astest_gate_open("hold");
  worker.join();
  closer.join();
  s = nullptr;
  EXPECT_EQ(0, released.load());
  EXPECT_LT(PastTheGate(), FirstSeq({ASTEST_OP_RELEASE_SESSION_DATA}));
  // The item outlived its session; an item is not tied to the session it
  // was made in, so another session can release it.
  EXPECT_EQ(0, as_core_item_release(other, item));
  EXPECT_EQ(0, as_core_session_release(other));
}

// Late callers: another thread still calls on a session whose release is held
// inside a module's ReleaseSessionData, after the session's locker has been
// marked. Each call must come back at once (a call that queues behind the
// release would then lock inside the freed record) with its own refusal.
TEST_F(CoreSessions, LateCallsOnASessionBeingReleasedFailAtOnce) {
  TempDir dir("ascore-late");
  setenv("AS_TRACER_LEVEL", "debug", 1);
  setenv("AS_TRACER_PATH", dir.path.c_str(), 1);
  Open();
  unsetenv("AS_TRACER_LEVEL");
  unsetenv("AS_TRACER_PATH");
  as_session_t* other = as_core_session_create();
  const uint64_t id = IdOf(s);
  // Made before the release, so their handles are still valid.
  as_item_t* processed = Item();
  as_item_t* released = Item();
  ASSERT_TRUE(processed && released);
  const size_t streams_gone = astest_count("TestStreamer", ASTEST_OP_STREAM_DESTROYED);
  astest_set_gate("TestFilterB", ASTEST_OP_RELEASE_SESSION_DATA, ASTEST_ANY, "release");
  auto closing = std::async(std::launch::async, [this] { return as_core_session_release(s); });
  ASSERT_EQ(0, astest_gate_wait_arrivals("release", 1, 5000));

  const std::string refused = "Unable to lock resource read only because it is being deleted!";
  const struct {
    const char* call;
    std::function<std::string()> run;
    std::string left;
  } cases[] = {
      {"item create", [&] { return Err(Item()); }, "-104 failed to create item handle with message: " + refused},
      {"item process", [&] { return Err(as_core_item_process(s, processed, 1, bb.h)); },
       "-104 Failed to process item with message: " + refused},
      {"item release", [&] { return Err(as_core_item_release(s, released)); }, "-104 " + refused},
      {"command", [&] { return Err(as_core_command_process(s, 1, 2, bb.h)); },
       "-104 failed to process command with message: " + refused},
      {"settings apply", [&] { return Err(as_core_settings_apply(s)); },
       "-104 failed to apply settings with message: " + refused},
      {"setting set", [&] { return Err(as_core_setting_set(s, "/late/key", "1")); },
       "-104 failed to modify setting with message: " + refused},
      {"setting get", [&] { return Err(as_core_setting_get(s, "/late/key")); },
       "-104 Failed to process item with message: " + refused},
      {"second release", [&] { return Err(as_core_session_release(s)); },
       "-104 Could not lock session with ID = " + std::to_string(id) + " for deletion - exiting"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    auto late = std::async(std::launch::async, c.run);
    if (late.wait_for(5s) != std::future_status::ready) {
      ADD_FAILURE() << "blocked while the session was being released";
      astest_gate_open("release");
      break;
    }
    EXPECT_EQ(c.left, late.get());
  }
  EXPECT_EQ(0u, astest_count("TestDispatcher", ASTEST_OP_DISPATCH_COMMAND));
  EXPECT_EQ(0u, astest_count("TestFilterA", ASTEST_OP_APPLY_SESSION));
  // The refused release still disposed of its item.
  EXPECT_EQ(streams_gone + 1, astest_count("TestStreamer", ASTEST_OP_STREAM_DESTROYED));

  astest_gate_open("release");
  ASSERT_EQ(std::future_status::ready, closing.wait_for(5s));
  EXPECT_EQ(0, closing.get());
  s = nullptr;
  EXPECT_EQ(0, as_core_item_release(other, processed));
  EXPECT_EQ(0, as_core_session_release(other));
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_SESSION_DATA), astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));

  // Read-only refusals write no line of their own; exclusive ones (command,
  // settings apply, second release) write the exception line.
  std::stringstream log;
  log << std::ifstream(dir / "as2_debug.log").rdbuf();
  auto count = [&](const std::string& text) {
    int n = 0;
    for (size_t at = log.str().find(text); at != std::string::npos; at = log.str().find(text, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(3, count("ASInternalException - CODE: 0 MESSAGE: " + refused + "\n"));
  EXPECT_EQ(1, count("AS Exception in Core::ProcessItemHandle():\n" + refused + "\n"));
  EXPECT_EQ(1, count("Exception while releasing the item: " + refused + "\n"));
  EXPECT_EQ(3 + 1 + 1, count(refused));
}

// A session is made and another one released while an item of a third is
// held inside a filter: neither waits for the item.
TEST_F(CoreSessions, CreationAndReleaseDoNotWaitForItemsInProgress) {
  Open();
  as_session_t* gone = as_core_session_create();
  ASSERT_EQ(0, as_core_settings_apply(s));
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_FILTER, "TestFilterA", 0);
  astest_set_gate("TestFilterA", ASTEST_OP_FILTER_ITEM, ASTEST_ANY, "hold");
  as_item_t* item = Item();
  auto held = std::async(std::launch::async, [&] { return as_core_item_process(s, item, 1, bb.h); });
  ASSERT_EQ(0, astest_gate_wait_arrivals("hold", 1, 5000));
  auto churn = std::async(std::launch::async, [&] {
    as_session_t* fresh = as_core_session_create();
    int rc = as_core_session_release(gone);
    return std::make_pair(fresh, rc);
  });
  EXPECT_EQ(std::future_status::ready, churn.wait_for(5s)) << "waited for the held item";
  astest_gate_open("hold");
  EXPECT_EQ(0, held.get());
  std::pair<as_session_t*, int> made = churn.get();
  EXPECT_NE(nullptr, made.first);
  EXPECT_EQ(0, made.second);
  EXPECT_EQ(0, as_core_item_release(s, item));
  EXPECT_EQ(0, as_core_session_release(made.first));
}

TEST_F(CoreItems, StreamerIsTheFirstOfTheType) {
  Open(ASTEST_DIR("two_per_type"));
  as_item_descriptor_t d = Desc(7);
  as_item_t* item = as_core_item_create(s, &d);
  ASSERT_NE(nullptr, item);
  EXPECT_EQ(0u, astest_count("StreamerSecond", ASTEST_OP_CREATE_STREAM));
  std::vector<astest_call> made = astest::Calls(ASTEST_OP_CREATE_STREAM, "StreamerFirst");
  ASSERT_EQ(1u, made.size());
  EXPECT_EQ((std::vector<int64_t>{1, 3, 11, 22}),
            (std::vector<int64_t>{(int64_t)made[0].session, made[0].arg, made[0].arg2, made[0].arg3}));
  EXPECT_EQ(0, as_core_item_release(s, item));
  EXPECT_EQ(1u, astest_count("StreamerFirst", ASTEST_OP_STREAM_DESTROYED));
}

TEST_F(CoreItems, NoStreamOrNoStreamerGivesNoItem) {
  Open();
  as_item_descriptor_t d = Desc(99);
  std::string left = Err(as_core_item_create(s, &d));
  EXPECT_TRUE(left.rfind("-104 ", 0) == 0 &&
              left.find("Cannot find suitable streamer for the given Entity Type (99)") != std::string::npos)
      << left;
  EXPECT_EQ("-101 invalid handles", Err(as_core_item_create(s, nullptr)));
  astest_set_null("TestStreamer", ASTEST_OP_CREATE_STREAM, ASTEST_ANY);
  EXPECT_EQ("0", Err(Item()).substr(0, 1)); // no stream, and no error either
  astest_set_error("TestStreamer", ASTEST_OP_CREATE_STREAM, ASTEST_ANY, -777, "no stream today");
  EXPECT_EQ("-777 no stream today", Err(Item()));
}

TEST_F(CoreItems, DispatcherExceptionsBecomeMinus104) {
  Open();
  as_item_t* item = Item();
  const struct {
    int kind;
    std::string message;
  } cases[] = {
      {ASTEST_THROW_STD, "Failed to process item with message: ASException - MESSAGE: std exception in "
                         "Core::ProcessItemHandle():\ndispatcher broke"},
      {ASTEST_THROW_AS, "Failed to process item with message: dispatcher broke"},
      {ASTEST_THROW_OTHER, "Failed to process item with message: ASInternalException - MESSAGE: Unexpected "
                           "exception in Core::ProcessItemHandle()"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    astest_set_throw("TestDispatcher", ASTEST_OP_DISPATCH_ITEM, ASTEST_ANY, c.kind, "dispatcher broke");
    EXPECT_EQ("-104 " + c.message, Err(as_core_item_process(s, item, 5, bb.h)));
    EXPECT_EQ(nullptr, reinterpret_cast<ASItem*>(item)->current_bb);
  }
  // Every lock was given back: the item processes again and a command, which
  // needs everything exclusively, runs.
  astest_reset();
  EXPECT_EQ(0, as_core_item_process(s, item, 5, bb.h));
  EXPECT_EQ(0, as_core_command_process(s, 1, 2, bb.h));
  EXPECT_EQ(0, as_core_item_release(s, item));
}

TEST_F(CoreItems, ProcessAltReleasesEvenWhenProcessingFails) {
  Open();
  as_item_descriptor_t d = Desc(1);
  astest_set_throw("TestDispatcher", ASTEST_OP_DISPATCH_ITEM, ASTEST_ANY, ASTEST_THROW_STD, "alt broke");
  EXPECT_EQ(-104, as_core_item_process_alt(s, &d, 1, bb.h));
  std::string left = Err(as_core_err());
  EXPECT_TRUE(left.rfind("-104 ", 0) == 0 && left.find("alt broke") != std::string::npos) << left;
  EXPECT_EQ(1u, astest_count("TestStreamer", ASTEST_OP_CREATE_STREAM));
  EXPECT_EQ(1u, astest_count("TestStreamer", ASTEST_OP_STREAM_DESTROYED));
  EXPECT_EQ(-101, as_core_item_process_alt(s, &d, 1, nullptr));
}

TEST_F(CoreItems, ItemsOfDifferentSessionsRunInParallel) {
  Open();
  const int kThreads = 4;
  std::vector<as_session_t*> sessions{s};
  for (int i = 1; i < kThreads; ++i) sessions.push_back(as_core_session_create());
  // Every item waits at the gate until all of them are inside at once.
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_WAIT_GATE, "all", 0);
  std::vector<std::thread> threads;
  for (as_session_t* own : sessions)
    threads.emplace_back([own] {
      Box box;
      as_item_descriptor_t d = Desc(1);
      as_item_t* item = as_core_item_create(own, &d);
      EXPECT_EQ(0, as_core_item_process(own, item, 1, box.h));
      EXPECT_EQ(0, as_core_item_release(own, item));
    });
  EXPECT_EQ(0, astest_gate_wait_arrivals("all", kThreads, 5000));
  astest_gate_open("all");
  for (std::thread& t : threads) t.join();
  for (int i = 1; i < kThreads; ++i) EXPECT_EQ(0, as_core_session_release(sessions[i]));
}

TEST_F(CoreItems, CommandsAndApplicationsWaitForItemsOfOtherSessions) {
  Open();
  as_session_t* busy = as_core_session_create();
  const struct {
    const char* name;
    std::function<int()> action;
    std::initializer_list<int> ops;
  } cases[] = {
      {"command", [&] { return as_core_command_process(s, 1, 9, bb.h); }, {ASTEST_OP_DISPATCH_COMMAND}},
      {"session settings", [&] { return as_core_settings_apply(s); },
       {ASTEST_OP_SESSION_REQUEST, ASTEST_OP_IS_ENABLED, ASTEST_OP_APPLY_SESSION}},
      {"global settings", [&] { return as_core_settings_apply(nullptr); },
       {ASTEST_OP_GLOBAL_REQUEST, ASTEST_OP_IS_ENABLED, ASTEST_OP_APPLY_SHARED}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    astest_reset();
    as_item_descriptor_t d = Desc(1);
    as_item_t* item = as_core_item_create(busy, &d);
    Box item_bb;
    std::thread worker = HoldItem(busy, item, item_bb.h);
    std::thread other([&] { EXPECT_EQ(0, c.action()); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(0u, FirstSeq(c.ops));
    astest_gate_open("hold");
    worker.join();
    other.join();
    EXPECT_LT(PastTheGate(), FirstSeq(c.ops));
    EXPECT_EQ(0, as_core_item_release(busy, item));
  }
  as_core_session_release(busy);
}

// How a session value falls back to the global one is the store's business
// (tests/config); here: the handles, and a reused ID starting clean.
TEST_F(CoreSettings, SessionValuesAndTheirHandles) {
  Open();
  EXPECT_EQ(0, as_core_setting_set(nullptr, "/t/mode", "global"));
  EXPECT_EQ(0, as_core_setting_set(s, "/t/mode", "mine"));
  EXPECT_STREQ("mine", as_core_setting_get(s, "/t/mode"));
  EXPECT_STREQ("global", as_core_setting_get(nullptr, "/t/mode"));
  EXPECT_EQ("-101 invalid handles", Err(as_core_setting_set(s, nullptr, "v")));
  EXPECT_EQ(-101, as_core_setting_set(s, "/t/mode", nullptr));
  ASSERT_EQ(0, as_core_session_release(s));
  s = as_core_session_create();
  EXPECT_STREQ("global", as_core_setting_get(s, "/t/mode"));
}

TEST_F(CoreSettings, CopiesWorkAcrossCoresOnly) {
  Open();
  as_session_t* b = as_core_session_create();
  EXPECT_EQ("-101 Same instance of ASCore", Err(as_core_settings_copy(s, b)));
  EXPECT_EQ("-101 invalid input for sessions", Err(as_core_settings_copy(s, nullptr)));
  EXPECT_EQ("-101 source = dest", Err(as_core_global_settings_copy(as_core_instance_get())));
  EXPECT_EQ("-101 Invalid instance of ASCore", Err(as_core_global_settings_copy(nullptr)));
  as_core_session_release(b);
}

// Which module a mask selects is tested on the store (tests/config); here:
// the plain application means every product, the other passes its mask on.
TEST_F(CoreSettings, ApplyIsApplyAltWithEveryProduct) {
  Open(ASTEST_DIR("prefixes"));
  auto asked = [] {
    std::set<std::string> names;
    for (const astest_call& c : astest::Calls(ASTEST_OP_GLOBAL_REQUEST)) names.insert(c.module);
    astest_reset();
    return names;
  };
  EXPECT_EQ(7u, asked().size());
  ASSERT_EQ(0, as_core_settings_apply_alt(nullptr, AS_PRODUCT_EML));
  EXPECT_EQ((std::set<std::string>{"EmlFilter", "PlainFilter"}), asked());
}
