// bb_api_test.cpp - the exported black-box functions, through libascore.so.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "ascore/ascore.h"

// bb_c_host.c: 0 when every check passed, else the line of the first failure.
extern "C" int c_host_round_trip(void);

namespace {

struct Box {
  explicit Box(as_blackbox_t* b = as_blackbox_create()) : bb(b) {}
  ~Box() { as_blackbox_release(bb); }
  as_blackbox_t* bb;
};

std::string State() { return std::to_string(as_core_err()) + " " + (as_core_errmsg() ? as_core_errmsg() : "(null)"); }
const std::string kClean = "0 " + std::string(strerror(0));

int ReadInt(as_blackbox_t* bb, uint32_t key) {
  int v = 0;
  as_blackbox_get(bb, key, BB_TYPE_INT, &v, -1);
  return v;
}

const char* ReadText(as_blackbox_t* bb, uint32_t key, uint32_t type = BB_TYPE_STRING) {
  const char* s = "sentinel";
  void* r = as_blackbox_get(bb, key, type, &s);
  EXPECT_EQ(r, static_cast<const void*>(s)) << "result and out must agree";
  return s;
}

const wchar_t* ReadWide(as_blackbox_t* bb, uint32_t key) {
  const wchar_t* w = L"sentinel";
  as_blackbox_get(bb, key, BB_TYPE_WSTRING, &w);
  return w;
}

} // namespace

TEST(BlackboxCHost, EveryTypeCodeRoundTripsFromC) {
  int line = c_host_round_trip();
  EXPECT_EQ(0, line) << "first failed check at bb_c_host.c line " << line;
}

TEST(BlackboxErrors, EveryMessageAndTheCleanStateAfterwards) {
  const std::string bad_handle = "-101 invalid blackbox handle";
  int out = 0;
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_release(nullptr));
  EXPECT_EQ(bad_handle, State());
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_empty(nullptr));
  EXPECT_EQ(bad_handle, State());
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_set(nullptr, 1, BB_TYPE_INT, 3));
  EXPECT_EQ(bad_handle, State());
  EXPECT_EQ(nullptr, as_blackbox_get(nullptr, 1, BB_TYPE_INT, &out, 9));
  EXPECT_EQ(bad_handle, State());
  EXPECT_EQ(0, out) << "a refused get must not write the default";
  EXPECT_EQ(nullptr, as_blackbox_clone(nullptr));
  EXPECT_EQ("-101 invalid blackbox to clone", State());

  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.bb, 1, BB_TYPE_INT, 1234));
  EXPECT_EQ(kClean, State());
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_set(box.bb, 1, 18, 5));
  EXPECT_EQ("-101 invalid input", State());
  EXPECT_EQ(nullptr, as_blackbox_get(box.bb, 1, 18, &out, 7));
  EXPECT_EQ(kClean, State());
  for (uint32_t type = BB_TYPE_BYTE_ARRAY; type <= BB_TYPE_UTF8_ARRAY; ++type) {
    SCOPED_TRACE(type);
    EXPECT_EQ(AS_ERR_INVALID_POINTER, as_blackbox_set(box.bb, 1, type, nullptr, (size_t)0));
    EXPECT_EQ("-103 invalid pointer for set", State());
  }
  EXPECT_EQ(1234, ReadInt(box.bb, 1)) << "refused sets must not touch the box";
  ASSERT_EQ(0, as_blackbox_set(box.bb, 500, BB_TYPE_WSTRING, L"w"));
  EXPECT_EQ(0, as_blackbox_empty(box.bb));
  EXPECT_EQ(kClean, State());
  EXPECT_EQ(-1, ReadInt(box.bb, 1));
  EXPECT_EQ(nullptr, ReadWide(box.bb, 500));
  ASSERT_EQ(0, as_blackbox_set(box.bb, 7, BB_TYPE_INT, 70)); // and the box stays usable
  EXPECT_EQ(70, ReadInt(box.bb, 7));
}

