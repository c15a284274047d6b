// The core through the exported C functions, over the scriptable test
// plug-ins loaded with the real loader.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ascore/ascore.h"
#include "asitem.h"
#include "astest_control.h"
#include "astest_paths.h"

namespace {

using namespace std::chrono_literals;

const char kFull[] = ASTEST_DIR("full");
const char* const kPathKeys[] = {"/eml/global/SharedLibsPathNew", "/send/global/SharedLibsPathNew",
                                 "/http/general/SharedLibsPathNew"};

std::string ErrMsg() {
  const char* text = as_core_errmsg();
  return text ? text : "";
}

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

std::set<std::string> ModulesCalled(int op) {
  std::set<std::string> names;
  for (const astest_call& c : astest::Calls(op)) names.insert(c.module);
  return names;
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

class CoreTest : public testing::Test {
protected:
  void SetUp() override { astest_reset(); }
  void TearDown() override {
    as_core_instance_release();
    astest_reset();
  }
  static void Start(const char* dir = kFull) {
    ASSERT_EQ(0, as_core_instance_init(dir, AS_PRODUCT_ALL));
    ASSERT_EQ(0, as_core_settings_apply(nullptr));
  }
  // An item of session s held inside its dispatcher until the gate opens.
  static std::thread HoldItem(as_session_t* s, as_item_t* item, as_blackbox_t* bb) {
    astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_WAIT_GATE, "hold", 0);
    astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_SLEEP, "", 0);
    std::thread worker([=] { EXPECT_EQ(0, as_core_item_process(s, item, 1, bb)); });
    EXPECT_EQ(0, astest_gate_wait_arrivals("hold", 1, 5000));
    return worker;
  }
};

class CoreStartup : public CoreTest {};
class CoreSessions : public CoreTest {};
class CoreItems : public CoreTest {};
class CoreSettings : public CoreTest {};

} // namespace

