// Product presets: which files each product bit reads, fixed versus default
// sections, global versus session application.
#include <gtest/gtest.h>

#include <string>

#include "config_test_util.h"

namespace {

struct Preset {
  uint64_t bit;
  const char* dir_key;
  const char* file;
  bool sectioned;
};
const Preset kPresets[] = {
    {AS_PRODUCT_EML, "/eml/global/SharedDataPath", "asconf.ini", true},
    {AS_PRODUCT_SEND, "/send/global/SharedDataPath", "sendconf.ini", true},
    {AS_PRODUCT_PC, "/http/general/ParentalSharedDataPath", "pcconf.ini", false},
    {AS_PRODUCT_APH, "/http/general/PhishingSharedDataPath", "phconf.ini", false},
};

// A store with one module registered (an application with none reads nothing)
// and every preset directory pointing into its own temporary directory.
struct PresetStore {
  PresetStore() : module("Mod", AS_KIND_FILTER) {
    c.AddNotifiableObject(&module);
    for (const Preset& p : kPresets) c.SetSetting(p.dir_key, dir.path.c_str(), 0);
  }
  TempDir dir;
  TestModule module;
  CConfigurer c;
};

} // namespace

TEST(Presets, EachProductBitReadsOnlyItsFile) {
  for (uint64_t mask : {1u, 2u, 4u, 8u, 16u, 31u}) {
    SCOPED_TRACE(mask);
    PresetStore s;
    for (const Preset& p : kPresets) {
      std::string key = std::string("/from/") + p.file;
      s.dir.Write(p.file, p.sectioned ? "[global_fixed]\n" + key + "=1\n" : key + "=1\n");
    }
    EXPECT_EQ(0, s.c.ApplySettings(mask, 0));
    for (const Preset& p : kPresets) {
      SCOPED_TRACE(p.file);
      EXPECT_EQ((mask & p.bit) != 0, s.c.GetSetting((std::string("/from/") + p.file).c_str(), 0) != nullptr);
    }
  }
}

TEST(Presets, MissingFilesAreCreatedEmptyOnlyWhenAModuleIsRegistered) {
  {
    TempDir dir; // no module: nothing read, nothing created
    CConfigurer c;
    for (const Preset& p : kPresets) c.SetSetting(p.dir_key, dir.path.c_str(), 0);
    c.CreateSet(1);
    EXPECT_EQ(0, c.ApplySettings(AS_PRODUCT_ALL, 0));
    EXPECT_EQ(0, c.ApplySettings(AS_PRODUCT_ALL, 1));
    for (const Preset& p : kPresets) EXPECT_FALSE(FileExists(dir / p.file)) << p.file;
  }
  PresetStore s;
  s.c.SetSetting("/send/global/SharedDataPath", (s.dir.path + "/missing-dir").c_str(), 0);
  EXPECT_EQ(0, s.c.ApplySettings(AS_PRODUCT_IM, 0));
  for (const Preset& p : kPresets) EXPECT_FALSE(FileExists((s.dir / p.file))) << p.file;
  EXPECT_EQ(0, s.c.ApplySettings(AS_PRODUCT_ALL, 0)); // an uncreatable file fails nothing
  for (const Preset& p : kPresets) EXPECT_EQ(p.bit != AS_PRODUCT_SEND, FileExists(s.dir / p.file)) << p.file;
}

TEST(Presets, FixedOverridesEveryTimeDefaultsNeverReplace) {
  PresetStore s;
  s.dir.Write("asconf.ini",
              "/early=e\n"
              "[global_fixed]\n/fixed=file\n"
              "[global_default]\n/def=file\n/hostdef=file\n/fixed=default-loses\n");
  s.c.SetSetting("/fixed", "host", 0);
  s.c.SetSetting("/hostdef", "host", 0);
  EXPECT_EQ(0, s.c.ApplySettings(AS_PRODUCT_EML, 0));
  EXPECT_EQ("file", Str(s.c.GetSetting("/fixed", 0)));
  EXPECT_EQ(std::wstring(L"host"), s.c.GetSettingW("/fixed", 0)); // sections write narrow only
  EXPECT_EQ("e", Str(s.c.GetSetting("/early", 0)));                // before any header: global_fixed
  EXPECT_EQ("file", Str(s.c.GetSetting("/def", 0)));
  EXPECT_EQ("host", Str(s.c.GetSetting("/hostdef", 0)));
  s.c.SetSetting("/fixed", "host-again", 0);
  s.c.SetSetting("/def", "host-def", 0);
  EXPECT_EQ(0, s.c.ApplySettings(AS_PRODUCT_EML, 0));
  EXPECT_EQ("file", Str(s.c.GetSetting("/fixed", 0)));
  EXPECT_EQ("host-def", Str(s.c.GetSetting("/def", 0)));
}

TEST(Presets, SessionApplicationUsesSessionSectionsOnly) {
  PresetStore s;
  s.dir.Write("asconf.ini",
              "[global_fixed]\n/g=global\n"
              "[session_fixed]\n/sf=session\n"
              "[session_default]\n/sd=session\n/shared=session\n");
  s.dir.Write("pcconf.ini", "/pc=1\n");
  s.c.SetSetting("/shared", "global", 0);
  ASSERT_EQ(0, s.c.CreateSet(3));
  s.module.AddSession(3);
  EXPECT_EQ(0, s.c.ApplySettings(AS_PRODUCT_ALL, 3));
  EXPECT_EQ("session", Str(s.c.GetSetting("/sf", 3)));
  EXPECT_EQ(nullptr, s.c.GetSetting("/sf", 0));
  EXPECT_EQ("session", Str(s.c.GetSetting("/sd", 3)));
  EXPECT_EQ("global", Str(s.c.GetSetting("/shared", 3))); // a global value blocks the default
  EXPECT_EQ(nullptr, s.c.GetSetting("/g", 3));
  EXPECT_EQ(nullptr, s.c.GetSetting("/pc", 0));
  EXPECT_FALSE(FileExists((s.dir / "phconf.ini"))); // never looked for
  // A session without a set: every write is refused, the application goes on.
  EXPECT_EQ(0, s.c.ApplySettings(AS_PRODUCT_EML, 4));
  EXPECT_EQ(nullptr, s.c.GetSetting("/sf", 4));
}
