// bb_internal_test.cpp - the container as plug-ins use it: object forms
// (flags 1), the Unicode and UTF-8 slots, Remove and GetCount.
#include <gtest/gtest.h>

#include <memory>

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
} // namespace

// Count, Remove and Empty through the slots are in loader/contract_test.cpp.
TEST(BlackboxCount, ANewTypeReplacesAndRemovingAnAbsentKeySucceeds) {
  BoxPtr box(CBlackBoxInt::Create());
  ASSERT_TRUE(box);
  ASSERT_EQ(0, box->Set(1, BB_TYPE_INT, BB_FLAGS_RAW, 1));
  ASSERT_EQ(0, box->Set(1, BB_TYPE_DOUBLE, BB_FLAGS_RAW, 2.0));
  EXPECT_EQ(1u, box->GetCount());
  EXPECT_EQ(0, box->Remove(99));
  EXPECT_EQ(0, box->Remove(1));
  EXPECT_EQ(nullptr, box->Get(1, BB_TYPE_DOUBLE, BB_FLAGS_RAW, nullptr, 0.0));
  EXPECT_EQ(0u, box->GetCount());
}

TEST(BlackboxObjects, SourcesAndResultsByObject) {
  BoxPtr box(CBlackBoxInt::Create());
  CArray<int, 64> ints;
  for (int i = 0; i < 70; ++i) ASSERT_EQ(0, ints.Add(i * i));
  ASSERT_EQ(0, box->Set(1, BB_TYPE_INT_ARRAY, BB_FLAGS_OBJECT, &ints));
  auto* stored = static_cast<CArray<int, 64>*>(box->Get(1, BB_TYPE_INT_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  ASSERT_TRUE(stored && stored != &ints) << "the box keeps its own copy";
  EXPECT_EQ(70u, stored->GetCount());
  EXPECT_EQ(69 * 69, (*stored)[69]);

  CArray<sstring, 64> utf8;
  utf8.Add(sstring("\xC3\xA4"));
  ASSERT_EQ(0, box->Set(2, BB_TYPE_UTF8_ARRAY, BB_FLAGS_OBJECT, &utf8));
  auto* u = static_cast<CArray<sstring, 64>*>(box->Get(2, BB_TYPE_UTF8_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  auto* uw = static_cast<CArray<usstring, 64>*>(box->Get(2, BB_TYPE_WSTRING_ARRAY, BB_FLAGS_OBJECT, nullptr, nullptr));
  ASSERT_TRUE(u && uw);
  EXPECT_STREQ("\xC3\xA4", (*u)[0].c_str());
  EXPECT_STREQ(L"\x00E4", (*uw)[0].c_str());

  ASSERT_EQ(0, box->Set(3, BB_TYPE_UTF8, BB_FLAGS_RAW, "x\xC3\xA4"));
  auto* s = static_cast<sstring*>(box->Get(3, BB_TYPE_STRING, BB_FLAGS_OBJECT, nullptr));
  auto* ws = static_cast<usstring*>(box->Get(3, BB_TYPE_WSTRING, BB_FLAGS_OBJECT, nullptr));
  ASSERT_TRUE(s && ws);
  EXPECT_EQ(3u, s->length());
  EXPECT_EQ(2u, ws->length());

  // Unknown flags: array sets are refused, text and array reads answer null;
  // handle arrays ignore flags on set.
  _as_set_err(0, "clear");
  EXPECT_EQ(AS_ERR_INVALID_POINTER, box->Set(4, BB_TYPE_INT_ARRAY, 2, &ints));
  EXPECT_STREQ("invalid pointer for set", _as_get_err()->GetMessage());
  EXPECT_EQ(AS_ERR_INVALID_POINTER, box->Set(4, BB_TYPE_INT_ARRAY, BB_FLAGS_OBJECT, nullptr));
  unicode_carr_string_t h[2] = {&ints, nullptr};
  EXPECT_EQ(0, box->Set(5, BB_TYPE_HANDLE_ARRAY, 7, h, (size_t)2));
  size_t n = 0;
  EXPECT_EQ(nullptr, box->Get(5, BB_TYPE_HANDLE_ARRAY, 2, nullptr, &n));
  const char* out = "sentinel";
  EXPECT_EQ(nullptr, box->Get(3, BB_TYPE_STRING, 2, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(4u, box->GetCount());
}

TEST(BlackboxUnicode, WideAndUtf8SettersStoreBothViews) {
  BoxPtr box(CBlackBoxInt::Create());
  const wchar_t* list[] = {L"\x00FC", L"", L"abc"};
  const char* utf8[] = {"\xC3\xA9"};
  CArray<usstring, 64> wobj;
  wobj.Add(usstring(L"\x4E2D"));
  CArray<sstring, 64> uobj;
  uobj.Add(sstring("q"));
  ASSERT_EQ(0, box->SetUnicodeString(1, L"\x00E9\x20AC"));
  ASSERT_EQ(0, box->SetUnicodeArray(3, list, 3));
  ASSERT_EQ(0, box->SetUnicodeArrayObject(4, &wobj));
  ASSERT_EQ(0, box->SetUTF8String(5, "\xC3\xA9"));
  ASSERT_EQ(0, box->SetUTF8Array(6, utf8, 1));
  ASSERT_EQ(0, box->SetUTF8ArrayObject(7, &uobj));

  EXPECT_STREQ("\xC3\xA9\xE2\x82\xAC", static_cast<const char*>(box->Get(1, BB_TYPE_UTF8, 0, nullptr)));
  EXPECT_STREQ(L"\x00E9", static_cast<const wchar_t*>(box->Get(5, BB_TYPE_WSTRING, 0, nullptr)));
  const char* narrow[3] = {};
  size_t n = 3;
  ASSERT_NE(nullptr, box->Get(3, BB_TYPE_UTF8_ARRAY, 0, narrow, &n));
  EXPECT_STREQ("\xC3\xBC", narrow[0]);
  EXPECT_STREQ("", narrow[1]);
  EXPECT_STREQ("abc", narrow[2]);
  ASSERT_NE(nullptr, box->Get(4, BB_TYPE_UTF8_ARRAY, 0, narrow, &n));
  EXPECT_STREQ("\xE4\xB8\xAD", narrow[0]);
  const wchar_t* wide[1] = {};
  n = 1;
  ASSERT_NE(nullptr, box->Get(6, BB_TYPE_WSTRING_ARRAY, 0, wide, &n));
  EXPECT_STREQ(L"\x00E9", wide[0]);
  ASSERT_NE(nullptr, box->Get(7, BB_TYPE_WSTRING_ARRAY, 0, wide, &n));
  EXPECT_STREQ(L"q", wide[0]);

  const int refused[] = {box->SetUnicodeString(1, nullptr),   box->SetUTF8String(1, nullptr),
                         box->SetUnicodeArray(1, nullptr, 2), box->SetUTF8Array(1, nullptr, 2),
                         box->SetUnicodeArrayObject(1, nullptr), box->SetUTF8ArrayObject(1, nullptr)};
  for (int rc : refused) EXPECT_EQ(AS_ERR_INVALID_POINTER, rc);
  EXPECT_STREQ("invalid pointer for set unicode", _as_get_err()->GetMessage());
  EXPECT_STREQ("\xC3\xA9\xE2\x82\xAC", static_cast<const char*>(box->Get(1, BB_TYPE_UTF8, 0, nullptr)));
  EXPECT_EQ(6u, box->GetCount());
}