TEST_F(CoreStartup, EveryInstanceFunctionNeedsTheInstance) {
  Box bb;
  as_item_descriptor_t d = Desc(1);
  EXPECT_EQ(nullptr, as_core_session_create());
  EXPECT_EQ(-402, as_core_err());
  EXPECT_EQ("Core isn't initialized", ErrMsg());
  EXPECT_EQ(nullptr, as_core_item_create(nullptr, &d));
  EXPECT_EQ(-402, as_core_err());
  EXPECT_EQ(-402, as_core_session_release(nullptr));
  EXPECT_EQ(-402, as_core_item_process(nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(-402, as_core_item_process_alt(reinterpret_cast<as_session_t*>(&d), &d, 0, bb.h));
  EXPECT_EQ(-402, as_core_command_process(nullptr, 1, 1, nullptr));
  EXPECT_EQ(-402, as_core_setting_set(nullptr, nullptr, nullptr));
  EXPECT_EQ(nullptr, as_core_setting_get(nullptr, "/k"));
  EXPECT_EQ(-402, as_core_settings_apply(nullptr));
  // The copies check their arguments first.
  EXPECT_EQ(-101, as_core_global_settings_copy(nullptr));
  EXPECT_EQ(-101, as_core_settings_copy(nullptr, nullptr));
  EXPECT_EQ(-402, as_core_global_settings_copy(reinterpret_cast<as_core_t*>(&d)));
  EXPECT_EQ(nullptr, as_core_instance_get());
  EXPECT_EQ("call as_core_instance_init() first", ErrMsg());
  EXPECT_EQ(-402, as_core_instance_release());
  EXPECT_EQ("No Core Instance to release", ErrMsg());
  EXPECT_EQ(-101, as_core_instance_init(nullptr, 31));
  EXPECT_EQ("Invalid path to modules, the Core cannot be initialized", ErrMsg());
}

TEST_F(CoreStartup, FailedStartLeavesNothingLoaded) {
  for (const char* dir : {ASTEST_DIR("empty"), ASTEST_DIR("bad_kind0"), ASTEST_DIR("bad_kind6")}) {
    SCOPED_TRACE(dir);
    astest_reset();
    EXPECT_EQ(-104, as_core_instance_init(dir, AS_PRODUCT_ALL));
    EXPECT_EQ("The Core failed to initialize.", ErrMsg());
    EXPECT_EQ(nullptr, as_core_instance_get());
    EXPECT_EQ(0, astest_alive("GoodFilter"));
    EXPECT_EQ(astest_count(nullptr, ASTEST_OP_FACTORY_GET), astest_count(nullptr, ASTEST_OP_FACTORY_RELEASE));
  }
  Start();
}

TEST_F(CoreStartup, RepeatedCyclesInOneProcess) {
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE(cycle);
    Start();
    for (const char* key : kPathKeys) EXPECT_STREQ(kFull, as_core_setting_get(nullptr, key)) << key;
    EXPECT_EQ(-401, as_core_instance_init(kFull, AS_PRODUCT_ALL));
    EXPECT_EQ("Core already instantiated", ErrMsg());
    as_session_t* s = as_core_session_create();
    ASSERT_NE(nullptr, s);
    Box bb;
    as_item_descriptor_t d = Desc(1);
    EXPECT_EQ(0, as_core_item_process_alt(s, &d, 1, bb.h));
    EXPECT_EQ(0, as_core_session_release(s));
    EXPECT_EQ(0, as_core_instance_release());
    EXPECT_EQ(0, astest_alive("TestFilterA"));
    EXPECT_EQ(nullptr, as_core_setting_get(nullptr, kPathKeys[0]));
  }
}

TEST_F(CoreStartup, TwoBreakersTheLaterIsUsed) {
  Start(ASTEST_DIR("two_breakers"));
  astest_script_add("TBDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_FILTER, "TBFilter", 0);
  astest_set_result("TBFilter", ASTEST_OP_GET_BREAKER_INDEX, ASTEST_ANY, 2);
  as_session_t* s = as_core_session_create();
  ASSERT_EQ(0, as_core_settings_apply(s));
  Box bb;
  as_item_descriptor_t d = Desc(1);
  EXPECT_EQ(0, as_core_item_process_alt(s, &d, 1, bb.h));
  EXPECT_EQ(1u, astest_count("BreakerSecond", ASTEST_OP_BREAK_ITEM));
  EXPECT_EQ(0u, astest_count("BreakerFirst", ASTEST_OP_BREAK_ITEM));
  as_core_session_release(s);
}

TEST_F(CoreSessions, IdsRunFrom1To999LowestFreeFirst) {
  Start();
  std::vector<as_session_t*> open;
  for (int i = 0; i < 999; ++i) {
    open.push_back(as_core_session_create());
    ASSERT_NE(nullptr, open.back()) << i;
  }
  EXPECT_EQ(nullptr, as_core_session_create());
  EXPECT_EQ(-104, as_core_err());
  EXPECT_EQ("failed to create session with message: ASException - MESSAGE: Internal error at alocating new session ID",
            ErrMsg());
  EXPECT_EQ(1u, IdOf(open[0]));
  EXPECT_EQ(999u, IdOf(open[998]));
  ASSERT_EQ(0, as_core_session_release(open[4]));
  ASSERT_EQ(0, as_core_session_release(open[1]));
  open[1] = as_core_session_create();
  open[4] = as_core_session_create();
  EXPECT_EQ(2u, IdOf(open[1]));
  EXPECT_EQ(5u, IdOf(open[4]));
  for (as_session_t* s : open) ASSERT_EQ(0, as_core_session_release(s));
  // arg is -1 when a module was handed data that was not its own.
  for (const astest_call& c : astest::Calls(ASTEST_OP_RELEASE_SESSION_DATA)) EXPECT_NE(-1, c.arg) << c.module;
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE_SESSION_DATA), astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  EXPECT_EQ(-101, as_core_session_release(nullptr));
  EXPECT_EQ("invalid handles", ErrMsg());
}

TEST_F(CoreSessions, RefusedSessionDataDoesNotStopTheSession) {
  Start();
  // The breaker is the last module: nobody after it resets the code.
  astest_set_null("TestBreaker", ASTEST_OP_CREATE_SESSION_DATA, ASTEST_ANY);
  as_session_t* s = as_core_session_create();
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(-102, as_core_err());
  EXPECT_EQ("Memory error while trying to allocate a new data structure", ErrMsg());
  EXPECT_EQ(-104, as_core_session_release(s));
  EXPECT_EQ("Invalid session ID: 1", ErrMsg());
  EXPECT_EQ(0u, astest_count("TestBreaker", ASTEST_OP_RELEASE_SESSION_DATA));
  EXPECT_EQ(7u, astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));

  // A refusal by the first module is overwritten by the success of the rest.
  astest_reset();
  astest_set_null("TestStreamer", ASTEST_OP_CREATE_SESSION_DATA, ASTEST_ANY);
  s = as_core_session_create();
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(0, as_core_err());
  EXPECT_EQ(0, as_core_session_release(s));
}

