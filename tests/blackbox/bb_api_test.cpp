// bb_api_test.cpp - the exported black-box functions, through libascore.so.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ascore/ascore.h"
#include "bb_c_host.h"

namespace {

// A box released at the end of the test.
class Box {
public:
  Box() : bb_(as_blackbox_create()) {}
  ~Box() {
    if (bb_) as_blackbox_release(bb_);
  }
  Box(const Box&) = delete;
  Box& operator=(const Box&) = delete;
  as_blackbox_t* get() const { return bb_; }
  as_blackbox_t* take() {
    as_blackbox_t* bb = bb_;
    bb_ = nullptr;
    return bb;
  }

private:
  as_blackbox_t* bb_;
};

std::string ErrMsg() { return as_core_errmsg() ? as_core_errmsg() : "(null)"; }

void ExpectCleanState() {
  EXPECT_EQ(0, as_core_err());
  EXPECT_EQ(std::string(strerror(0)), ErrMsg());
}

int ReadInt(as_blackbox_t* bb, uint32_t key, int def = -1) {
  int v = 0;
  as_blackbox_get(bb, key, BB_TYPE_INT, &v, def);
  return v;
}

} // namespace

TEST(BlackboxCHost, EveryTypeCodeRoundTripsFromC) {
  EXPECT_EQ(0, c_host_scalars()) << "first failed check at bb_c_host.c line " << c_host_scalars();
  EXPECT_EQ(0, c_host_arrays()) << "first failed check at bb_c_host.c line " << c_host_arrays();
}

TEST(BlackboxErrors, NullHandleIsRefusedByEveryFunction) {
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_release(nullptr));
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_core_err());
  EXPECT_EQ("invalid blackbox handle", ErrMsg());

  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_empty(nullptr));
  EXPECT_EQ("invalid blackbox handle", ErrMsg());

  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_set(nullptr, 1, BB_TYPE_INT, 3));
  EXPECT_EQ("invalid blackbox handle", ErrMsg());

  int out = 0;
  EXPECT_EQ(nullptr, as_blackbox_get(nullptr, 1, BB_TYPE_INT, &out, 9));
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_core_err());
  EXPECT_EQ("invalid blackbox handle", ErrMsg());
  EXPECT_EQ(0, out) << "a refused get must not write the default";

  EXPECT_EQ(nullptr, as_blackbox_clone(nullptr));
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_core_err());
  EXPECT_EQ("invalid blackbox to clone", ErrMsg());
}

TEST(BlackboxErrors, SuccessfulCallClearsAnEarlierFailure) {
  Box box;
  ASSERT_NE(nullptr, box.get());
  ASSERT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_empty(nullptr));
  EXPECT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_INT, 1));
  ExpectCleanState();

  ASSERT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_empty(nullptr));
  EXPECT_EQ(0, as_blackbox_empty(box.get()));
  ExpectCleanState();

  ASSERT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_empty(nullptr));
  as_blackbox_t* fresh = as_blackbox_create();
  ASSERT_NE(nullptr, fresh);
  ExpectCleanState();
  ASSERT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_empty(nullptr));
  EXPECT_EQ(0, as_blackbox_release(fresh));
  ExpectCleanState();
}

TEST(BlackboxErrors, TypeCodeAbove17) {
  Box box;
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_blackbox_set(box.get(), 1, 18, 5));
  EXPECT_EQ(AS_ERR_INVALID_INPUT, as_core_err());
  EXPECT_EQ("invalid input", ErrMsg());

  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_INT, 5));
  int out = 0;
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 1, 18, &out, 7));
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 1, 0xFFFFFFFFu, &out, 7));
  EXPECT_EQ(0, out);
  ExpectCleanState();
  EXPECT_EQ(5, ReadInt(box.get(), 1)) << "a refused set must not touch the box";
}

