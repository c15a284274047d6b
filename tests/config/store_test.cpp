// Settings store: reads with fallback, writes, session sets, copies, wide
// values, registration and allocation behaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alloc_hooks.h"
#include "as_errno.h"
#include "config_test_util.h"
#include "configurer.h"

namespace {

std::string Str(const char* s) { return s ? s : "<null>"; }

const char kLongKey[] = "/eml/global/a-key-well-beyond-the-inline-area";

} // namespace

TEST(SettingsStore, SessionReadsFallBackToGlobal) {
  CConfigurer c;
  ASSERT_EQ(0, c.SetSetting("/a", "1", 0));
  ASSERT_EQ(0, c.CreateSet(5));
  EXPECT_EQ("1", Str(c.GetSetting("/a", 5)));
  ASSERT_EQ(0, c.SetSetting("/a", "2", 5));
  EXPECT_EQ("2", Str(c.GetSetting("/a", 5)));
  EXPECT_EQ("1", Str(c.GetSetting("/a", 0)));
  // An unknown session never falls back.
  EXPECT_EQ(nullptr, c.GetSetting("/a", 6));
  EXPECT_EQ(nullptr, c.GetSettingW("/a", 6));
  EXPECT_EQ(nullptr, c.GetSetting("/missing", 5));
}

TEST(SettingsStore, KeysAreExactBytes) {
  CConfigurer c;
  c.SetSetting("/a", "lower", 0);
  c.SetSetting("/A", "upper", 0);
  c.SetSetting("/a ", "", 0);
  c.SetSetting("/\xE9\xE8/a-key-beyond-the-inline-area", "high", 0);
  EXPECT_EQ("lower", Str(c.GetSetting("/a", 0)));
  EXPECT_EQ("upper", Str(c.GetSetting("/A", 0)));
  EXPECT_EQ("", Str(c.GetSetting("/a ", 0))); // an empty value is stored
  EXPECT_EQ("high", Str(c.GetSetting("/\xE9\xE8/a-key-beyond-the-inline-area", 0)));
  EXPECT_EQ(nullptr, c.GetSetting("/\xE9\xE8/a-key-beyond-the-inline-are", 0));
}

TEST(SettingsStore, GetSettingIntParsesLikeAtol) {
  CConfigurer c;
  c.CreateSet(3);
  const struct {
    const char* text;
    int expected;
  } cases[] = {{"12abc", 12}, {"  -3", -3}, {"abc", 0}, {"+8", 8}, {"4294967297", 1}, {"-4294967297", -1}};
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.text);
    c.SetSetting("/n", tc.text, 3);
    EXPECT_EQ(tc.expected, c.GetSettingInt("/n", 99, 3));
  }
  EXPECT_EQ(99, c.GetSettingInt("/absent", 99, 3));
  EXPECT_EQ(99, c.GetSettingInt("/n", 99, 4)); // no set for session 4
}

TEST(SettingsStore, WideValuesGoThroughStrictUtf8) {
  CConfigurer c;
  c.SetSetting("/w", "A\xC3\xA9", 0);
  ASSERT_NE(nullptr, c.GetSettingW("/w", 0));
  EXPECT_EQ(std::wstring(L"A\u00e9"), c.GetSettingW("/w", 0));
  // An illegal sequence: the narrow text is kept whole, the wide one stops there.
  c.CreateSet(2);
  c.SetSetting("/w", "ab\xC0\x80" "cd", 2);
  EXPECT_EQ("ab\xC0\x80" "cd", Str(c.GetSetting("/w", 2)));
  ASSERT_NE(nullptr, c.GetSettingW("/w", 2));
  EXPECT_EQ(std::wstring(L"ab"), c.GetSettingW("/w", 2));
}

TEST(SettingsStore, SessionSetLifecycle) {
  CConfigurer c;
  EXPECT_EQ(-1, c.SetSetting("/a", "x", 9));
  EXPECT_EQ(0, c.CreateSet(9));
  EXPECT_EQ(nullptr, c.GetSetting("/a", 9)); // the refused write stored nothing
  c.SetSetting("/a", "kept", 9);
  EXPECT_EQ(-1, c.CreateSet(9));
  EXPECT_EQ("kept", Str(c.GetSetting("/a", 9)));
  EXPECT_EQ(0, c.ReleaseSet(9));
  EXPECT_EQ(nullptr, c.GetSetting("/a", 9));
  EXPECT_EQ(-1, c.SetSetting("/a", "x", 9));
  EXPECT_EQ(0, c.ReleaseSet(9));
  EXPECT_EQ(0, c.ReleaseSet(12345));
  EXPECT_EQ(0, c.CreateSet(9)); // a released identifier can be used again
  EXPECT_EQ(nullptr, c.GetSetting("/a", 9));
}