TEST_F(CoreSessions, ReleaseWaitsForAnItemReleaseOnAnotherThread) {
  Start();
  as_session_t* s = as_core_session_create();
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_PERFORMER, "TestPerformer", 0);
  astest_set_result("TestPerformer", ASTEST_OP_GET_BREAKER_INDEX, ASTEST_ANY, 1);
  astest_set_sleep("TestBreaker", ASTEST_OP_RELEASE_LEVEL, ASTEST_ANY, 300);
  as_item_descriptor_t d = Desc(1);
  as_item_t* item = as_core_item_create(s, &d);
  Box bb;
  ASSERT_EQ(0, as_core_item_process(s, item, 1, bb.h));
  std::thread releaser([&] { EXPECT_EQ(0, as_core_item_release(s, item)); });
  while (astest_count("TestBreaker", ASTEST_OP_RELEASE_LEVEL) == 0) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(0, as_core_session_release(s));
  releaser.join();
  // The stream goes after the slow level release, at the end of the item's
  // release: only then may the modules give their session data back.
  EXPECT_LT(FirstSeq({ASTEST_OP_STREAM_DESTROYED}), FirstSeq({ASTEST_OP_RELEASE_SESSION_DATA}));
}

TEST_F(CoreSessions, ReleaseWaitsForItsItemInProgress) {
  Start();
  as_session_t* s = as_core_session_create();
  as_session_t* other = as_core_session_create();
  as_item_descriptor_t d = Desc(1);
  as_item_t* item = as_core_item_create(s, &d);
  Box bb;
  std::thread worker = HoldItem(s, item, bb.h);
  std::atomic<int> released{1};
  std::thread closer([&] { released = as_core_session_release(s); });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(0u, astest_count(nullptr, ASTEST_OP_RELEASE_SESSION_DATA));
  astest_gate_open("hold");
  worker.join();
  closer.join();
  EXPECT_EQ(0, released.load());
  EXPECT_LT(PastTheGate(), FirstSeq({ASTEST_OP_RELEASE_SESSION_DATA}));
  // The item outlived its session; an item is not tied to the session it
  // was made in, so another session can release it.
  EXPECT_EQ(0, as_core_item_release(other, item));
  EXPECT_EQ(0, as_core_session_release(other));
}

TEST_F(CoreItems, StreamerIsTheFirstOfTheType) {
  Start(ASTEST_DIR("two_per_type"));
  as_session_t* s = as_core_session_create();
  as_item_descriptor_t d = Desc(7);
  as_item_t* item = as_core_item_create(s, &d);
  ASSERT_NE(nullptr, item);
  ASSERT_EQ(0u, astest_count("StreamerSecond", ASTEST_OP_CREATE_STREAM));
  std::vector<astest_call> made = astest::Calls(ASTEST_OP_CREATE_STREAM, "StreamerFirst");
  ASSERT_EQ(1u, made.size());
  EXPECT_EQ(1u, made[0].session);
  EXPECT_EQ(3, made[0].arg);
  EXPECT_EQ(11, made[0].arg2);
  EXPECT_EQ(22, made[0].arg3);
  EXPECT_EQ(0, as_core_item_release(s, item));
  EXPECT_EQ(1u, astest_count("StreamerFirst", ASTEST_OP_STREAM_DESTROYED));
  as_core_session_release(s);
}

