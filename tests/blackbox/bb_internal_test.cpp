// bb_internal_test.cpp - the container as plug-ins use it: object forms
// (flags 1), the Unicode and UTF-8 slots, Remove and GetCount.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "as_errno.h"
#include "blackbox.h"

using ascommon::CArray;
using ascommon::sstring;
using ascommon::usstring;

namespace {

struct BoxDeleter {
  void operator()(CBlackBoxInt* b) const { delete b; }
};
using BoxPtr = std::unique_ptr<CBlackBoxInt, BoxDeleter>;

BoxPtr NewBox() { return BoxPtr(CBlackBoxInt::Create()); }

std::string LastMessage() {
  const char* m = _as_get_err()->GetMessage();
  return m ? m : "(null)";
}

} // namespace

TEST(BlackboxCount, ReplaceRemoveAndEmpty) {
  BoxPtr box = NewBox();
  ASSERT_TRUE(box);
  EXPECT_EQ(0u, box->GetCount());
  ASSERT_EQ(0, box->Set(1, BB_TYPE_INT, BB_FLAGS_RAW, 1));
  ASSERT_EQ(0, box->Set(1, BB_TYPE_DOUBLE, BB_FLAGS_RAW, 2.0));
  EXPECT_EQ(1u, box->GetCount());
  ASSERT_EQ(0, box->Set(2, BB_TYPE_STRING, BB_FLAGS_RAW, "two"));
  EXPECT_EQ(2u, box->GetCount());

  EXPECT_EQ(0, box->Remove(99)) << "removing an absent key";
  EXPECT_EQ(2u, box->GetCount());
  EXPECT_EQ(0, box->Remove(1));
  EXPECT_EQ(1u, box->GetCount());
  EXPECT_EQ(nullptr, box->Get(1, BB_TYPE_DOUBLE, BB_FLAGS_RAW, nullptr, 0.0));
  EXPECT_NE(nullptr, box->Get(2, BB_TYPE_STRING, BB_FLAGS_RAW, nullptr));

  box->Empty();
  EXPECT_EQ(0u, box->GetCount());
  EXPECT_EQ(64u, box->Elements().GetBucketCount());
  EXPECT_TRUE(box->Elements().HasBuckets());
}