TEST(SettingsStore, ModifySessionSettingThrowsForUnknownSession) {
  CConfigurer c;
  try {
    c.ModifySessionSetting("/a", ascommon::sstring("v"), 4);
    FAIL() << "no exception";
  } catch (const CASConfigurerSpecialEx& e) {
    EXPECT_STREQ("CASConfigurerSpecialEx - CODE: -250 MESSAGE: Session does not exist", e.what());
  }
  // Session 0 is the global map.
  c.ModifySessionSetting("/a", ascommon::sstring("g"), 0);
  EXPECT_EQ("g", Str(c.GetSetting("/a", 0)));
  EXPECT_EQ(nullptr, c.GetSettingW("/a", 0)); // narrow form only
}

// LookupSetting and GetSettingInt reach GetSetting through the virtual table.
class SpyConfigurer : public CConfigurer {
public:
  const char* GetSetting(const char* key, uint64_t session) override {
    ++calls;
    return std::strcmp(key, "/spy") == 0 ? "42" : CConfigurer::GetSetting(key, session);
  }
  int calls = 0;
};

TEST(SettingsStore, LookupAndIntReadCallGetSettingVirtually) {
  SpyConfigurer c;
  CAConfigurer* base = &c;
  EXPECT_EQ("42", Str(base->LookupSetting("/spy", 0)));
  EXPECT_EQ(42, base->GetSettingInt("/spy", 0, 0));
  EXPECT_EQ(2, c.calls);
}

// Plug-ins call the store by slot number: pin every slot.
TEST(SettingsStore, SlotsMatchTheContract) {
  CConfigurer c;
  CAConfigurer* base = &c;
  void** vt = *reinterpret_cast<void***>(base);
  TestModule m("M", AS_KIND_FILTER);
  EXPECT_EQ(0, reinterpret_cast<int (*)(CAConfigurer*, uint64_t)>(vt[2])(base, 2));
  EXPECT_EQ(0, reinterpret_cast<int (*)(CAConfigurer*, const char*, const char*, uint64_t)>(vt[4])(base, "/k", "7", 2));
  auto get = reinterpret_cast<const char* (*)(CAConfigurer*, const char*, uint64_t)>(vt[7]);
  EXPECT_EQ("7", Str(get(base, "/k", 2)));
  EXPECT_EQ("7", Str(reinterpret_cast<const char* (*)(CAConfigurer*, const char*, uint64_t)>(vt[5])(base, "/k", 2)));
  EXPECT_EQ(std::wstring(L"7"), reinterpret_cast<const wchar_t* (*)(CAConfigurer*, const char*, uint64_t)>(vt[6])(
                                    base, "/k", 2));
  EXPECT_EQ(7, reinterpret_cast<int (*)(CAConfigurer*, const char*, int, uint64_t)>(vt[8])(base, "/k", 0, 2));
  EXPECT_EQ(-1, reinterpret_cast<int (*)(CAConfigurer*, CNotifiableObject*)>(vt[9])(base, nullptr));
  EXPECT_EQ(0, reinterpret_cast<int (*)(CAConfigurer*, CNotifiableObject*)>(vt[9])(base, &m));
  EXPECT_EQ(0, reinterpret_cast<int (*)(CAConfigurer*, uint64_t, uint64_t)>(vt[10])(base, AS_PRODUCT_ALL, 2));
  EXPECT_EQ(0, reinterpret_cast<int (*)(CAConfigurer*, uint64_t)>(vt[3])(base, 2));
  EXPECT_EQ(nullptr, get(base, "/k", 2));
}