TEST_F(CoreItems, NoStreamOrNoStreamerGivesNoItem) {
  Start();
  as_session_t* s = as_core_session_create();
  as_item_descriptor_t d = Desc(99);
  EXPECT_EQ(nullptr, as_core_item_create(s, &d));
  EXPECT_EQ(-104, as_core_err());
  EXPECT_NE(std::string::npos, ErrMsg().find("Cannot find suitable streamer for the given Entity Type (99)"));
  EXPECT_EQ(nullptr, as_core_item_create(s, nullptr));
  EXPECT_EQ("invalid handles", ErrMsg());

  d = Desc(1);
  astest_set_null("TestStreamer", ASTEST_OP_CREATE_STREAM, ASTEST_ANY);
  EXPECT_EQ(nullptr, as_core_item_create(s, &d));
  EXPECT_EQ(0, as_core_err());
  astest_set_error("TestStreamer", ASTEST_OP_CREATE_STREAM, ASTEST_ANY, -777, "no stream today");
  EXPECT_EQ(nullptr, as_core_item_create(s, &d));
  EXPECT_EQ(-777, as_core_err());
  EXPECT_EQ("no stream today", ErrMsg());
  as_core_session_release(s);
}

TEST_F(CoreItems, DispatcherExceptionsBecomeMinus104) {
  Start();
  as_session_t* s = as_core_session_create();
  as_item_descriptor_t d = Desc(1);
  as_item_t* item = as_core_item_create(s, &d);
  Box bb;
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
    EXPECT_EQ(-104, as_core_item_process(s, item, 5, bb.h));
    EXPECT_EQ(c.message, ErrMsg());
    EXPECT_EQ(nullptr, reinterpret_cast<ASItem*>(item)->current_bb);
  }
  // Every lock was given back: the item processes again and a command, which
  // needs everything exclusively, runs.
  astest_reset();
  EXPECT_EQ(0, as_core_item_process(s, item, 5, bb.h));
  EXPECT_EQ(0, as_core_command_process(s, 1, 2, bb.h));
  EXPECT_EQ(0, as_core_item_release(s, item));
  as_core_session_release(s);
}

TEST_F(CoreItems, ProcessAltReleasesEvenWhenProcessingFails) {
  Start();
  as_session_t* s = as_core_session_create();
  Box bb;
  as_item_descriptor_t d = Desc(1);
  astest_set_throw("TestDispatcher", ASTEST_OP_DISPATCH_ITEM, ASTEST_ANY, ASTEST_THROW_STD, "alt broke");
  EXPECT_EQ(-104, as_core_item_process_alt(s, &d, 1, bb.h));
  EXPECT_EQ(-104, as_core_err());
  EXPECT_NE(std::string::npos, ErrMsg().find("alt broke"));
  EXPECT_EQ(1u, astest_count("TestStreamer", ASTEST_OP_CREATE_STREAM));
  EXPECT_EQ(1u, astest_count("TestStreamer", ASTEST_OP_STREAM_DESTROYED));
  EXPECT_EQ(-101, as_core_item_process_alt(s, &d, 1, nullptr));
  as_core_session_release(s);
}

