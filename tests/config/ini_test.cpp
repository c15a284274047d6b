// Flat and sectioned ini readers on real files, and LoadIniFile into a store.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "config_test_util.h"
#include "inifile.h"
#include "inifile2.h"

using ascommon::CIniFile;
using ascommon::CIniFile2;
using ascommon::CIniSection;
typedef std::vector<std::pair<std::string, std::string>> Pairs;

namespace {

Pairs ReadFlat(const std::string& content, int* result = nullptr) {
  TempDir dir;
  CIniFile ini;
  int r = ini.ReadFile(dir.Write("f.ini", content).c_str());
  if (result) *result = r;
  Pairs out;
  for (int i = 0; i < ini.GetCount(); ++i) out.emplace_back(ini.GetEntry(i).key, ini.GetEntry(i).value);
  return out;
}

Pairs Section(const CIniFile2& ini, const char* name) {
  CIniSection s;
  ini.GetSection(name, s);
  Pairs out;
  for (auto& p : s) out.emplace_back(p.first.c_str(), p.second.c_str());
  return out;
}

} // namespace

TEST(FlatIni, TrimmingLineEndsAndIgnoredLines) {
  EXPECT_EQ((Pairs{{"/k", "v"}}), ReadFlat("/k = v\r\n"));
  EXPECT_EQ((Pairs{{"/k", "v \t"}}), ReadFlat("/k=\t v \t\n"));     // value keeps trailing blanks
  EXPECT_EQ((Pairs{{"  /a", "1"}}), ReadFlat("  /a=1\n"));          // key keeps leading blanks
  EXPECT_EQ((Pairs{{" ", "x"}}), ReadFlat(" =x\n"));                 // first byte stays
  EXPECT_EQ((Pairs{{"/k", "a=b"}}), ReadFlat("/k=a=b\n"));           // split at the first "="
  EXPECT_EQ((Pairs{{"a", "b"}}), ReadFlat("a=b"));                   // 3 bytes, no line end
  EXPECT_EQ((Pairs{{"#k", "v"}}), ReadFlat("#k=v\n;k=v\n"));         // only ";" is a comment
  EXPECT_EQ((Pairs{}), ReadFlat("=v\n/k=\n/k= \t\nnoequals\nab\n\n"));
  int r = -1;
  EXPECT_EQ((Pairs{}), ReadFlat(";one=1\n;two=2\n", &r));
  EXPECT_EQ(0, r);
  CIniFile ini;
  EXPECT_EQ(-3, ini.ReadFile("/nonexistent/dir/f.ini"));
}

TEST(FlatIni, DuplicatesKeptInTableFirstWinsInWideMap) {
  TempDir dir;
  CIniFile ini;
  ASSERT_EQ(0, ini.ReadFile(dir.Write("d.ini", "/k=first\n/k=second\n/j=x\n").c_str()));
  EXPECT_EQ(3, ini.GetCount());
  ascommon::CMap<ascommon::usstring, ascommon::usstring> wide(32);
  ASSERT_EQ(0, ini.ToWideMap(wide));
  EXPECT_EQ(2u, wide.GetCount());
  ascommon::usstring* v = wide.Find(ascommon::usstring(L"/k"));
  ASSERT_NE(nullptr, v);
  EXPECT_EQ(std::wstring(L"first"), v->c_str());
  ini.Clear();
  EXPECT_EQ(0, ini.GetCount());
}

TEST(FlatIni, LongLineIsReadInPiecesAndTheTableNeverOverflows) {
  // 600 bytes: a 542-byte piece, then the 58 bytes that follow.
  std::string line = "/a=" + std::string(539, 'x') + "/b=" + std::string(54, 'y') + "\n";
  ASSERT_EQ(600u, line.size());
  EXPECT_EQ((Pairs{{"/a", std::string(539, 'x')}, {"/b", std::string(54, 'y')}}), ReadFlat(line));
  std::string content;
  for (int i = 0; i < 130; ++i) content += "/k" + std::to_string(i) + "=v\n";
  Pairs p = ReadFlat(content);
  ASSERT_EQ(128u, p.size());
  EXPECT_EQ("/k127", p.back().first);
}