TEST(SettingsStore, CopiesKeepDestinationValues) {
  CConfigurer src, dst;
  src.SetSetting("/a", "src-a", 0);
  src.SetSetting("/b", "src-b", 0);
  dst.SetSetting("/a", "dst-a", 0);
  EXPECT_EQ(0, dst.CopyGlobalSettings(&src));
  EXPECT_EQ("dst-a", Str(dst.GetSetting("/a", 0)));
  EXPECT_EQ("src-b", Str(dst.GetSetting("/b", 0)));
  EXPECT_EQ(std::wstring(L"dst-a"), dst.GetSettingW("/a", 0));
  EXPECT_EQ(std::wstring(L"src-b"), dst.GetSettingW("/b", 0));

  src.CreateSet(1);
  dst.CreateSet(2);
  src.SetSetting("/s", "one", 1);
  src.SetSetting("/t", "src-t", 1);
  dst.SetSetting("/t", "dst-t", 2);
  EXPECT_EQ(0, dst.CopySessionSettings(&src, 1, 2));
  EXPECT_EQ("one", Str(dst.GetSetting("/s", 2)));
  EXPECT_EQ("dst-t", Str(dst.GetSetting("/t", 2)));
  EXPECT_EQ(nullptr, dst.GetSetting("/s", 0));

  EXPECT_EQ(-101, dst.CopySessionSettings(&src, 1, 3));
  EXPECT_STREQ("some session doesn't exist", _as_get_err()->GetMessage());
  EXPECT_EQ(-101, dst.CopySessionSettings(&src, 7, 2));
  EXPECT_EQ(-101, dst.CopyGlobalSettings(nullptr));
  EXPECT_STREQ("NULL input", _as_get_err()->GetMessage());
}

TEST(SettingsStore, RegistrationRefusals) {
  CConfigurer c;
  TestModule m("M", AS_KIND_FILTER);
  EXPECT_EQ(-1, c.AddNotifiableObject(nullptr));
  int r;
  {
    ScopedAllocFailure fail(0);
    r = c.AddNotifiableObject(&m);
  }
  EXPECT_EQ(-2, r);
  EXPECT_EQ(0u, c.NotifiableObjects().GetCount());
}

TEST(SettingsStore, ReadingAnExistingKeyAllocatesNothing) {
  CConfigurer c;
  c.SetSetting(kLongKey, "global", 0);
  c.SetSetting("/eml/global/second-long-key-for-session", "12", 0);
  c.CreateSet(8);
  c.SetSetting("/eml/global/second-long-key-for-session", "13", 8);
  const char *global, *fallback, *lookup;
  const wchar_t* wide;
  int number;
  int allocs;
  {
    ScopedAllocCounter count;
    global = c.GetSetting(kLongKey, 0);
    fallback = c.GetSetting(kLongKey, 8);
    number = c.GetSettingInt("/eml/global/second-long-key-for-session", 0, 8);
    wide = c.GetSettingW(kLongKey, 8);
    lookup = c.LookupSetting(kLongKey, 0);
    allocs = ScopedAllocCounter::news();
  }
  EXPECT_EQ(0, allocs);
  EXPECT_EQ("global", Str(global));
  EXPECT_EQ(global, fallback); // the very same stored text
  EXPECT_EQ(global, lookup);
  EXPECT_EQ(13, number);
  EXPECT_EQ(std::wstring(L"global"), wide);
}

// For N = 0, 1, 2, ... fail the Nth allocation: every run ends with a clean
// result and an intact store (ASan reports any leak) until the call succeeds.
TEST(SettingsStore, SurvivesAllocationFailureAtEveryPoint) {
  const std::string value(100, 'v');
  // One refused allocation, and memory that stays exhausted from then on.
  for (bool onwards : {false, true})
  for (uint64_t session : {0u, 4u}) {
    bool done = false;
    for (int64_t n = 0; n < 200 && !done; ++n) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " onwards=" << onwards << " session=" << session);
      CConfigurer c;
      c.CreateSet(4);
      c.SetSetting(kLongKey, "old", session);
      int r;
      {
        ScopedAllocFailure fail((int)n, onwards);
        r = c.SetSetting(kLongKey, value.c_str(), session);
      }
      ASSERT_TRUE(r == 0 || r == -1);
      std::string now = Str(c.GetSetting(kLongKey, session));
      if (r == 0) {
        EXPECT_EQ(value, now);
        EXPECT_EQ(std::wstring(value.begin(), value.end()), c.GetSettingW(kLongKey, session));
        done = true;
      } else {
        EXPECT_TRUE(now == "old" || now == value) << now;
      }
    }
    EXPECT_TRUE(done);
  }
  bool created = false;
  for (int64_t n = 0; n < 50 && !created; ++n) {
    CConfigurer c;
    int r;
    {
      ScopedAllocFailure fail((int)n, true);
      r = c.CreateSet(6);
    }
    if (r == -1) {
      // Nothing half-made is left behind: the identifier can be created now.
      EXPECT_EQ(nullptr, c.GetSetting("/x", 6));
      EXPECT_EQ(-1, c.SetSetting("/x", "1", 6));
      EXPECT_EQ(0, c.CreateSet(6));
    } else {
      created = true;
    }
    EXPECT_EQ(0, c.SetSetting("/x", "1", 6));
  }
  EXPECT_TRUE(created);
}