TEST(BlackboxErrors, NullArraySourceKeepsThePreviousElement) {
  Box box;
  for (uint32_t type = BB_TYPE_BYTE_ARRAY; type <= BB_TYPE_UTF8_ARRAY; ++type) {
    SCOPED_TRACE(type);
    ASSERT_EQ(0, as_blackbox_set(box.get(), 40, BB_TYPE_INT, 1234));
    EXPECT_EQ(AS_ERR_INVALID_POINTER, as_blackbox_set(box.get(), 40, type, nullptr, (size_t)3));
    EXPECT_EQ(AS_ERR_INVALID_POINTER, as_core_err());
    EXPECT_EQ("invalid pointer for set", ErrMsg());
    EXPECT_EQ(1234, ReadInt(box.get(), 40));
    // ... and a null source for an absent key adds nothing.
    size_t n = 77;
    EXPECT_EQ(AS_ERR_INVALID_POINTER, as_blackbox_set(box.get(), 41, type, nullptr, (size_t)0));
    EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 41, type, nullptr, &n));
    EXPECT_EQ(77u, n);
  }
}

TEST(BlackboxGet, AbsentKeyStoresDefaultsAndStaysClean) {
  Box box;
  bool b = false;
  EXPECT_EQ(&b, as_blackbox_get(box.get(), 5, BB_TYPE_BOOL, &b, 3));
  EXPECT_TRUE(b);
  int i = 0;
  EXPECT_EQ(&i, as_blackbox_get(box.get(), 5, BB_TYPE_INT, &i, 42));
  EXPECT_EQ(42, i);
  ExpectCleanState();
  int64_t l = 0;
  EXPECT_EQ(&l, as_blackbox_get(box.get(), 5, BB_TYPE_LONG, &l, (int64_t)-9));
  EXPECT_EQ(-9, l);
  uint64_t u = 0;
  EXPECT_EQ(&u, as_blackbox_get(box.get(), 5, BB_TYPE_ULONG, &u, (uint64_t)1 << 63));
  EXPECT_EQ((uint64_t)1 << 63, u);
  double d = 0;
  EXPECT_EQ(&d, as_blackbox_get(box.get(), 5, BB_TYPE_DOUBLE, &d, 1.5));
  EXPECT_EQ(1.5, d);

  // Without an out pointer an absent scalar is just null.
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 5, BB_TYPE_INT, nullptr, 42));
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 5, BB_TYPE_POINTER));

  // Texts: null returned and stored.
  const char* s = "sentinel";
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 5, BB_TYPE_STRING, &s));
  EXPECT_EQ(nullptr, s);
  const wchar_t* w = L"sentinel";
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 5, BB_TYPE_WSTRING, &w));
  EXPECT_EQ(nullptr, w);

  // Arrays: null, count untouched.
  for (uint32_t type = BB_TYPE_BYTE_ARRAY; type <= BB_TYPE_UTF8_ARRAY; ++type) {
    SCOPED_TRACE(type);
    size_t n = 123;
    EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 5, type, nullptr, &n));
    EXPECT_EQ(123u, n);
  }
  ExpectCleanState();
}

TEST(BlackboxGet, WrongTypeCountsAsAbsent) {
  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_STRING, "text"));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_LONG, (int64_t)77));
  const int pair[] = {1, 2};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 3, BB_TYPE_INT_ARRAY, pair, (size_t)2));

  EXPECT_EQ(7, ReadInt(box.get(), 1, 7));
  uint64_t u = 0;
  as_blackbox_get(box.get(), 2, BB_TYPE_ULONG, &u, (uint64_t)5);
  EXPECT_EQ(5u, u) << "signed and unsigned 64-bit are different types";
  EXPECT_EQ(7, ReadInt(box.get(), 2, 7));

  // A plain string is not UTF-8 and has no wide copy.
  const char* s = "x";
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 1, BB_TYPE_UTF8, &s));
  const wchar_t* w = L"x";
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 1, BB_TYPE_WSTRING, &w));

  size_t n = 9;
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 3, BB_TYPE_LONG_ARRAY, nullptr, &n));
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 3, BB_TYPE_STRING_ARRAY, nullptr, &n));
  EXPECT_EQ(9u, n);
  ExpectCleanState();
}

