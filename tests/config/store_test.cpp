// Settings store: reads with fallback, writes, session sets, copies, wide
// values, the slot layout, and allocation behaviour.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "as_errno.h"
#include "config_test_util.h"

namespace {
const char kLongKey[] = "/eml/global/a-key-well-beyond-the-inline-area";
}

// Sessions on both sides of the identifiers whose sets are found by index.
TEST(SettingsStore, SessionSetsAndFallbackToGlobal) {
  for (uint64_t id : {5u, 1023u, 1024u, 5000u}) {
    SCOPED_TRACE(id);
    CConfigurer c;
    ASSERT_EQ(0, c.SetSetting("/a", "1", 0));
    EXPECT_EQ(-1, c.SetSetting("/a", "x", id)); // no set yet: refused, nothing stored
    ASSERT_EQ(0, c.CreateSet(id));
    EXPECT_EQ("1", Str(c.GetSetting("/a", id)));
    ASSERT_EQ(0, c.SetSetting("/a", "2", id));
    EXPECT_EQ(-1, c.CreateSet(id)); // an existing set is kept
    EXPECT_EQ("2", Str(c.GetSetting("/a", id)));
    EXPECT_EQ("1", Str(c.GetSetting("/a", 0)));
    EXPECT_EQ(nullptr, c.GetSetting("/missing", id));
    // An unknown session never falls back.
    EXPECT_EQ(nullptr, c.GetSetting("/a", id + 1));
    EXPECT_EQ(nullptr, c.GetSettingW("/a", id + 1));
    EXPECT_EQ(0, c.ReleaseSet(id));
    EXPECT_EQ(0, c.ReleaseSet(id));
    EXPECT_EQ(nullptr, c.GetSetting("/a", id));
    EXPECT_EQ(-1, c.SetSetting("/a", "x", id));
    EXPECT_EQ(0, c.CreateSet(id)); // a released identifier can be used again, empty
    EXPECT_EQ("1", Str(c.GetSetting("/a", id)));
  }
}

TEST(SettingsStore, KeysAreExactBytes) {
  CConfigurer c;
  const char* high = "/\xE9\xE8/a-key-beyond-the-inline-area";
  for (const char* k : {"/a", "/A", "/a ", high}) c.SetSetting(k, k, 0);
  for (const char* k : {"/a", "/A", "/a ", high}) EXPECT_EQ(k, Str(c.GetSetting(k, 0)));
  EXPECT_EQ(nullptr, c.GetSetting("/\xE9\xE8/a-key-beyond-the-inline-are", 0));
  c.SetSetting("/a", "", 0);
  EXPECT_EQ("", Str(c.GetSetting("/a", 0))); // an empty value is stored
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
  c.SetSetting("/x", "ab\xC0\x80" "cd", 0);
  ASSERT_TRUE(c.GetSettingW("/w", 0) && c.GetSettingW("/x", 0));
  EXPECT_EQ(std::wstring(L"A\u00e9"), c.GetSettingW("/w", 0));
  // An illegal sequence: the narrow text is kept whole, the wide one stops there.
  EXPECT_EQ("ab\xC0\x80" "cd", Str(c.GetSetting("/x", 0)));
  EXPECT_EQ(std::wstring(L"ab"), c.GetSettingW("/x", 0));
}

TEST(SettingsStore, ModifySessionSettingThrowsForUnknownSession) {
  CConfigurer c;
  try {
    c.ModifySessionSetting("/a", ascommon::sstring("v"), 4);
    FAIL() << "no exception";
  } catch (const CASConfigurerSpecialEx& e) {
    EXPECT_STREQ("CASConfigurerSpecialEx - CODE: -250 MESSAGE: Session does not exist", e.what());
  }
  c.ModifySessionSetting("/a", ascommon::sstring("g"), 0); // session 0 is the global map
  EXPECT_EQ("g", Str(c.GetSetting("/a", 0)));
  EXPECT_EQ(nullptr, c.GetSettingW("/a", 0)); // narrow form only
}