TEST_F(CoreItems, ItemsOfDifferentSessionsRunInParallel) {
  Start();
  const int kThreads = 4;
  std::vector<as_session_t*> sessions;
  std::vector<as_item_t*> items;
  for (int i = 0; i < kThreads; ++i) {
    sessions.push_back(as_core_session_create());
    as_item_descriptor_t d = Desc(1);
    items.push_back(as_core_item_create(sessions.back(), &d));
  }
  // Every item waits at the gate until all of them are inside at once.
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_WAIT_GATE, "all", 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      Box bb;
      EXPECT_EQ(0, as_core_item_process(sessions[i], items[i], 1, bb.h));
    });
  EXPECT_EQ(0, astest_gate_wait_arrivals("all", kThreads, 5000));
  astest_gate_open("all");
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(0, as_core_item_release(sessions[i], items[i]));
    EXPECT_EQ(0, as_core_session_release(sessions[i]));
  }
}

TEST_F(CoreItems, CommandsAndApplicationsWaitForItemsOfOtherSessions) {
  Start();
  as_session_t* busy = as_core_session_create();
  as_session_t* s = as_core_session_create();
  Box bb;
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
  as_core_session_release(s);
  as_core_session_release(busy);
}

TEST_F(CoreSettings, SessionValuesFallBackToGlobal) {
  Start();
  as_session_t* s = as_core_session_create();
  EXPECT_EQ(0, as_core_setting_set(nullptr, "/t/mode", "global"));
  EXPECT_STREQ("global", as_core_setting_get(s, "/t/mode"));
  EXPECT_EQ(0, as_core_setting_set(s, "/t/mode", "mine"));
  EXPECT_STREQ("mine", as_core_setting_get(s, "/t/mode"));
  EXPECT_STREQ("global", as_core_setting_get(nullptr, "/t/mode"));
  EXPECT_EQ(nullptr, as_core_setting_get(s, "/t/unknown"));
  EXPECT_EQ(0, as_core_err());
  EXPECT_EQ(-101, as_core_setting_set(s, nullptr, "v"));
  EXPECT_EQ("invalid handles", ErrMsg());
  EXPECT_EQ(-101, as_core_setting_set(s, "/t/mode", nullptr));
  // The next session with the same ID starts without the old values.
  ASSERT_EQ(0, as_core_session_release(s));
  s = as_core_session_create();
  EXPECT_STREQ("global", as_core_setting_get(s, "/t/mode"));
  as_core_session_release(s);
}

TEST_F(CoreSettings, CopiesWorkAcrossCoresOnly) {
  Start();
  as_session_t* a = as_core_session_create();
  as_session_t* b = as_core_session_create();
  EXPECT_EQ(-101, as_core_settings_copy(a, b));
  EXPECT_EQ("Same instance of ASCore", ErrMsg());
  EXPECT_EQ(-101, as_core_settings_copy(a, nullptr));
  EXPECT_EQ("invalid input for sessions", ErrMsg());
  EXPECT_EQ(-101, as_core_global_settings_copy(as_core_instance_get()));
  EXPECT_EQ("source = dest", ErrMsg());
  EXPECT_EQ(-101, as_core_global_settings_copy(nullptr));
  EXPECT_EQ("Invalid instance of ASCore", ErrMsg());
  as_core_session_release(a);
  as_core_session_release(b);
}

TEST_F(CoreSettings, ApplyIsApplyAltWithEveryProduct) {
  // The modules a mask selects are the ones asked for their dependencies.
  Start(ASTEST_DIR("prefixes")); // applies with as_core_settings_apply(NULL)
  std::set<std::string> plain = ModulesCalled(ASTEST_OP_GLOBAL_REQUEST);
  EXPECT_EQ(7u, plain.size());
  astest_reset();
  ASSERT_EQ(0, as_core_settings_apply_alt(nullptr, AS_PRODUCT_ALL));
  EXPECT_EQ(plain, ModulesCalled(ASTEST_OP_GLOBAL_REQUEST));
  astest_reset();
  ASSERT_EQ(0, as_core_settings_apply_alt(nullptr, AS_PRODUCT_EML));
  EXPECT_EQ((std::set<std::string>{"EmlFilter", "PlainFilter"}), ModulesCalled(ASTEST_OP_GLOBAL_REQUEST));
}