TEST(BlackboxGet, AbsentAndWrongTypeKeysReadAsAbsent) {
  Box box;
  const int pair[] = {1, 2};
  ASSERT_EQ(0, as_blackbox_set(box.bb, 1, BB_TYPE_STRING, "text"));
  ASSERT_EQ(0, as_blackbox_set(box.bb, 2, BB_TYPE_LONG, (int64_t)77));
  ASSERT_EQ(0, as_blackbox_set(box.bb, 3, BB_TYPE_INT_ARRAY, pair, (size_t)2));
  for (uint32_t key : {1u, 2u, 3u, 99u}) {
    SCOPED_TRACE(key);
    bool b = false;
    int i = 0;
    uint64_t u = 0;
    double d = 0;
    EXPECT_EQ(&b, as_blackbox_get(box.bb, key, BB_TYPE_BOOL, &b, 3));
    EXPECT_EQ(&i, as_blackbox_get(box.bb, key, BB_TYPE_INT, &i, 42));
    EXPECT_EQ(nullptr, as_blackbox_get(box.bb, key, BB_TYPE_INT, nullptr, 42));
    EXPECT_EQ(&u, as_blackbox_get(box.bb, key, BB_TYPE_ULONG, &u, (uint64_t)1 << 63));
    EXPECT_EQ(&d, as_blackbox_get(box.bb, key, BB_TYPE_DOUBLE, &d, 1.5));
    EXPECT_TRUE(b && i == 42 && u == (uint64_t)1 << 63 && d == 1.5) << "defaults; LONG is not ULONG";
    EXPECT_EQ(nullptr, as_blackbox_get(box.bb, key, BB_TYPE_POINTER));
    EXPECT_EQ(nullptr, ReadText(box.bb, key, BB_TYPE_UTF8)) << "a plain string is not UTF-8";
    EXPECT_EQ(nullptr, ReadWide(box.bb, key)) << "a plain string has no wide copy";
    for (uint32_t type : {BB_TYPE_LONG_ARRAY, BB_TYPE_STRING_ARRAY, BB_TYPE_UTF8_ARRAY}) {
      size_t n = 123;
      EXPECT_EQ(nullptr, as_blackbox_get(box.bb, key, type, nullptr, &n));
      EXPECT_EQ(123u, n);
    }
  }
  EXPECT_EQ(nullptr, ReadText(box.bb, 99));
  EXPECT_EQ(kClean, State());
}

TEST(BlackboxArrays, CountAndBufferProtocol) {
  Box box;
  std::vector<int> in(65);
  for (size_t i = 0; i < in.size(); ++i) in[i] = (int)(i * 7919);
  ASSERT_EQ(0, as_blackbox_set(box.bb, 1, BB_TYPE_INT_ARRAY, in.data(), in.size()));
  size_t n = 0;
  EXPECT_EQ(&n, as_blackbox_get(box.bb, 1, BB_TYPE_INT_ARRAY, nullptr, &n));
  EXPECT_EQ(65u, n);
  std::vector<int> out(70, -1);
  n = 3;
  EXPECT_EQ(out.data(), as_blackbox_get(box.bb, 1, BB_TYPE_INT_ARRAY, out.data(), &n));
  EXPECT_EQ(3u, n);
  EXPECT_EQ(in[2], out[2]);
  EXPECT_EQ(-1, out[3]) << "nothing beyond *count may be written";
  n = out.size();
  EXPECT_EQ(out.data(), as_blackbox_get(box.bb, 1, BB_TYPE_INT_ARRAY, out.data(), &n));
  EXPECT_EQ(65u, n);
  EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
  EXPECT_EQ(-1, out[65]);

  const double none[1] = {0};
  ASSERT_EQ(0, as_blackbox_set(box.bb, 2, BB_TYPE_DOUBLE_ARRAY, none, (size_t)0));
  n = 99;
  EXPECT_EQ(&n, as_blackbox_get(box.bb, 2, BB_TYPE_DOUBLE_ARRAY, nullptr, &n));
  EXPECT_EQ(0u, n);
}