// LookupSetting and GetSettingInt reach GetSetting through the virtual table.
TEST(SettingsStore, LookupAndIntReadCallGetSettingVirtually) {
  struct Spy : CConfigurer {
    const char* GetSetting(const char* key, uint64_t session) override {
      ++calls;
      return std::strcmp(key, "/spy") == 0 ? "42" : CConfigurer::GetSetting(key, session);
    }
    int calls = 0;
  } c;
  CAConfigurer* base = &c;
  EXPECT_EQ("42", Str(base->LookupSetting("/spy", 0)));
  EXPECT_EQ(42, base->GetSettingInt("/spy", 0, 0));
  EXPECT_EQ(2, c.calls);
}

TEST(SettingsStore, CopiesKeepDestinationValues) {
  CConfigurer src, dst;
  src.SetSetting("/a", "src-a", 0);
  src.SetSetting("/b", "src-b", 0);
  dst.SetSetting("/a", "dst-a", 0);
  EXPECT_EQ(0, dst.CopyGlobalSettings(&src));
  EXPECT_EQ("dst-a src-b", Str(dst.GetSetting("/a", 0)) + " " + Str(dst.GetSetting("/b", 0)));
  EXPECT_EQ(std::wstring(L"dst-a"), dst.GetSettingW("/a", 0));
  EXPECT_EQ(std::wstring(L"src-b"), dst.GetSettingW("/b", 0));

  src.CreateSet(1);
  dst.CreateSet(2);
  src.SetSetting("/s", "one", 1);
  src.SetSetting("/t", "src-t", 1);
  dst.SetSetting("/t", "dst-t", 2);
  EXPECT_EQ(0, dst.CopySessionSettings(&src, 1, 2));
  EXPECT_EQ("one dst-t", Str(dst.GetSetting("/s", 2)) + " " + Str(dst.GetSetting("/t", 2)));
  EXPECT_EQ(nullptr, dst.GetSetting("/s", 0));

  EXPECT_EQ(-101, dst.CopySessionSettings(&src, 1, 3));
  EXPECT_STREQ("some session doesn't exist", _as_get_err()->GetMessage());
  EXPECT_EQ(-101, dst.CopySessionSettings(&src, 7, 2));
  EXPECT_EQ(-101, dst.CopyGlobalSettings(nullptr));
  EXPECT_STREQ("NULL input", _as_get_err()->GetMessage());
}

TEST(SettingsStore, ReadingAnExistingKeyAllocatesNothing) {
  CConfigurer c;
  const char kSecond[] = "/eml/global/second-long-key-for-session";
  c.SetSetting(kLongKey, "global", 0);
  c.SetSetting(kSecond, "12", 0);
  c.CreateSet(8);
  c.SetSetting(kSecond, "13", 8);
  const char *global, *fallback, *lookup;
  const wchar_t* wide;
  int number, allocs;
  {
    ScopedAllocCounter count;
    global = c.GetSetting(kLongKey, 0);
    fallback = c.GetSetting(kLongKey, 8);
    number = c.GetSettingInt(kSecond, 0, 8);
    wide = c.GetSettingW(kLongKey, 8);
    lookup = c.LookupSetting(kLongKey, 0);
    allocs = ScopedAllocCounter::news();
  }
  EXPECT_EQ(0, allocs);
  EXPECT_EQ("global", Str(global));
  EXPECT_TRUE(global == fallback && global == lookup) << "the very same stored text";
  EXPECT_EQ(13, number);
  EXPECT_EQ(std::wstring(L"global"), wide);
}

