// The error state: stored texts, the code-to-text table and the exact message
// limit. That each thread has its own is checked through the host interface
// in api_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "as_errno.h"
#include "hooks.h"

namespace {

std::string Message() {
  const char* m = _as_get_err()->GetMessage();
  return m ? m : "<null>";
}

TEST(ErrorState, SetMessageResetAndTheStoredTextBehindACode) {
  _as_set_err(-105, "first");
  EXPECT_EQ(_as_set_err_msg("%s-%d", "abc", 42), 6); // the length; the code stays
  EXPECT_EQ(_as_get_err()->GetCode(), -105);
  EXPECT_EQ(Message(), "abc-42");
  EXPECT_EQ(_as_set_err(0, nullptr), 0);
  EXPECT_EQ(Message(), std::strerror(0));
  _as_get_err()->SetCode(-104); // a cleared code keeps the stored text
  EXPECT_EQ(Message(), "abc-42");
  as_entry_reset();
  EXPECT_EQ(_as_get_err()->GetCode(), 0);
  EXPECT_EQ(Message(), std::strerror(0));
  _as_get_err()->SetCode(-7); // the reset stored its own text
  EXPECT_EQ(Message(), "There are no errors");

  _as_set_err(-301, "key 17 missing"); // a stored text wins only for its code
  EXPECT_STREQ(as_errno_instance()->TextForCode(-301), "key 17 missing");
  EXPECT_STREQ(as_errno_instance()->TextForCode(-102), "memory allocation");
  EXPECT_STREQ(as_errno_instance()->TextForCode(0), std::strerror(0));
}

TEST(ErrorState, CodeTableWhenNoMessageIsStored) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {-101, "invalid input"}, {-102, "memory allocation"}, {-103, "invalid pointer"}, {-104, "internal error"},
      {-105, "fatal error"}, {-106, "undefined error"}, {-201, "file error"}, {-202, "file read error"},
      {-203, "file write error"}, {-204, "file open error"}, {-301, "element not found in blackbox"},
      {-401, "core instanciated error"}, {-402, "core not instanciated error"},
      {(int)0x80000001u, "Unknown error"}, {(int)0x80000002u, "Broken pipe"},
      {(int)0x80000003u, "The specified entity is busy"}, {(int)0x80000004u, "Unknown error 80000004"},
      {-999, "Unknown error fffffc19"}, {7, "Unknown error 00000007"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    _as_get_err()->SetMessage(nullptr);
    _as_get_err()->SetCode(c.code);
    EXPECT_EQ(Message(), c.text);
  }
}

TEST(ErrorState, MessagesAreCutAtTheBlockSize) {
  const size_t limit = ASErrno::kMessageSize - 1;
  for (size_t len : {limit - 1, limit, limit + 1, (size_t)5000}) {
    SCOPED_TRACE(len);
    std::string text(len, 'm');
    text[0] = 'A';
    _as_set_err(-104, "%s", text.c_str());
    EXPECT_EQ(Message(), text.substr(0, limit));
    _as_get_err()->SetMessage(text.c_str());
    EXPECT_EQ(Message(), text.substr(0, limit));
  }
  _as_get_err()->SetMessage("short"); // no tail of the long text shines through
  EXPECT_EQ(Message(), "short");
}

} // namespace
