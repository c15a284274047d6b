// The UTF-8 <-> wide converters and the string conversions built on them:
// malformed input in strict and lenient mode, full outputs, the size query,
// and a round trip of every scalar value.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "convert.h"

using namespace ascommon;

namespace {

typedef std::vector<uint32_t> Units;
struct Decoded {
  int status;
  Units units;
};

Decoded Decode(const std::string& in, bool strict, size_t capacity = 64) {
  std::vector<wchar_t> out(capacity + 1, 0x7777);
  size_t n = capacity;
  Decoded d{utf8_to_wide(in.data(), in.size(), out.data(), &n, strict), Units(out.begin(), out.begin() + n)};
  EXPECT_EQ(out[capacity], 0x7777) << "wrote past the capacity";
  return d;
}

TEST(Utf8ToWide, WellAndMalformedInputStrictAndLenient) {
  struct Case {
    const char* name;
    std::string in;
    int strict_status;
    Units strict_units;
    int lenient_status;
    Units lenient_units;
  } cases[] = {
      {"well formed", "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 0, {0x41, 0xE9, 0x20AC, 0x1F600}, 0,
       {0x41, 0xE9, 0x20AC, 0x1F600}},
      {"overlong 2-byte NUL", "x\xC0\x80", -50, {'x'}, 0, {'x', 0}},
      {"overlong 3-byte", "\xE0\x80\xAF", -50, {}, 0, {0x2F}},
      {"overlong 4-byte", "\xF0\x80\x80\xAF", -50, {}, 0, {0x2F}},
      {"surrogate", "a\xED\xA0\x80", -50, {'a'}, 0, {'a', 0xFFFD}},
      {"above U+10FFFF", "\xF4\x90\x80\x80" "b", -50, {}, -50, {0xFFFD, 'b'}},
      {"5-byte form", "\xF8\x88\x80\x80\x80", -50, {}, -50, {0xFFFD}},
      {"stray trail byte", "\x80", -50, {}, 0, {0x80}},
      {"bad trail byte", "\xC3\x41", -50, {}, 0, {0x81}},
      {"truncated 3-byte", "\xE2\x82", -51, {}, -51, {}},
      {"truncated after text", "ok\xF0\x9F\x98", -51, {'o', 'k'}, -51, {'o', 'k'}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Decoded s = Decode(c.in, true);
    EXPECT_EQ(s.status, c.strict_status);
    EXPECT_EQ(s.units, c.strict_units);
    Decoded l = Decode(c.in, false);
    EXPECT_EQ(l.status, c.lenient_status);
    EXPECT_EQ(l.units, c.lenient_units);
  }
}

TEST(Utf8ToWide, FullOutputNullAndEmptyArguments) {
  Decoded d = Decode("ab\xC3\xA9" "c", true, 2);
  EXPECT_EQ(d.status, -51);
  EXPECT_EQ(d.units, (Units{'a', 'b'}));
  d = Decode("ab\xC3\xA9" "c", true, 3);
  EXPECT_EQ(d.status, -51);
  EXPECT_EQ(d.units, (Units{'a', 'b', 0xE9}));
  wchar_t out[4];
  size_t n = 4;
  EXPECT_EQ(utf8_to_wide(nullptr, 3, out, &n, true), -1);
  EXPECT_EQ(utf8_to_wide("abc", 3, nullptr, &n, true), -1);
  n = 4;
  EXPECT_EQ(utf8_to_wide("abc", 0, out, &n, true), 0);
  EXPECT_EQ(n, 0u);
}

TEST(WideToUtf8, EncodingSizeQueryAndFullOutput) {
  const wchar_t in[] = {0x41, 0x7FF, 0xFFFF, 0x10000};
  size_t need = 0;
  EXPECT_EQ(wide_to_utf8(in, 4, nullptr, &need), 0);
  EXPECT_EQ(need, 10u);
  char out[16];
  size_t n = sizeof out;
  EXPECT_EQ(wide_to_utf8(in, 4, out, &n), 0);
  EXPECT_EQ(std::string(out, n), "A\xDF\xBF\xEF\xBF\xBF\xF0\x90\x80\x80");

  n = 5; // room for 'A', U+07FF and two bytes of U+FFFF
  EXPECT_EQ(wide_to_utf8(in, 4, out, &n), -51);
  EXPECT_EQ(n, 3u);

  const wchar_t odd[] = {0xD800, (wchar_t)0x110000, 0x42};
  n = sizeof out;
  EXPECT_EQ(wide_to_utf8(odd, 3, out, &n), -50);
  EXPECT_EQ(std::string(out, n), "\xED\xA0\x80\xEF\xBF\xBD" "B");

  EXPECT_EQ(wide_to_utf8(nullptr, 1, out, &n), -1);
  n = 9;
  EXPECT_EQ(wide_to_utf8(in, 0, out, &n), 0);
  EXPECT_EQ(n, 0u);
}

// Every scalar value survives wide -> UTF-8 -> wide in both modes.
TEST(Utf8RoundTrip, EveryScalarValue) {
  std::vector<wchar_t> all;
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp)
    if (cp < 0xD800 || cp > 0xDFFF) all.push_back((wchar_t)cp);
  size_t need = 0;
  ASSERT_EQ(wide_to_utf8(all.data(), all.size(), nullptr, &need), 0);
  std::string utf8(need, '\0');
  size_t bytes = need;
  ASSERT_EQ(wide_to_utf8(all.data(), all.size(), &utf8[0], &bytes), 0);
  ASSERT_EQ(bytes, need);
  for (bool strict : {true, false}) {
    SCOPED_TRACE(strict);
    std::vector<wchar_t> back(all.size());
    size_t units = back.size();
    ASSERT_EQ(utf8_to_wide(utf8.data(), utf8.size(), back.data(), &units, strict), 0);
    ASSERT_EQ(units, all.size());
    EXPECT_TRUE(back == all);
  }
}

TEST(StringConversions, BothDirectionsKeepWhatPrecedesAFailure) {
  usstring w;
  EXPECT_EQ(sstring_to_usstring(sstring("A\xC3\xA9"), w, true), 0);
  EXPECT_EQ(w.length(), 2u);
  EXPECT_EQ(w.c_str()[1], (wchar_t)0xE9);
  // A failure keeps the units produced before it.
  EXPECT_EQ(utf8_to_usstring("ab\xC0\x80", 4, w, true), -50);
  EXPECT_STREQ(w.c_str(), L"ab");
  EXPECT_EQ(utf8_to_usstring("ab\xE2\x82", 4, w, false), -51);
  EXPECT_STREQ(w.c_str(), L"ab");
  EXPECT_EQ(utf8_to_usstring(nullptr, 0, w, true), -1);

  sstring s;
  const wchar_t text[] = {'a', 0xE9, 0x1F600, 0};
  EXPECT_EQ(wide_to_sstring(text, 3, s), 0);
  EXPECT_STREQ(s.c_str(), "a\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(s.length(), 7u);
  EXPECT_EQ(usstring_to_sstring(usstring(L"plain"), s), 0);
  EXPECT_STREQ(s.c_str(), "plain");
  const wchar_t bad[] = {'x', (wchar_t)0x7FFFFFFF, 0};
  EXPECT_EQ(wide_to_sstring(bad, 2, s), -50);
  EXPECT_STREQ(s.c_str(), "x\xEF\xBF\xBD");
  EXPECT_EQ(s.status(), 0); // the size query left enough room
  EXPECT_EQ(wide_to_sstring(nullptr, 2, s), -1);
}

} // namespace
