// White-box tests of the dispatch manager with in-process modules.
#include <gtest/gtest.h>

#include "as_errno.h"
#include "exceptions.h"
#include "test_modules.h"

using ascommon::sstring;
using Calls = std::vector<std::string>;

namespace {

const uint64_t kSession = 5;

// A manager with one filter "F" (index 1), one performer "P" (index 3) and a
// breaker, all enabled on session 5.
struct DispMgr : ::testing::Test {
  CallLog log;
  CDispManager dm;
  TestFilter filter{&log, "F", 1};
  TestPerformer performer{&log, "P", 3};
  TestBreaker breaker{&log};
  TestItem item;

  void SetUp() override {
    _as_set_err(0, nullptr);
    filter.Enable(kSession);
    performer.Enable(kSession);
    breaker.Enable(kSession);
    dm.Filters().Add(&filter);
    dm.Performers().Add(&performer);
    dm.SetBreaker(&breaker);
  }
  int Perform() { return dm.PassToPerformer(kSession, sstring("P"), &item, 4); }
  int Filter(uint64_t session = kSession, ASFilterTiming* t = nullptr) {
    return dm.PassToFilter(session, sstring("F"), &item, 9, t);
  }
};

template <class F>
std::string ThrownText(F f) {
  try {
    f();
  } catch (const ASException& e) {
    return e.what();
  }
  return "<nothing thrown>";
}

} // namespace

TEST_F(DispMgr, SwitchCommitsDirtyIndexReleasesOthersThenBreaks) {
  item.Open(0);
  item.Open(2);
  item.breaker_index = 2;
  item.dirty = 1;
  EXPECT_EQ(40, Perform());
  EXPECT_EQ((Calls{"release 0", "commit 2", "break 3", "perform P"}), log.calls);
  EXPECT_EQ("index 3 dirty 0 open 00110", item.State()); // the committed index stays open
}

TEST_F(DispMgr, SwitchOfACleanItemKeepsOpenLevelsAndSameIndexCallsNothing) {
  item.Open(0);
  EXPECT_EQ(AS_DISP_FILTER_PASSED, Filter());
  EXPECT_EQ(AS_DISP_FILTER_PASSED, Filter());
  EXPECT_EQ((Calls{"break 1", "filter F/9", "filter F/9"}), log.calls);
  EXPECT_EQ("index 1 dirty 0 open 11000", item.State());
  // An index that is already open is taken without calling the breaker.
  log.calls.clear();
  performer.index = 0;
  Perform();
  EXPECT_EQ((Calls{"perform P"}), log.calls);
  EXPECT_EQ(0, item.breaker_index);
}

TEST_F(DispMgr, BreakerIndexIsTheLowByteAndOutOfRangeIsRefused) {
  filter.index = 0x7702;
  Filter();
  EXPECT_EQ(2, item.breaker_index);
  filter.index = 5;
  EXPECT_NE(std::string::npos, ThrownText([&] { Filter(); }).find("asked for breaker 5"));
  EXPECT_EQ(2, item.breaker_index);
}

TEST_F(DispMgr, BreakerFailures) {
  // An error code fails the call, but the item takes the index ...
  breaker.error_on = 1;
  EXPECT_EQ("ASException - MESSAGE: Error breaking the item", ThrownText([&] { Filter(); }));
  EXPECT_EQ(1, item.breaker_index);
  EXPECT_FALSE(item.Flag(BB_ID_BREAK_FAILED));
  EXPECT_EQ((Calls{"break 1"}), log.calls);
  // ... a throwing breaker fails the index until the item is released.
  breaker.throw_on = 3;
  EXPECT_THROW(Perform(), std::runtime_error);
  EXPECT_TRUE(item.Flag(BB_ID_BREAK_FAILED) && item.Flag(BB_ID_BREAK_FAILED2));
  EXPECT_EQ("index 1 dirty 0 open 01000", item.State());
  EXPECT_EQ(1, item.states[3].failed);
  log.calls.clear();
  EXPECT_EQ("ASException - MESSAGE: Error breaking the item", ThrownText([&] { Perform(); }));
  EXPECT_TRUE(log.calls.empty());
  EXPECT_EQ(AS_DISP_FILTER_PASSED, Filter()); // other indexes still work
}