TEST(BlackboxGet, NullOutGivesTheStoredValue) {
  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_DOUBLE, 6.25));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_LONG, (int64_t)-3));
  auto* d = static_cast<double*>(as_blackbox_get(box.get(), 1, BB_TYPE_DOUBLE, nullptr, 0.0));
  ASSERT_NE(nullptr, d);
  EXPECT_EQ(6.25, *d);
  auto* l = static_cast<int64_t*>(as_blackbox_get(box.get(), 2, BB_TYPE_LONG, nullptr, (int64_t)0));
  ASSERT_NE(nullptr, l);
  EXPECT_EQ(-3, *l);
  // The same storage on every read while the key is untouched.
  EXPECT_EQ(d, as_blackbox_get(box.get(), 1, BB_TYPE_DOUBLE, nullptr, 0.0));
}

TEST(BlackboxArrays, CountAndBufferProtocol) {
  Box box;
  const int five[] = {1, 2, 3, 4, 5};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_INT_ARRAY, five, (size_t)5));

  size_t n = 0;
  EXPECT_EQ(&n, as_blackbox_get(box.get(), 1, BB_TYPE_INT_ARRAY, nullptr, &n));
  EXPECT_EQ(5u, n);

  int out[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  n = 3;
  EXPECT_EQ(out, as_blackbox_get(box.get(), 1, BB_TYPE_INT_ARRAY, out, &n));
  EXPECT_EQ(3u, n);
  EXPECT_EQ(3, out[2]);
  EXPECT_EQ(0, out[3]) << "nothing beyond *count may be written";

  n = 8;
  EXPECT_EQ(out, as_blackbox_get(box.get(), 1, BB_TYPE_INT_ARRAY, out, &n));
  EXPECT_EQ(5u, n);
  EXPECT_EQ(5, out[4]);
  EXPECT_EQ(0, out[5]);

  n = 0;
  out[0] = -1;
  EXPECT_EQ(out, as_blackbox_get(box.get(), 1, BB_TYPE_INT_ARRAY, out, &n));
  EXPECT_EQ(0u, n);
  EXPECT_EQ(-1, out[0]);
}

TEST(BlackboxArrays, EmptyAndLargeArrays) {
  Box box;
  const double none[1] = {0};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_DOUBLE_ARRAY, none, (size_t)0));
  size_t n = 99;
  EXPECT_EQ(&n, as_blackbox_get(box.get(), 1, BB_TYPE_DOUBLE_ARRAY, nullptr, &n));
  EXPECT_EQ(0u, n);

  // Sizes on both sides of the 64-element growth step.
  for (size_t count : {63u, 64u, 65u, 1000u}) {
    SCOPED_TRACE(count);
    std::vector<long> in(count);
    for (size_t i = 0; i < count; ++i) in[i] = (long)(i * 7919) - 3;
    ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_LONG_ARRAY, in.data(), count));
    std::vector<long> out(count + 1, 0);
    n = out.size();
    ASSERT_EQ(out.data(), as_blackbox_get(box.get(), 2, BB_TYPE_LONG_ARRAY, out.data(), &n));
    EXPECT_EQ(count, n);
    out.resize(count);
    EXPECT_EQ(in, out);
  }

  std::vector<std::string> texts;
  std::vector<const char*> ptrs;
  for (int i = 0; i < 130; ++i) texts.push_back("text number " + std::to_string(i) + " with some padding");
  for (auto& t : texts) ptrs.push_back(t.c_str());
  ASSERT_EQ(0, as_blackbox_set(box.get(), 3, BB_TYPE_STRING_ARRAY, ptrs.data(), ptrs.size()));
  std::vector<const char*> got(ptrs.size());
  n = got.size();
  ASSERT_NE(nullptr, as_blackbox_get(box.get(), 3, BB_TYPE_STRING_ARRAY, got.data(), &n));
  ASSERT_EQ(texts.size(), n);
  for (size_t i = 0; i < n; ++i) EXPECT_EQ(texts[i], got[i]);
}

