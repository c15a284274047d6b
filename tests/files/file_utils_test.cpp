// file_utils_test.cpp - open wrappers, the regular-file test and the file-list
// routine, on real files in a private directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "temp_dir.h"
#include "trace_log.h"
#include "x_file_utils.h"

using namespace ascommon;

TEST(FileOpen, NarrowAndWideWrappers) {
  TempDir dir;
  std::string path = dir.Write("plain.txt", "content");
  std::wstring wpath(path.begin(), path.end());
  EXPECT_EQ(nullptr, as_fopen(nullptr, "r"));
  EXPECT_EQ(nullptr, as_fopen(path.c_str(), nullptr));
  EXPECT_EQ(nullptr, as_wfopen(nullptr, L"r"));
  EXPECT_EQ(nullptr, as_wfopen(wpath.c_str(), nullptr));
  EXPECT_EQ(nullptr, as_wfopen(wpath.c_str(), L""));
  FILE* f = as_wfopen(wpath.c_str(), L"a+t");
  ASSERT_NE(nullptr, f);
  fputs(" more", f);
  fclose(f);
  char buf[32] = {0};
  ASSERT_NE(nullptr, f = as_fopen(path.c_str(), "r"));
  EXPECT_NE(nullptr, fgets(buf, sizeof buf, f));
  fclose(f);
  EXPECT_STREQ("content more", buf);

  // An empty path, or one the "C" locale cannot represent, must not reach
  // fopen: with mode "w" it would create something.
  char saved[4096];
  ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
  ASSERT_EQ(0, chdir(dir.path.c_str()));
  EXPECT_EQ(nullptr, as_wfopen(L"", L"w"));
  EXPECT_EQ(nullptr, as_wfopen(L"caf\x00E9", L"w"));
  ASSERT_EQ(0, chdir(saved));
  EXPECT_EQ(0, system(("test \"$(ls '" + dir.path + "')\" = plain.txt").c_str()));
}

TEST(FileRegular, FilesDirectoriesAndMissingPaths) {
  TempDir dir;
  ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
  EXPECT_EQ(1, as_is_regular_file(dir.Write("file").c_str()));
  for (const std::string& p : {dir / "sub", dir / "missing", std::string("/dev/null")})
    EXPECT_EQ(0, as_is_regular_file(p.c_str())) << p;
  EXPECT_EQ(0, as_is_regular_file(nullptr));
}

TEST(FileList, SortedRegularFilesAreAppendedAndTraced) {
  TempDir dir;
  for (int i = 69; i >= 0; --i) dir.Write("m" + std::to_string(100 + i) + ".mdl");
  dir.Write("m.txt");
  ASSERT_EQ(0, mkdir((dir / "m000.mdl").c_str(), 0755));
  CArray<FileInfoU, 64> list;
  FileInfoU first;
  first.path = "kept";
  ASSERT_EQ(0, list.Add(first));
  TraceLog trace("debug");
  ASSERT_TRUE(trace.started());
  EXPECT_EQ(0, as_build_file_list((dir / "*.mdl").c_str(), list));
  ASSERT_EQ(71u, list.GetCount());
  EXPECT_STREQ("kept", list[0].path.c_str());
  EXPECT_EQ(dir / "m100.mdl", list[1].path.c_str());
  EXPECT_EQ(dir / "m169.mdl", list[70].path.c_str());
  EXPECT_EQ(3, as_build_file_list((dir / "*.none").c_str(), list));
  EXPECT_EQ(-1, as_build_file_list(nullptr, list));
  EXPECT_EQ(71u, list.GetCount()) << "no match and a null mask leave the list alone";

  const std::string log = trace.Since();
  auto count = [&](const std::string& what) {
    int n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(1, count("] - Building from mask: " + (dir / "*.mdl") + "\n"));
  EXPECT_EQ(1, count("] - Building from mask: " + (dir / "*.none") + "\n"));
  // The closing line ends in an empty line, with or without a match; a null
  // mask writes nothing.
  EXPECT_EQ(2, count("] - \nFile list routine finished.\n\n"));
  EXPECT_EQ(4, count("[ANTISPAM          ]"));
}
