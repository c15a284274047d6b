// Trace lines of the settings store, read back from the real trace log.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>

#include "config_test_util.h"
#include "trace_log.h"

namespace {

// Messages that begin with `head` and end with seconds, a dot, exactly six
// digits of microseconds and `unit`; -1 if one of them has another shape.
int CountTimed(const std::string& text, const std::string& head, const std::string& unit) {
  std::istringstream in(text);
  int n = 0;
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find("] - " + head);
    if (at == std::string::npos) continue;
    std::string t = line.substr(at + 4 + head.size());
    size_t dot = t.find('.');
    if (dot == 0 || dot == std::string::npos || t.size() != dot + 7 + unit.size() ||
        t.compare(dot + 7, std::string::npos, unit) != 0 || t.find_first_not_of("0123456789") != dot ||
        t.substr(dot + 1, 6).find_first_not_of("0123456789") != std::string::npos)
      return -1;
    ++n;
  }
  return n;
}

} // namespace

TEST(StoreTrace, ReadsWritesCopiesAndDestruction) {
  TraceLog log("debug");
  ASSERT_TRUE(log.started());
  {
    CConfigurer c, src;
    c.SetSetting("/a", "1", 0);
    for (uint64_t s : {5, 6, 7}) c.CreateSet(s);
    EXPECT_STREQ("1", c.GetSetting("/a", 5));
    c.GetSetting("/a", 9);
    c.GetSetting("/nope", 6);
    c.SetSetting("/a", "2", 8);
    src.SetSetting("/a", "new", 0);
    c.CopyGlobalSettings(&src);
  }
  EXPECT_EQ(2, log.Count("creating configurer"));
  // The request, the narrow write and the wide write ("%S" prints the same text).
  EXPECT_EQ(3, log.Count("[key = /a] <= [value = 1]"));
  EXPECT_EQ(1, log.Count("[session = ALL] [key = /a] => [value = 1]"));
  EXPECT_EQ(1, log.Count("session = 9 was not found!"));
  EXPECT_EQ(1, log.Count("[session = 6/ALL] [key = /nope] Value not found!"));
  EXPECT_NE(std::string::npos, log.Since().find("[ANTISPAM EXCEPTION] [")); // the refused write for session 8
  EXPECT_EQ(1, log.Count("CASConfigurerSpecialEx - CODE: -250 MESSAGE: Session does not exist"));
  EXPECT_EQ(2, log.Count("skipping setting new for /a")); // wide map, then narrow map
  EXPECT_EQ(1, log.Count("releasing 3 session map(s)"));
}

// The narrow and the wide half trace the same lines ("%S" prints the wide
// value as the same text): one line per read or write of either half.
TEST(StoreTrace, NarrowAndWideHalvesTraceAlike) {
  CConfigurer c;
  c.CreateSet(5);
  c.SetSetting("/g", "1", 0);
  c.SetSetting("/s", "2", 5);
  const struct {
    const char* what;
    std::function<void(bool wide)> call;
    std::string line;
  } cases[] = {
      {"global hit", [&](bool w) { w ? (void)c.GetSettingW("/g", 0) : (void)c.GetSetting("/g", 0); },
       "[key = /g] => [value = 1]"},
      {"session hit", [&](bool w) { w ? (void)c.GetSettingW("/s", 5) : (void)c.GetSetting("/s", 5); },
       "[session = 5] [key = /s] => [value = 2]"},
      {"fallback", [&](bool w) { w ? (void)c.GetSettingW("/g", 5) : (void)c.GetSetting("/g", 5); },
       "[session = ALL] [key = /g] => [value = 1]"},
      {"global write",
       [&](bool w) { w ? c.ModifyGlobalSetting("/g", ascommon::usstring(L"3")) : c.ModifyGlobalSetting("/g", "3"); },
       "[key = /g] <= [value = 3]"},
      {"session write",
       [&](bool w) {
         w ? c.ModifySessionSetting("/s", ascommon::usstring(L"4"), 5) : c.ModifySessionSetting("/s", "4", 5);
       },
       "[session = 5] [key = /s] <= [value = 4]"},
  };
  for (const auto& k : cases)
    for (bool wide : {false, true}) {
      SCOPED_TRACE(testing::Message() << k.what << (wide ? " wide" : " narrow"));
      TraceLog log("debug");
      k.call(wide);
      EXPECT_EQ(1, log.Count(k.line)) << log.Since();
    }
}

TEST(PresetTrace, MissingFilesAreAnnounced) {
  TempDir dir;
  CConfigurer c;
  TestModule m("Mod", AS_KIND_FILTER);
  c.AddNotifiableObject(&m);
  for (const char* key : {"/eml/global/SharedDataPath", "/http/general/ParentalSharedDataPath",
                          "/http/general/PhishingSharedDataPath"})
    c.SetSetting(key, dir.path.c_str(), 0);
  c.SetSetting("/send/global/SharedDataPath", "/nonexistent-dir", 0);
  TraceLog log("debug");
  EXPECT_EQ(0, c.ApplySettings(AS_PRODUCT_ALL, 0));
  for (const char* f : {"asconf.ini", "pcconf.ini", "phconf.ini"}) EXPECT_EQ(1, log.Count("Nu exista " + dir / f)) << f;
  EXPECT_EQ(1, log.Count("Error loading sendconf.ini. Some fine tuning settings may not be available: "
                         "ASException - MESSAGE: error loading ini file"));
}

TEST(ApplyTrace, TimingLinesAndSkips) {
  CConfigurer c;
  TestModule a("Alpha", AS_KIND_FILTER), b("Beta", AS_KIND_FILTER), idle("Idle", AS_KIND_FILTER);
  for (TestModule* m : {&a, &b, &idle}) c.AddNotifiableObject(m);
  c.CreateSet(7);
  a.AddSession(7);
  a.enabled.insert(7);
  idle.AddSession(7);
  c.SetSetting("/eml/dispatcher/benchmark/LogFilterRunTime", "1", 7);
  TraceLog log("debug");
  EXPECT_EQ(0, c.ApplySettings(AS_PRODUCT_ALL, 0));
  EXPECT_EQ(0, c.ApplySettings(AS_PRODUCT_ALL, 7));
  std::string text = log.Since();
  // Global timing stays off: the key is set for session 7 only.
  EXPECT_EQ(std::string::npos, text.find("Time to apply global settings"));
  for (const char* m : {"Alpha", "Beta", "Idle"})
    EXPECT_EQ(1, CountTimed(text, std::string("Time to apply session settings for module [") + m + "] : ", " sec"));
  EXPECT_EQ(1, CountTimed(text, "Time to apply all session settings: ", " seconds"));
  EXPECT_EQ(1, log.Count("will skip shared settings application for module 'Idle' (module is not enabled on any "
                         "session)"));
  EXPECT_EQ(1, log.Count("will skip session settings application for module 'Idle' on session 7 (filter was not "
                         "specifically enabled by the user)"));
  EXPECT_EQ(1, log.Count("invalid session ID (7)")); // Beta has no entry for session 7
  EXPECT_EQ(1, log.Count("will apply session settings for module 'Alpha' on session 7"));
}