TEST(BlackboxStrings, BoxOwnsCopiesOfTexts) {
  Box box;
  char text[] = "original";
  wchar_t wtext[] = L"original";
  const char* list[] = {text};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_STRING, text));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_WSTRING, wtext));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 3, BB_TYPE_UTF8, text));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 4, BB_TYPE_STRING_ARRAY, list, (size_t)1));
  text[0] = 'X';
  wtext[0] = L'X';

  const char* s = nullptr;
  as_blackbox_get(box.get(), 1, BB_TYPE_STRING, &s);
  EXPECT_STREQ("original", s);
  const wchar_t* w = nullptr;
  as_blackbox_get(box.get(), 2, BB_TYPE_WSTRING, &w);
  EXPECT_STREQ(L"original", w);
  as_blackbox_get(box.get(), 3, BB_TYPE_WSTRING, &w);
  EXPECT_STREQ(L"original", w);
  const char* got[1] = {nullptr};
  size_t n = 1;
  as_blackbox_get(box.get(), 4, BB_TYPE_STRING_ARRAY, got, &n);
  EXPECT_STREQ("original", got[0]);
}

TEST(BlackboxStrings, Utf8ValueReadsAsNarrowWideAndUtf8) {
  Box box;
  const char* euro = "\xE2\x82\xAC 5"; // U+20AC, then " 5"
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_UTF8, euro));
  const char* s = nullptr;
  void* r = as_blackbox_get(box.get(), 1, BB_TYPE_STRING, &s);
  EXPECT_EQ(r, static_cast<const void*>(s));
  EXPECT_STREQ(euro, s);
  const char* u = nullptr;
  as_blackbox_get(box.get(), 1, BB_TYPE_UTF8, &u);
  EXPECT_STREQ(euro, u);
  const wchar_t* w = nullptr;
  r = as_blackbox_get(box.get(), 1, BB_TYPE_WSTRING, &w);
  EXPECT_EQ(r, static_cast<const void*>(w));
  EXPECT_STREQ(L"\x20AC 5", w);

  // Ill-formed input is still stored; the wide copy gets a replacement
  // character instead of being cut short.
  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_UTF8, "a\xED\xA0\x80z"));
  as_blackbox_get(box.get(), 2, BB_TYPE_WSTRING, &w);
  ASSERT_NE(nullptr, w);
  EXPECT_EQ(L'a', w[0]);
  EXPECT_EQ(L'z', w[wcslen(w) - 1]);
}

TEST(BlackboxStrings, NullTextStoresANullString) {
  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_INT, 5));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_STRING, (const char*)nullptr));
  const char* s = "sentinel";
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 1, BB_TYPE_STRING, &s));
  EXPECT_EQ(nullptr, s);
  EXPECT_EQ(-1, ReadInt(box.get(), 1)) << "the null string replaced the int";
}

TEST(BlackboxStrings, Utf8ArrayReadsAsBothArrays) {
  Box box;
  const char* in[] = {"\xC3\xBC" "ber", "", "\xF0\x9F\x98\x80"};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_UTF8_ARRAY, in, (size_t)3));
  const char* narrow[3] = {};
  size_t n = 3;
  ASSERT_NE(nullptr, as_blackbox_get(box.get(), 1, BB_TYPE_STRING_ARRAY, narrow, &n));
  ASSERT_EQ(3u, n);
  for (int i = 0; i < 3; ++i) EXPECT_STREQ(in[i], narrow[i]);
  const wchar_t* wide[3] = {};
  n = 3;
  ASSERT_NE(nullptr, as_blackbox_get(box.get(), 1, BB_TYPE_WSTRING_ARRAY, wide, &n));
  ASSERT_EQ(3u, n);
  EXPECT_STREQ(L"\x00FC" L"ber", wide[0]);
  EXPECT_STREQ(L"", wide[1]);
  EXPECT_STREQ(L"\x1F600", wide[2]);

  // A plain string array has no wide half and is not UTF-8.
  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_STRING_ARRAY, in, (size_t)3));
  n = 3;
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 2, BB_TYPE_WSTRING_ARRAY, wide, &n));
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 2, BB_TYPE_UTF8_ARRAY, narrow, &n));
}