TEST(BlackboxObjects, ArraySourcesAndResults) {
  BoxPtr box = NewBox();
  CArray<int, 64> ints;
  for (int i = 0; i < 70; ++i) ASSERT_EQ(0, ints.Add(i * i));
  ASSERT_EQ(0, box->Set(1, BB_TYPE_INT_ARRAY, BB_FLAGS_OBJECT, &ints));
  auto* stored = static_cast<CArray<int, 64>*>(box->Get(1, BB_TYPE_INT_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  ASSERT_NE(nullptr, stored);
  ASSERT_NE(&ints, stored) << "the box keeps its own copy";
  EXPECT_EQ(70u, stored->GetCount());
  EXPECT_EQ(128u, stored->GetCapacity());
  EXPECT_EQ(69 * 69, (*stored)[69]);

  CArray<sstring, 64> texts;
  texts.Add(sstring("one"));
  texts.Add(sstring("two"));
  ASSERT_EQ(0, box->Set(2, BB_TYPE_STRING_ARRAY, BB_FLAGS_OBJECT, &texts));
  auto* st = static_cast<CArray<sstring, 64>*>(box->Get(2, BB_TYPE_STRING_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  ASSERT_NE(nullptr, st);
  ASSERT_EQ(2u, st->GetCount());
  EXPECT_STREQ("two", (*st)[1].c_str());
  EXPECT_NE(texts[1].c_str(), (*st)[1].c_str());

  CArray<usstring, 64> wides;
  wides.Add(usstring(L"w"));
  ASSERT_EQ(0, box->Set(3, BB_TYPE_WSTRING_ARRAY, BB_FLAGS_OBJECT, &wides));
  const wchar_t* w[1] = {};
  size_t n = 1;
  ASSERT_NE(nullptr, box->Get(3, BB_TYPE_WSTRING_ARRAY, BB_FLAGS_RAW, w, &n));
  EXPECT_STREQ(L"w", w[0]);

  // Object form of a UTF-8 array: the narrow array comes back as type 17,
  // the wide half is built from it.
  CArray<sstring, 64> utf8;
  utf8.Add(sstring("\xC3\xA4"));
  ASSERT_EQ(0, box->Set(4, BB_TYPE_UTF8_ARRAY, BB_FLAGS_OBJECT, &utf8));
  auto* u = static_cast<CArray<sstring, 64>*>(box->Get(4, BB_TYPE_UTF8_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  ASSERT_NE(nullptr, u);
  EXPECT_STREQ("\xC3\xA4", (*u)[0].c_str());
  auto* uw = static_cast<CArray<usstring, 64>*>(box->Get(4, BB_TYPE_WSTRING_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  ASSERT_NE(nullptr, uw);
  EXPECT_STREQ(L"\x00E4", (*uw)[0].c_str());

  auto* s = static_cast<sstring*>(box->Get(2, BB_TYPE_STRING, BB_FLAGS_OBJECT, nullptr));
  EXPECT_EQ(nullptr, s) << "an array is not a string";
  ASSERT_EQ(0, box->Set(5, BB_TYPE_UTF8, BB_FLAGS_RAW, "x\xC3\xA4"));
  s = static_cast<sstring*>(box->Get(5, BB_TYPE_STRING, BB_FLAGS_OBJECT, nullptr));
  ASSERT_NE(nullptr, s);
  EXPECT_EQ(3u, s->length());
  auto* ws = static_cast<usstring*>(box->Get(5, BB_TYPE_WSTRING, BB_FLAGS_OBJECT, nullptr));
  ASSERT_NE(nullptr, ws);
  EXPECT_EQ(2u, ws->length());
}

TEST(BlackboxObjects, UnknownFlags) {
  BoxPtr box = NewBox();
  CArray<int, 64> ints;
  ints.Add(1);
  _as_set_err(0, "clear");
  EXPECT_EQ(AS_ERR_INVALID_POINTER, box->Set(1, BB_TYPE_INT_ARRAY, 2, &ints));
  EXPECT_EQ("invalid pointer for set", LastMessage());
  EXPECT_EQ(0u, box->GetCount());
  EXPECT_EQ(AS_ERR_INVALID_POINTER, box->Set(1, BB_TYPE_INT_ARRAY, BB_FLAGS_OBJECT, nullptr));

  // Handle arrays ignore flags altogether.
  unicode_carr_string_t h[2] = {&ints, nullptr};
  EXPECT_EQ(0, box->Set(2, BB_TYPE_HANDLE_ARRAY, 7, h, (size_t)2));
  size_t n = 0;
  EXPECT_EQ(&n, box->Get(2, BB_TYPE_HANDLE_ARRAY, BB_FLAGS_RAW, nullptr, &n));
  EXPECT_EQ(2u, n);

  // Scalars ignore flags; texts and arrays answer null to unknown flags.
  ASSERT_EQ(0, box->Set(3, BB_TYPE_STRING, 9, "t"));
  const char* out = "sentinel";
  EXPECT_EQ(nullptr, box->Get(3, BB_TYPE_STRING, 2, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(nullptr, box->Get(2, BB_TYPE_HANDLE_ARRAY, 2, nullptr, &n));
}

TEST(BlackboxUnicode, WideSettersStoreUtf8) {
  BoxPtr box = NewBox();
  ASSERT_EQ(0, box->SetUnicodeString(1, L"\x00E9\x20AC"));
  const char* s = nullptr;
  box->Get(1, BB_TYPE_UTF8, BB_FLAGS_RAW, &s);
  EXPECT_STREQ("\xC3\xA9\xE2\x82\xAC", s);
  const wchar_t* w = nullptr;
  box->Get(1, BB_TYPE_WSTRING, BB_FLAGS_RAW, &w);
  EXPECT_STREQ(L"\x00E9\x20AC", w);

  ASSERT_EQ(0, box->SetUnicodeString(2, L""));
  box->Get(2, BB_TYPE_UTF8, BB_FLAGS_RAW, &s);
  EXPECT_STREQ("", s);

  const wchar_t* list[] = {L"\x00FC", L"", L"abc"};
  ASSERT_EQ(0, box->SetUnicodeArray(3, list, 3));
  const char* narrow[3] = {};
  size_t n = 3;
  ASSERT_NE(nullptr, box->Get(3, BB_TYPE_UTF8_ARRAY, BB_FLAGS_RAW, narrow, &n));
  ASSERT_EQ(3u, n);
  EXPECT_STREQ("\xC3\xBC", narrow[0]);
  EXPECT_STREQ("", narrow[1]);
  EXPECT_STREQ("abc", narrow[2]);

  CArray<usstring, 64> obj;
  obj.Add(usstring(L"\x4E2D"));
  ASSERT_EQ(0, box->SetUnicodeArrayObject(4, &obj));
  n = 1;
  ASSERT_NE(nullptr, box->Get(4, BB_TYPE_STRING_ARRAY, BB_FLAGS_RAW, narrow, &n));
  EXPECT_STREQ("\xE4\xB8\xAD", narrow[0]);

  ASSERT_EQ(0, box->SetUTF8String(5, "\xC3\xA9"));
  box->Get(5, BB_TYPE_WSTRING, BB_FLAGS_RAW, &w);
  EXPECT_STREQ(L"\x00E9", w);

  const char* utf8[] = {"\xC3\xA9"};
  ASSERT_EQ(0, box->SetUTF8Array(6, utf8, 1));
  CArray<sstring, 64> uobj;
  uobj.Add(sstring("q"));
  ASSERT_EQ(0, box->SetUTF8ArrayObject(7, &uobj));
  const wchar_t* wide[1] = {};
  n = 1;
  ASSERT_NE(nullptr, box->Get(6, BB_TYPE_WSTRING_ARRAY, BB_FLAGS_RAW, wide, &n));
  EXPECT_STREQ(L"\x00E9", wide[0]);
  n = 1;
  ASSERT_NE(nullptr, box->Get(7, BB_TYPE_WSTRING_ARRAY, BB_FLAGS_RAW, wide, &n));
  EXPECT_STREQ(L"q", wide[0]);
  EXPECT_EQ(7u, box->GetCount());
}

TEST(BlackboxUnicode, NullSourcesAreRefused) {
  BoxPtr box = NewBox();
  ASSERT_EQ(0, box->Set(1, BB_TYPE_INT, BB_FLAGS_RAW, 3));
  const int refused[] = {
      box->SetUnicodeString(1, nullptr),      box->SetUTF8String(1, nullptr),
      box->SetUnicodeArray(1, nullptr, 2),    box->SetUTF8Array(1, nullptr, 2),
      box->SetUnicodeArrayObject(1, nullptr), box->SetUTF8ArrayObject(1, nullptr)};
  for (int rc : refused) EXPECT_EQ(AS_ERR_INVALID_POINTER, rc);
  EXPECT_EQ(AS_ERR_INVALID_POINTER, _as_get_err()->GetCode());
  EXPECT_EQ("invalid pointer for set unicode", LastMessage());
  int v = 0;
  box->Get(1, BB_TYPE_INT, BB_FLAGS_RAW, &v, 0);
  EXPECT_EQ(3, v);
  EXPECT_EQ(1u, box->GetCount());
}
