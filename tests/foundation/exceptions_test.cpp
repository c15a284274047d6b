// The exception family: message limits, copies, catchability through every
// base, and the log-then-throw macro.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "exceptions.h"
#include "hooks.h"

namespace {

TEST(Exceptions, FormattingCodesNullFormatAndTheLimitThroughCopies) {
  ASException coded(-551, "could not open %s", "/x");
  EXPECT_EQ(coded.GetCode(), -551);
  EXPECT_STREQ(coded.what(), "could not open /x");
  const char* no_format = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-security"
  ASMemException none(no_format);
#pragma GCC diagnostic pop
  EXPECT_EQ(none.GetCode(), 0);
  EXPECT_STREQ(none.what(), "unknown exception");

  std::string text(600, 'a');
  for (size_t i = 0; i < text.size(); ++i) text[i] = (char)('a' + i % 26);
  const std::string exact = text.substr(0, 511);
  ASInternalException src("%s", text.c_str());
  EXPECT_EQ(src.what(), exact);
  src.SetFlag(true);
  ASInternalException copy(src);
  EXPECT_EQ(copy.what(), exact);
  EXPECT_EQ(copy.GetCode(), -3);
  EXPECT_TRUE(copy.GetFlag());
  ASException assigned("short");
  assigned = src;
  ASException& alias = assigned;
  assigned = alias; // self-assignment changes nothing
  EXPECT_EQ(assigned.what(), exact);
}

template <class E>
class ExceptionFamily : public ::testing::Test {};
using FamilyTypes = ::testing::Types<ASException, ASMemException, ASInternalException, ASBadPtrException,
                                     ASBadCastException, InternalLoaderException, CASConfigurerBadEx,
                                     CASConfigurerSpecialEx, InvalidIndexException, EmptyListException>;
TYPED_TEST_SUITE(ExceptionFamily, FamilyTypes);

TYPED_TEST(ExceptionFamily, CaughtThroughEveryBase) {
  const int code = TypeParam().GetCode();
  try {
    throw TypeParam();
  } catch (AException& e) {
    EXPECT_EQ(e.GetCode(), code); // both dispatched through the vtable
    EXPECT_STREQ(e.what(), "unknown exception");
  }
}

std::string g_trace;
int g_trace_level;
void CaptureTrace(int level, const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  g_trace_level = level;
  g_trace += line;
}

TEST(Exceptions, ThrowMacroLogsTheSameMessageFirst) {
  as_trace_fn saved = _as_trace;
  _as_trace = CaptureTrace;
  g_trace.clear();
  std::string what = "none";
  try {
    AS_THROW_AT(2, ASMemException, "ASMemException - MESSAGE: no room for %d items", 12);
  } catch (const ASException& e) {
    what = std::to_string(e.GetCode()) + " " + e.what();
  }
  _as_trace = saved;
  EXPECT_EQ(what, "-2 ASMemException - MESSAGE: no room for 12 items");
  EXPECT_EQ(g_trace_level, 2);
  EXPECT_EQ(g_trace.rfind("[ANTISPAM EXCEPTION] [", 0), 0u) << g_trace;
  EXPECT_NE(g_trace.find("exceptions_test.cpp"), std::string::npos) << g_trace;
  EXPECT_NE(g_trace.find("- ASMemException - MESSAGE: no room for 12 items\n"), std::string::npos) << g_trace;
}

} // namespace
