// Trace lines of the shared resource locker, read back from the real trace
// log (process-wide, hence an executable of its own).
#include <gtest/gtest.h>

#include "shared_locker.h"
#include "trace_log.h"

namespace {
const char kRefusal[] = "ASInternalException - CODE: 0 MESSAGE: Unable to lock resource read only because it is being deleted!";
const char kWarning[] = "WARNING: Destroying the resource locker without releasing all the Read Only Locks!";
} // namespace

TEST(SharedLockerTrace, OnlyTheExclusiveRefusalWritesAnExceptionLine) {
  TraceLog trace("debug");
  ASSERT_TRUE(trace.started());
  shared_locker l;
  l.mark_for_deletion();
  try {
    l.lock_read();
    ADD_FAILURE() << "read-only lock granted after mark for deletion";
  } catch (const ASInternalException& e) { // same text and code, but no line
    EXPECT_EQ(kRefusal, "ASInternalException - CODE: " + std::to_string(e.GetCode()) + " MESSAGE: " + e.what());
  }
  EXPECT_EQ("", trace.Since());
  EXPECT_THROW(l.lock_exclusive(), ASInternalException);
  EXPECT_EQ(1, trace.Count(kRefusal));
  EXPECT_NE(std::string::npos, trace.Since().find("[ANTISPAM EXCEPTION]"));
  EXPECT_NE(std::string::npos, trace.Since().find("shared_locker.h:"));
}

TEST(SharedLockerTrace, NullLockerWritesTheExceptionLine) {
  TraceLog trace("critical");
  ASSERT_TRUE(trace.started());
  // AS_THROW writes the exception's own text (checked in exceptions_test).
  EXPECT_THROW(auto_locker(nullptr, auto_locker::EXCLUSIVE), ASInternalException);
  EXPECT_EQ(1, trace.Count("ASInternalException - CODE: 0 MESSAGE: Null locker data in auto_locker!"));
}

TEST(SharedLockerTrace, DestroyingWithAReaderInsideWarnsOnce) {
  TraceLog trace("critical");
  ASSERT_TRUE(trace.started());
  { shared_locker clean; clean.lock_read(); clean.unlock_read(); }
  EXPECT_EQ(0, trace.Count(kWarning));
  {
    shared_locker l;
    l.lock_read();
    l.lock_read();
  }
  EXPECT_EQ(1, trace.Count(kWarning));
}