TEST(BlackboxStrings, Utf8ValuesAndArraysHaveNarrowAndWideViews) {
  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.bb, 1, BB_TYPE_UTF8, "\xE2\x82\xAC 5"));
  EXPECT_STREQ("\xE2\x82\xAC 5", ReadText(box.bb, 1, BB_TYPE_STRING));
  EXPECT_STREQ("\xE2\x82\xAC 5", ReadText(box.bb, 1, BB_TYPE_UTF8));
  EXPECT_STREQ(L"\x20AC 5", ReadWide(box.bb, 1));
  // An ill-formed sequence is kept as given; the wide copy is not cut short.
  ASSERT_EQ(0, as_blackbox_set(box.bb, 2, BB_TYPE_UTF8, "a\xED\xA0\x80z"));
  EXPECT_STREQ(L"a\xFFFDz", ReadWide(box.bb, 2));

  const char* in[] = {"\303\274ber", "", "\xF0\x9F\x98\x80"};
  ASSERT_EQ(0, as_blackbox_set(box.bb, 3, BB_TYPE_UTF8_ARRAY, in, (size_t)3));
  const char* narrow[3] = {};
  const wchar_t* wide[3] = {};
  size_t n = 3;
  ASSERT_NE(nullptr, as_blackbox_get(box.bb, 3, BB_TYPE_STRING_ARRAY, narrow, &n));
  ASSERT_NE(nullptr, as_blackbox_get(box.bb, 3, BB_TYPE_WSTRING_ARRAY, wide, &n));
  ASSERT_EQ(3u, n);
  const wchar_t* want[] = {L"\u00FCber", L"", L"\U0001F600"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_STREQ(in[i], narrow[i]);
    EXPECT_STREQ(want[i], wide[i]);
  }

  // A null text is a null string: present (the int is gone), but read as null.
  ASSERT_EQ(0, as_blackbox_set(box.bb, 4, BB_TYPE_INT, 5));
  ASSERT_EQ(0, as_blackbox_set(box.bb, 4, BB_TYPE_STRING, (const char*)nullptr));
  EXPECT_EQ(nullptr, ReadText(box.bb, 4));
  EXPECT_EQ(-1, ReadInt(box.bb, 4));
  // A second set wins even when its source is the first value's own text.
  const char* long_text = "\xC3\xA9 and a text long enough for the heap";
  ASSERT_EQ(0, as_blackbox_set(box.bb, 4, BB_TYPE_UTF8, long_text));
  ASSERT_EQ(0, as_blackbox_set(box.bb, 4, BB_TYPE_UTF8, ReadText(box.bb, 4)));
  EXPECT_STREQ(long_text, ReadText(box.bb, 4));
  EXPECT_STREQ(L"\x00E9 and a text long enough for the heap", ReadWide(box.bb, 4));
}

TEST(BlackboxClone, DeepCopyWithoutPointers) {
  as_blackbox_t* src = as_blackbox_create();
  int marker = 0;
  const int ints[] = {7, 8, 9};
  const char* utf8[] = {"\xC3\xA9", "z"};
  ASSERT_EQ(0, as_blackbox_set(src, 1, BB_TYPE_INT, 11) | as_blackbox_set(src, 2, BB_TYPE_POINTER, &marker) |
                   as_blackbox_set(src, 3, BB_TYPE_UTF8, "\xC3\xA9t\xC3\xA9") |
                   as_blackbox_set(src, 4, BB_TYPE_INT_ARRAY, ints, (size_t)3) |
                   as_blackbox_set(src, 5, BB_TYPE_UTF8_ARRAY, utf8, (size_t)2));
  Box copy(as_blackbox_clone(src));
  ASSERT_NE(nullptr, copy.bb);
  EXPECT_EQ(kClean, State());
  ASSERT_EQ(0, as_blackbox_set(src, 1, BB_TYPE_INT, 12));
  ASSERT_EQ(0, as_blackbox_release(src)) << "the copy must share nothing with its source";

  EXPECT_EQ(11, ReadInt(copy.bb, 1));
  EXPECT_EQ(nullptr, as_blackbox_get(copy.bb, 2, BB_TYPE_POINTER));
  EXPECT_STREQ("\xC3\xA9t\xC3\xA9", ReadText(copy.bb, 3, BB_TYPE_UTF8));
  EXPECT_STREQ(L"\x00E9t\x00E9", ReadWide(copy.bb, 3));
  int iout[3] = {};
  const char* uout[2] = {};
  const wchar_t* wout[2] = {};
  size_t n = 3, m = 2;
  ASSERT_NE(nullptr, as_blackbox_get(copy.bb, 4, BB_TYPE_INT_ARRAY, iout, &n));
  ASSERT_NE(nullptr, as_blackbox_get(copy.bb, 5, BB_TYPE_UTF8_ARRAY, uout, &m));
  ASSERT_NE(nullptr, as_blackbox_get(copy.bb, 5, BB_TYPE_WSTRING_ARRAY, wout, &m));
  EXPECT_TRUE(iout[2] == 9 && !strcmp("\xC3\xA9", uout[0]) && !wcscmp(L"z", wout[1]));
}