TEST(BlackboxReplace, SecondSetWins) {
  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_INT, 1));
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_INT, 2));
  EXPECT_EQ(2, ReadInt(box.get(), 1));

  const char* texts[] = {"a", "b"};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_STRING_ARRAY, texts, (size_t)2));
  EXPECT_EQ(-1, ReadInt(box.get(), 1)) << "the int is gone";
  size_t n = 0;
  as_blackbox_get(box.get(), 1, BB_TYPE_STRING_ARRAY, nullptr, &n);
  EXPECT_EQ(2u, n);
  ExpectCleanState();
}

TEST(BlackboxReplace, SourceMayComeFromTheReplacedElement) {
  Box box;
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_STRING, "a text long enough to live on the heap"));
  const char* s = nullptr;
  as_blackbox_get(box.get(), 1, BB_TYPE_STRING, &s);
  ASSERT_EQ(0, as_blackbox_set(box.get(), 1, BB_TYPE_STRING, s));
  const char* again = nullptr;
  as_blackbox_get(box.get(), 1, BB_TYPE_STRING, &again);
  EXPECT_STREQ("a text long enough to live on the heap", again);


  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_UTF8, "\xC3\xA9 and a text long enough for the heap"));
  as_blackbox_get(box.get(), 2, BB_TYPE_UTF8, &s);
  ASSERT_EQ(0, as_blackbox_set(box.get(), 2, BB_TYPE_UTF8, s));
  const wchar_t* w = nullptr;
  as_blackbox_get(box.get(), 2, BB_TYPE_WSTRING, &w);
  EXPECT_STREQ(L"\x00E9 and a text long enough for the heap", w);
}

TEST(BlackboxClone, DeepCopyWithoutPointers) {
  as_blackbox_t* src = as_blackbox_create();
  ASSERT_NE(nullptr, src);
  int marker = 0;
  const int ints[] = {7, 8, 9};
  const wchar_t* wide[] = {L"w1", L"w2"};
  const char* utf8[] = {"\xC3\xA9", "z"};
  unicode_carr_string_t handles[] = {&marker};
  ASSERT_EQ(0, as_blackbox_set(src, 1, BB_TYPE_INT, 11));
  ASSERT_EQ(0, as_blackbox_set(src, 2, BB_TYPE_POINTER, &marker));
  ASSERT_EQ(0, as_blackbox_set(src, 3, BB_TYPE_STRING, "copied"));
  ASSERT_EQ(0, as_blackbox_set(src, 4, BB_TYPE_UTF8, "\xC3\xA9t\xC3\xA9"));
  ASSERT_EQ(0, as_blackbox_set(src, 5, BB_TYPE_INT_ARRAY, ints, (size_t)3));
  ASSERT_EQ(0, as_blackbox_set(src, 6, BB_TYPE_WSTRING_ARRAY, wide, (size_t)2));
  ASSERT_EQ(0, as_blackbox_set(src, 7, BB_TYPE_UTF8_ARRAY, utf8, (size_t)2));
  ASSERT_EQ(0, as_blackbox_set(src, 8, BB_TYPE_HANDLE_ARRAY, handles, (size_t)1));

  as_blackbox_t* copy = as_blackbox_clone(src);
  ASSERT_NE(nullptr, copy);
  ExpectCleanState();
  // The copy must not share anything with the source.
  ASSERT_EQ(0, as_blackbox_release(src));

  EXPECT_EQ(11, ReadInt(copy, 1));
  EXPECT_EQ(nullptr, as_blackbox_get(copy, 2, BB_TYPE_POINTER));
  const char* s = nullptr;
  as_blackbox_get(copy, 3, BB_TYPE_STRING, &s);
  EXPECT_STREQ("copied", s);
  const wchar_t* w = nullptr;
  as_blackbox_get(copy, 4, BB_TYPE_WSTRING, &w);
  EXPECT_STREQ(L"\x00E9t\x00E9", w);
  as_blackbox_get(copy, 4, BB_TYPE_UTF8, &s);
  EXPECT_STREQ("\xC3\xA9t\xC3\xA9", s);

  int iout[3] = {};
  size_t n = 3;
  ASSERT_NE(nullptr, as_blackbox_get(copy, 5, BB_TYPE_INT_ARRAY, iout, &n));
  EXPECT_EQ(9, iout[2]);
  const wchar_t* wout[2] = {};
  n = 2;
  ASSERT_NE(nullptr, as_blackbox_get(copy, 6, BB_TYPE_WSTRING_ARRAY, wout, &n));
  EXPECT_STREQ(L"w2", wout[1]);
  const char* uout[2] = {};
  n = 2;
  ASSERT_NE(nullptr, as_blackbox_get(copy, 7, BB_TYPE_UTF8_ARRAY, uout, &n));
  EXPECT_STREQ("\xC3\xA9", uout[0]);
  n = 2;
  ASSERT_NE(nullptr, as_blackbox_get(copy, 7, BB_TYPE_WSTRING_ARRAY, wout, &n));
  EXPECT_STREQ(L"\x00E9", wout[0]);
  unicode_carr_string_t hout[1] = {};
  n = 1;
  ASSERT_NE(nullptr, as_blackbox_get(copy, 8, BB_TYPE_HANDLE_ARRAY, hout, &n));
  EXPECT_EQ(static_cast<void*>(&marker), hout[0]);
  EXPECT_EQ(0, as_blackbox_release(copy));
}