TEST(SectionedIni, HeadersCommentsAndInitialSection) {
  TempDir dir;
  CIniFile2 ini;
  ASSERT_EQ(0, ini.Load(dir.Write("s.ini",
                                  "/pre = 0\r\n"
                                  "#/c=1\n;/c=2\n"
                                  "[one]two]trailing\n/a=1\n"
                                  "[ sp ]\n/b=2\n"
                                  "[]\n/e=3\n"
                                  "[noclose\n/f=4\n"
                                  "[one]two]\n/a=5\n/z=6\n")
                            .c_str(),
                        "start"));
  EXPECT_EQ((Pairs{{"/pre", "0"}}), Section(ini, "start"));
  EXPECT_EQ((Pairs{{"/a", "5"}, {"/z", "6"}}), Section(ini, "one]two"));
  EXPECT_EQ((Pairs{{"/b", "2"}}), Section(ini, " sp "));
  // "[noclose" leaves the current section as it was.
  EXPECT_EQ((Pairs{{"/e", "3"}, {"/f", "4"}}), Section(ini, ""));
  EXPECT_EQ(4u, ini.GetSectionCount());
}

TEST(SectionedIni, EmptyKeysValuesAndMinimumLength) {
  TempDir dir;
  CIniFile2 ini;
  ASSERT_EQ(0, ini.Load(dir.Write("e.ini", "=x\n/v=\n=\n/w=").c_str(), "g"));
  EXPECT_EQ((Pairs{{"", "x"}, {"/v", ""}, {"/w", ""}}), Section(ini, "g"));
  CIniFile2 shorter;
  ASSERT_EQ(0, shorter.Load(dir.Write("f.ini", "a=").c_str(), "g")); // 2 bytes: ignored
  EXPECT_EQ(0u, shorter.GetSectionCount());
  EXPECT_EQ(-3, shorter.Load((dir / "absent.ini").c_str(), "g"));
}

TEST(SectionedIni, ByteOrderAndGetSectionMerge) {
  TempDir dir;
  CIniFile2 ini;
  ASSERT_EQ(0, ini.Load(dir.Write("o.ini", "[s]\nb=1\nB=2\na=3\n\xE9=4\nab=5\n").c_str(), "g"));
  EXPECT_EQ((Pairs{{"B", "2"}, {"a", "3"}, {"ab", "5"}, {"b", "1"}, {"\xE9", "4"}}), Section(ini, "s"));
  CIniSection dest;
  dest[ascommon::sstring("a")] = ascommon::sstring("old");
  dest[ascommon::sstring("keep")] = ascommon::sstring("k");
  EXPECT_EQ(6u, ini.GetSection("s", dest));
  EXPECT_STREQ("3", dest[ascommon::sstring("a")].c_str());
  EXPECT_EQ(6u, ini.GetSection("absent", dest));
}

TEST(LoadIniFile, WritesGlobalNarrowAndWideFirstValueWins) {
  TempDir dir;
  CConfigurer c;
  c.SetSetting("/host", "h", 0);
  c.LoadIniFile(dir.Write("l.ini", "/k = one\n/k = two\n/host = file\n").c_str());
  EXPECT_STREQ("one", c.GetSetting("/k", 0));
  EXPECT_EQ(std::wstring(L"one"), c.GetSettingW("/k", 0));
  EXPECT_STREQ("file", c.GetSetting("/host", 0)); // a flat file overwrites
  try {
    c.LoadIniFile((dir / "missing.ini").c_str());
    FAIL() << "no exception";
  } catch (const ASException& e) {
    EXPECT_STREQ("ASException - MESSAGE: error loading ini file", e.what());
  }
}