TEST_F(DispMgr, ReleaseCommitsTheCurrentIndexOfADirtyItemAndReleasesEveryOpenOne) {
  for (int dirty : {0, 1}) {
    SCOPED_TRACE(dirty);
    TestItem held;
    log.calls.clear();
    held.Open(1);
    held.Open(4);
    held.breaker_index = 4;
    held.dirty = dirty;
    dm.ReleaseItem(kSession, &held);
    EXPECT_EQ((dirty ? Calls{"release 1", "commit 4", "release 4"} : Calls{"release 1", "release 4"}), log.calls);
    EXPECT_EQ("open 00000", held.State().substr(held.State().find("open")));
  }
}

TEST_F(DispMgr, WithoutBreakerMovesAreRefusedAndReleaseOnlyResets) {
  dm.SetBreaker(nullptr);
  filter.index = 0; // the item starts at index 0: nothing to break
  EXPECT_EQ(AS_DISP_FILTER_PASSED, Filter());
  item.dirty = 1;
  EXPECT_NE(std::string::npos, ThrownText([&] { Perform(); }).find("No breaker module"));
  EXPECT_EQ("index 0 dirty 1 open 00000", item.State());
  EXPECT_EQ(0, item.states[3].failed);
  EXPECT_FALSE(item.Flag(BB_ID_BREAK_FAILED));
  item.Open(2);
  dm.ReleaseItem(kSession, &item);
  EXPECT_EQ("index 0 dirty 0 open 00000", item.State());
  EXPECT_EQ((Calls{"filter F/9"}), log.calls);
}

