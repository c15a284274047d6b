// file_utils_test.cpp - open wrappers, the regular-file test and the file-list
// routine, on real files in a private directory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tracer.h"
#include "x_file_utils.h"

using ascommon::CArray;
using ascommon::FileInfoU;

namespace {

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/ascore-files-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (!path_.empty() && system(cmd.c_str()) != 0) perror("rm");
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

std::string ReadFile(const std::string& path) {
  std::ifstream f(path);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

} // namespace

TEST(FileOpen, NarrowAndWideWrappers) {
  TempDir dir;
  std::string path = dir / "plain.txt";
  WriteFile(path, "content");

  EXPECT_EQ(nullptr, ascommon::as_fopen(nullptr, "r"));
  EXPECT_EQ(nullptr, ascommon::as_fopen(path.c_str(), nullptr));
  FILE* f = ascommon::as_fopen(path.c_str(), "r");
  ASSERT_NE(nullptr, f);
  char buf[16] = {0};
  EXPECT_NE(nullptr, fgets(buf, sizeof buf, f));
  EXPECT_STREQ("content", buf);
  fclose(f);

  std::wstring wpath = Widen(path);
  EXPECT_EQ(nullptr, ascommon::as_wfopen(nullptr, L"r"));
  EXPECT_EQ(nullptr, ascommon::as_wfopen(wpath.c_str(), nullptr));
  EXPECT_EQ(nullptr, ascommon::as_wfopen(wpath.c_str(), L""));
  f = ascommon::as_wfopen(wpath.c_str(), L"a+t");
  ASSERT_NE(nullptr, f);
  fputs(" more", f);
  fclose(f);
  EXPECT_EQ("content more", ReadFile(path));
  EXPECT_EQ(nullptr, ascommon::as_wfopen((wpath + L".missing").c_str(), L"r"));
}

TEST(FileOpen, WideEmptyOrUnconvertiblePathTouchesNothing) {
  // An empty path converts to nothing, so fopen must not even be tried: with
  // mode "w" it would otherwise fail or create something.
  TempDir dir;
  char saved[4096];
  ASSERT_NE(nullptr, getcwd(saved, sizeof saved));
  ASSERT_EQ(0, chdir(dir.path().c_str()));
  EXPECT_EQ(nullptr, ascommon::as_wfopen(L"", L"w"));
  // Not representable in the "C" locale the test runs in.
  EXPECT_EQ(nullptr, ascommon::as_wfopen(L"caf\x00E9.txt", L"w"));
  EXPECT_EQ(0, system(("test -z \"$(ls -A '" + dir.path() + "')\"").c_str())) << "nothing may be created";
  ASSERT_EQ(0, chdir(saved));
}

TEST(FileRegular, FilesDirectoriesAndMissingPaths) {
  TempDir dir;
  WriteFile(dir / "file", "x");
  ASSERT_EQ(0, mkdir((dir / "sub").c_str(), 0755));
  ASSERT_EQ(0, symlink((dir / "file").c_str(), (dir / "link").c_str()));
  EXPECT_EQ(1, ascommon::as_is_regular_file((dir / "file").c_str()));
  EXPECT_EQ(1, ascommon::as_is_regular_file((dir / "link").c_str())) << "stat follows links";
  EXPECT_EQ(0, ascommon::as_is_regular_file((dir / "sub").c_str()));
  EXPECT_EQ(0, ascommon::as_is_regular_file((dir / "missing").c_str()));
  EXPECT_EQ(0, ascommon::as_is_regular_file("/dev/null"));
  EXPECT_EQ(0, ascommon::as_is_regular_file(nullptr));
}

TEST(FileList, SortedRegularFilesAppended) {
  TempDir dir;
  WriteFile(dir / "b.mdl", "");
  WriteFile(dir / "a.mdl", "");
  WriteFile(dir / "a.txt", "");
  ASSERT_EQ(0, mkdir((dir / "c.mdl").c_str(), 0755));

  CArray<FileInfoU, 64> list;
  FileInfoU first;
  first.path = "kept";
  ASSERT_EQ(0, list.Add(first));
  EXPECT_EQ(0, ascommon::as_build_file_list((dir / "*.mdl").c_str(), list));
  ASSERT_EQ(3u, list.GetCount());
  EXPECT_STREQ("kept", list[0].path.c_str());
  EXPECT_EQ(dir / "a.mdl", list[1].path.c_str());
  EXPECT_EQ(dir / "b.mdl", list[2].path.c_str());
}

TEST(FileList, ManyFilesCrossTheGrowthStep) {
  TempDir dir;
  for (int i = 0; i < 70; ++i) {
    char name[32];
    snprintf(name, sizeof name, "m%03d.mdl", i);
    WriteFile(dir / name, "");
  }
  CArray<FileInfoU, 64> list;
  ASSERT_EQ(0, ascommon::as_build_file_list((dir / "*.mdl").c_str(), list));
  ASSERT_EQ(70u, list.GetCount());
  EXPECT_EQ(dir / "m000.mdl", list[0].path.c_str());
  EXPECT_EQ(dir / "m069.mdl", list[69].path.c_str());
}

TEST(FileList, NoMatchAndNullMask) {
  TempDir dir;
  CArray<FileInfoU, 64> list;
  EXPECT_EQ(3, ascommon::as_build_file_list((dir / "*.mdl").c_str(), list));
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(-1, ascommon::as_build_file_list(nullptr, list));

  // Only directories match: glob succeeds but nothing is appended.
  ASSERT_EQ(0, mkdir((dir / "d.mdl").c_str(), 0755));
  EXPECT_EQ(0, ascommon::as_build_file_list((dir / "*.mdl").c_str(), list));
  EXPECT_EQ(0u, list.GetCount());
}

TEST(FileList, TraceLinesOnEveryPathThroughGlob) {
  TempDir dir;
  WriteFile(dir / "x.mdl", "");
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setenv("AS_TRACER_LEVEL", "debug", 1);
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    if (ascommon::as_tracer_start(nullptr) != 0) _exit(1);
    CArray<FileInfoU, 64> list;
    ascommon::as_build_file_list((dir / "*.mdl").c_str(), list);
    ascommon::as_build_file_list((dir / "*.none").c_str(), list);
    ascommon::as_build_file_list(nullptr, list);
    _exit(list.GetCount() == 1 ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));

  std::string log = ReadFile(dir / "as2_debug.log");
  auto count = [&](const std::string& what) {
    int n = 0;
    for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(1, count("] - Building from mask: " + (dir / "*.mdl") + "\n"));
  EXPECT_EQ(1, count("] - Building from mask: " + (dir / "*.none") + "\n"));
  // The closing line ends in an empty line, after a match and after none; a
  // null mask writes nothing at all.
  EXPECT_EQ(2, count("] - \nFile list routine finished.\n\n"));
  EXPECT_EQ(4, count("[ANTISPAM          ]"));
}
