// Trace lines of the dispatch manager, read back from the real trace log.
// Tracing is process-wide, so these cases live in their own executable.
#include <gtest/gtest.h>

#include "test_modules.h"
#include "trace_log.h"

using ascommon::sstring;

namespace {

struct DispMgrTrace : ::testing::Test {
  CallLog log;
  CDispManager dm;
  TestFilter filter{&log, "F", 2};
  TestPerformer performer{&log, "P", 3};
  TestBreaker breaker{&log};
  TestItem item;
  void SetUp() override {
    _as_set_err(0, nullptr);
    filter.Enable(5);
    dm.Filters().Add(&filter);
    dm.Performers().Add(&performer);
    dm.SetBreaker(&breaker);
  }
};

// The texts must all be in the log, in the given order.
void ExpectInOrder(const std::string& text, std::initializer_list<const char*> parts) {
  size_t at = 0;
  for (const char* p : parts) {
    at = text.find(p, at);
    ASSERT_NE(std::string::npos, at) << "missing or out of order: " << p << "\n" << text;
  }
}

} // namespace

TEST_F(DispMgrTrace, SwitchingLinesNameTheIndexes) {
  TraceLog trace("debug");
  item.Open(2);
  item.breaker_index = 2;
  item.dirty = 1;
  dm.PassToPerformer(5, sstring("P"), &item, 0);
  dm.PassToPerformer(5, sstring("P"), &item, 0);
  ExpectInOrder(trace.Since(), {"disp_mgr.cpp:", "Dispatcher wants performer [P]", "Changing breaker to [3]",
                                "Have committed on breaker 2",
                                "Have committed because we are switching breakers and the item was dirty",
                                "Now passing to performer [P]", "Same breaker needed, doing nothing..."});
}

TEST_F(DispMgrTrace, UnknownSessionIsAnAlertAndTheFilterIsDisabled) {
  TraceLog debug("debug");
  EXPECT_EQ(AS_DISP_FILTER_DISABLED, dm.PassToFilter(6, sstring("F"), &item, 0, nullptr));
  ExpectInOrder(debug.Since(), {"invalid session ID (6)", "Filter [F] is disabled, returning."});
  TraceLog alert("alert"); // level 2 keeps the alert and drops warnings and progress
  dm.PassToFilter(6, sstring("F"), &item, 0, nullptr);
  dm.PassToFilter(5, sstring("nope"), &item, 0, nullptr);
  EXPECT_EQ(1, alert.Count("invalid session ID (6)"));
  EXPECT_EQ(0, alert.Count("Filter [F] is disabled, returning."));
  EXPECT_EQ(0, alert.Count("WARNING: the required filter [nope] was not found"));
}

TEST_F(DispMgrTrace, NotFoundWarningsAndTheDispatcherExceptionLine) {
  TraceLog trace("warning");
  dm.PassToFilter(5, sstring("nope"), &item, 0, nullptr);
  dm.PassToPerformer(5, sstring("gone"), &item, 0);
  EXPECT_EQ(1, trace.Count("WARNING: the required filter [nope] was not found"));
  EXPECT_EQ(1, trace.Count("WARNING: the required performer [gone] was not found"));
  EXPECT_THROW(dm.PassCommandToDispatcher(5, 77, 0, nullptr), ASInternalException);
  ExpectInOrder(trace.Since(), {"[ANTISPAM EXCEPTION] [", "ASInternalException - MESSAGE: Cound not find a "
                                                          "suitable dispatcher for this entity type: 77"});
  EXPECT_EQ(1, trace.Count("ASInternalException - MESSAGE: Cound not find a suitable dispatcher for this entity type: 77"));
}