TEST_F(DispMgr, OnlyUsableModulesOfTheExactNameAreCalled) {
  TestFilter deferred(&log, "D", 2), off(&log, "O", 2), second(&log, nullptr, 0, "Alias");
  deferred.SetState(AS_STATE_DEFERRED);
  deferred.Enable(kSession);
  off.Enable(kSession, false);
  second.Enable(kSession);
  for (TestFilter* f : {&deferred, &off, &second}) dm.Filters().Add(f);
  for (const char* name : {"D", "O"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(AS_DISP_FILTER_DISABLED, dm.PassToFilter(kSession, sstring(name), &item, 0, nullptr));
    EXPECT_EQ(AS_DISP_FILTER_DISABLED, dm.PassCommandToFilter(kSession, sstring(name), 1, nullptr));
    EXPECT_FALSE(dm.IsFilterEnabled(sstring(name), kSession));
  }
  EXPECT_EQ(AS_DISP_FILTER_DISABLED, Filter(6)); // session 6 was never created
  EXPECT_FALSE(dm.IsFilterEnabled(sstring("F"), 6));
  EXPECT_EQ(AS_DISP_FILTER_NOT_FOUND, dm.PassToFilter(kSession, sstring("f"), &item, 0, nullptr));
  EXPECT_EQ(AS_DISP_NOT_FOUND, dm.PassToPerformer(kSession, sstring("F"), &item, 0));
  EXPECT_EQ(AS_DISP_NOT_FOUND, dm.PassCommandToFilter(kSession, sstring("P"), 0, nullptr));
  EXPECT_FALSE(dm.IsFilterEnabled(sstring("nope"), kSession));
  EXPECT_TRUE(log.calls.empty());
  EXPECT_EQ(0, item.breaker_index);
  EXPECT_TRUE(dm.IsFilterEnabled(sstring("F"), kSession));
  EXPECT_EQ(1003, dm.PassCommandToFilter(kSession, sstring("F"), 3, nullptr));
  // A second name serves when the first is null.
  EXPECT_EQ(AS_DISP_FILTER_PASSED, dm.PassToFilter(kSession, sstring("Alias"), &item, 2, nullptr));
  EXPECT_EQ((Calls{"filter Alias/2"}), log.calls);
}

TEST_F(DispMgr, NullItemsAreRefused) {
  const std::string prefix = "ASException - MESSAGE: Invalid Item handle in DispMgr ";
  EXPECT_EQ(prefix + "Pass to filter", ThrownText([&] { dm.PassToFilter(kSession, sstring("F"), nullptr, 0, nullptr); }));
  EXPECT_EQ(prefix + "Pass to performer", ThrownText([&] { dm.PassToPerformer(kSession, sstring("P"), nullptr, 0); }));
  EXPECT_EQ(prefix + "Release Item", ThrownText([&] { dm.ReleaseItem(kSession, nullptr); }));
  EXPECT_THROW(dm.PassItemToDispatcher(kSession, nullptr, 0), ASBadPtrException);
}

TEST_F(DispMgr, TimingRecordsBreakAndFilterTimes) {
  CBlackBoxInt* current = CBlackBoxInt::Create();
  item.current_bb = current;
  breaker.work = std::chrono::milliseconds(3);
  filter.work = std::chrono::milliseconds(4);
  ASFilterTiming t{{-1, -1}, {-1, -1}};
  Filter(kSession, &t);
  double stored = -1;
  ASSERT_NE(nullptr, current->Get(BB_ID_BREAK_TIME, BB_TYPE_DOUBLE, BB_FLAGS_RAW, &stored, -1.0));
  auto stored_none = [&] { return !current->Get(BB_ID_BREAK_TIME, BB_TYPE_DOUBLE, BB_FLAGS_RAW, (double*)nullptr, 0.0); };
  EXPECT_DOUBLE_EQ(ascommon::as_time_seconds(t.break_time), stored);
  EXPECT_GE(stored, 0.003);
  EXPECT_GE(ascommon::as_time_seconds(t.filter_time), 0.004);

  // Same index: no break, so the break time is left alone and nothing stored.
  current->Remove(BB_ID_BREAK_TIME);
  t.break_time = {-1, -1};
  Filter(kSession, &t);
  EXPECT_EQ(-1, t.break_time.seconds);
  EXPECT_TRUE(stored_none());
  EXPECT_GE(ascommon::as_time_seconds(t.filter_time), 0.004);
  EXPECT_LT(ascommon::as_time_seconds(t.filter_time), 60.0); // measured from the filter's start, not from 0

  // No current black box: timing still measured, nothing stored anywhere.
  item.current_bb = nullptr;
  filter.index = 2;
  Filter(kSession, &t);
  EXPECT_GE(ascommon::as_time_seconds(t.break_time), 0.003);
  EXPECT_TRUE(stored_none());
  delete current;
}

TEST(DispMgrDispatch, FirstDispatcherOfTheTypeWins) {
  CallLog log;
  CDispManager dm;
  TestDispatcher other(&log, "other", 2), first(&log, "first", 1), second(&log, "second", 1);
  for (TestDispatcher* d : {&other, &first, &second}) dm.Dispatchers().Add(d);
  TestItem item(1);
  EXPECT_EQ(1, dm.PassItemToDispatcher(kSession, &item, 0));
  EXPECT_EQ(8, dm.PassCommandToDispatcher(kSession, 1, 8, nullptr));
  EXPECT_EQ((Calls{"dispatch first", "command first"}), log.calls);
  EXPECT_EQ(static_cast<CADispManager*>(&dm), first.manager);

  TestItem stray(9);
  EXPECT_EQ("ASInternalException - MESSAGE: Cound not find a suitable dispatcher for this entity type: 9",
            ThrownText([&] { dm.PassItemToDispatcher(kSession, &stray, 0); }));
  EXPECT_THROW(dm.PassCommandToDispatcher(kSession, 9, 0, nullptr), ASInternalException);
}

TEST(DispMgrRequest, FirstUsableModuleByKindOrderIsAsked) {
  CallLog log;
  CDispManager dm;
  TestStreamer streamer(&log, "X");
  TestPerformer performer(&log, "X", 0);
  TestBreaker breaker(&log);
  for (CAModule* m : std::initializer_list<CAModule*>{&streamer, &performer, &breaker})
    m->SessionMap().Add(kSession, ASSessionEntry{nullptr, true});
  streamer.request_result = 11;
  dm.Streamers().Add(&streamer);
  dm.Performers().Add(&performer);
  dm.SetBreaker(&breaker);
  CBlackBoxInt* bb = CBlackBoxInt::Create();
  EXPECT_EQ(11, dm.RequestModule(kSession, sstring("X"), bb)); // streamers come before performers
  EXPECT_EQ(7, dm.RequestModule(kSession, sstring("breaker"), bb));
  dm.RequestModule(6, sstring("X"), bb);       // unknown session
  dm.RequestModule(kSession, sstring("X"), nullptr);
  streamer.SetState(AS_STATE_DEFERRED);        // not usable: the performer is not asked either
  dm.RequestModule(kSession, sstring("X"), bb);
  EXPECT_EQ((Calls{"request X", "request breaker"}), log.calls);
  delete bb;
}