TEST(BlackboxClone, CopiesAreIndependent) {
  Box src;
  ASSERT_EQ(0, as_blackbox_set(src.get(), 1, BB_TYPE_INT, 1));
  Box copy;
  as_blackbox_release(copy.take());
  as_blackbox_t* c = as_blackbox_clone(src.get());
  ASSERT_NE(nullptr, c);
  ASSERT_EQ(0, as_blackbox_set(c, 1, BB_TYPE_INT, 2));
  ASSERT_EQ(0, as_blackbox_set(c, 2, BB_TYPE_INT, 3));
  EXPECT_EQ(1, ReadInt(src.get(), 1));
  EXPECT_EQ(-1, ReadInt(src.get(), 2));
  EXPECT_EQ(2, ReadInt(c, 1));
  as_blackbox_release(c);

  // An empty box clones to an empty, usable box.
  Box empty;
  as_blackbox_t* e = as_blackbox_clone(empty.get());
  ASSERT_NE(nullptr, e);
  EXPECT_EQ(-1, ReadInt(e, 1));
  EXPECT_EQ(0, as_blackbox_set(e, 1, BB_TYPE_INT, 4));
  EXPECT_EQ(4, ReadInt(e, 1));
  as_blackbox_release(e);
}

TEST(BlackboxEmpty, RemovesEverythingAndStaysUsable) {
  Box box;
  for (uint32_t key = 0; key < 200; ++key) ASSERT_EQ(0, as_blackbox_set(box.get(), key, BB_TYPE_INT, (int)key + 1));
  const char* texts[] = {"x"};
  ASSERT_EQ(0, as_blackbox_set(box.get(), 500, BB_TYPE_STRING_ARRAY, texts, (size_t)1));
  ASSERT_EQ(0, as_blackbox_empty(box.get()));
  for (uint32_t key = 0; key < 200; ++key) EXPECT_EQ(-1, ReadInt(box.get(), key)) << key;
  size_t n = 5;
  EXPECT_EQ(nullptr, as_blackbox_get(box.get(), 500, BB_TYPE_STRING_ARRAY, nullptr, &n));
  EXPECT_EQ(0, as_blackbox_empty(box.get())) << "emptying an empty box";
  ASSERT_EQ(0, as_blackbox_set(box.get(), 7, BB_TYPE_INT, 70));
  EXPECT_EQ(70, ReadInt(box.get(), 7));
}