// Every run ends with a clean result, an intact store and nothing held until
// the call succeeds; with one refused allocation, and with memory that stays
// exhausted from then on. A write that lost a copy says so (never 0), and
// whatever it lost reads as before, never as absent.
TEST(SettingsStore, SurvivesAllocationFailureAtEveryPoint) {
  const std::string value(100, 'v');
  // With eight keys before it, a new key's write also has to grow the maps'
  // index: the keys already there must still be found when it cannot.
  const char* const kFilled[] = {"/f/1", "/f/2", "/f/3", "/f/4", "/f/5", "/f/6", "/f/7-beyond-the-inline-area"};
  for (bool onwards : {false, true})
    for (uint64_t session : {0u, 4u})
      for (const char* key : {kLongKey, "/eml/global/a-new-key-well-beyond-the-inline-area"}) {
        SCOPED_TRACE(testing::Message() << "onwards=" << onwards << " session=" << session << " key=" << key);
        const std::string before = key == kLongKey ? "old" : "<null>";
        EveryFailingAllocation([&](int n) {
          CConfigurer c;
          c.CreateSet(4);
          c.SetSetting(kLongKey, "old", session);
          for (const char* k : kFilled) c.SetSetting(k, k, session);
          int r;
          {
            ScopedAllocFailure fail(n, onwards);
            r = c.StoreSetting(key, value.c_str(), session);
          }
          for (const char* k : kFilled) EXPECT_EQ(k, Str(c.GetSetting(k, session)));
          std::string now = Str(c.GetSetting(key, session));
          const wchar_t* wide = c.GetSettingW(key, session);
          std::wstring wide_now = wide ? wide : L"<null>";
          EXPECT_TRUE(r == 0 || r == AS_ERR_MEMORY) << r;
          EXPECT_TRUE(now == value || (r != 0 && now == before)) << now;
          const std::string& wanted = r == 0 ? value : before;
          EXPECT_EQ(std::wstring(wanted.begin(), wanted.end()), wide_now);
        });
      }
  // The plug-ins' slot keeps its two answers.
  CConfigurer c;
  int r;
  {
    ScopedAllocFailure fail(0, true);
    r = c.SetSetting(kLongKey, value.c_str(), 0);
  }
  EXPECT_EQ(-1, r);
  EveryFailingAllocation([](int n) {
    CConfigurer c;
    int r;
    {
      ScopedAllocFailure fail(n, true);
      r = c.CreateSet(6);
    }
    if (r == -1) { // nothing half-made is left behind: the identifier can be created now
      EXPECT_EQ(-1, c.SetSetting("/x", "1", 6));
      EXPECT_EQ(0, c.CreateSet(6));
    }
    EXPECT_EQ(0, c.SetSetting("/x", "1", 6));
  });
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

// The index's hash reads a key in words, with tails of every length and an
// overlapping last word: a key of each length up to 40 bytes is found, and
// keys one byte off it (first, middle, last byte, one shorter, one longer)
// are not.
TEST(SettingsStore, IndexFindsExactlyTheKeyAtEveryLength) {
  SettingMap<ascommon::sstring> map(32);
  std::vector<std::string> keys;
  for (size_t n = 0; n <= 40; ++n) {
    std::string k(n, ' ');
    for (size_t i = 0; i < n; ++i) k[i] = (char)('a' + (i * 7 + n) % 26);
    keys.push_back(k);
    ASSERT_EQ(0, map.Add(ascommon::sstring(k.c_str()), ascommon::sstring(std::to_string(n).c_str())));
  }
  ASSERT_TRUE(map.Indexed());
  auto find = [&](const std::string& k) {
    const ascommon::sstring* v = map.FindIndexed(k.data(), k.size(), SettingMap<ascommon::sstring>::Mix(k.data(), k.size()));
    return v ? std::string(v->c_str()) : std::string("<absent>");
  };
  for (const std::string& k : keys) {
    SCOPED_TRACE(k.size());
    EXPECT_EQ(std::to_string(k.size()), find(k));
    if (k.empty()) continue;
    for (size_t at : {(size_t)0, k.size() / 2, k.size() - 1}) {
      std::string off = k;
      off[at] = '#';
      EXPECT_EQ("<absent>", find(off)) << "byte " << at;
    }
    EXPECT_EQ("<absent>", find(k + "#"));
    if (k.size() > 1) {
      EXPECT_EQ("<absent>", find(k.substr(0, k.size() - 1)));
    }
  }
}
