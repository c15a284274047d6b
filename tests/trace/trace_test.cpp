// trace_test.cpp - the trace log, read back from the real as2_debug.log.
//
// Starting the log changes the environment, the _as_trace hook and the open
// file of the whole process, so every start runs in a forked child inside a
// private directory, and the parent reads the file afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <sstream>
#include <string>

#include "hooks.h"
#include "temp_dir.h"
#include "trace.h"
#include "tracer.h"

using ascommon::as_tracer_start;

namespace {

// The source lines of the two trace calls, for the prefix checks.
const int kHelloLine = __LINE__ + 1;
void TraceHello(int level, int n) { AS_TRACE(level, "hello %d", n); }
const int kBusyLine = __LINE__ + 1;
void* TraceBusy(void*) { for (int i = 0; i < 300; ++i) AS_TRACE(3, "a line from a busy thread"); return nullptr; }

std::string Log(const TempDir& dir) { return dir.Read("as2_debug.log"); }

// Runs body in a child with AS_TRACER_LEVEL and AS_TRACER_PATH set (unset
// when null); answers the body's result, or -1 if the child did not exit.
int InChild(const char* level, const char* path, const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    level ? setenv("AS_TRACER_LEVEL", level, 1) : unsetenv("AS_TRACER_LEVEL");
    path ? setenv("AS_TRACER_PATH", path, 1) : unsetenv("AS_TRACER_PATH");
    _exit(body());
  }
  int status = 0;
  return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Banner(const char* level) {
  return std::string("\n---------------------------\n| ") + level + " trace log started |\n---------------------------\n";
}

// The prefix built by hand from the layout rules: 20-character tag, 8
// upper-case hex digits of the thread (the forked child's thread has the
// parent's id), file name right-aligned in 20 columns, line left-aligned in 4.
std::string Prefix(int line, std::string tid = "") {
  char id[16];
  snprintf(id, sizeof id, "%08X", (unsigned)(uintptr_t)pthread_self());
  std::string l = std::to_string(line);
  return "[ANTISPAM          ] [" + (tid.empty() ? id : tid) + "][      trace_test.cpp:" + l +
         std::string(4 - l.size(), ' ') + "] - ";
}
std::string Hello(int n) { return Prefix(kHelloLine) + "hello " + std::to_string(n) + "\n"; }

} // namespace

TEST(TracerStart, LevelFromTheVariableIgnoresCaseFiltersAndRestarts) {
  TempDir dir;
  ASSERT_EQ(0, InChild("WaRnInG", dir.path.c_str(), [] {
    if (as_tracer_start(nullptr) != 0 || ascommon::as_tracer_level() != 3) return 1;
    TraceHello(4, 1);
    TraceHello(3, 2);
    setenv("AS_TRACER_LEVEL", "critical", 1); // a second start appends a second banner
    if (as_tracer_start(nullptr) != 0) return 2;
    TraceHello(2, 3);
    TraceHello(1, 4);
    return 0;
  }));
  EXPECT_EQ(Banner("WARNING") + Hello(2) + Banner("CRITICAL") + Hello(4), Log(dir));
}

TEST(TracerStart, MarkerFilesWhenTheVariableNamesNoLevel) {
  for (const char* value : {"none", "5", ""}) {
    SCOPED_TRACE(value);
    TempDir dir;
    dir.Write("antispam.trace.critical");
    dir.Write("antispam.trace.alert");
    ASSERT_EQ(0, InChild(value, dir.path.c_str(), [&] {
      if (as_tracer_start(dir.path.c_str()) != 0) return 1;
      TraceHello(3, 1);
      TraceHello(2, 2);
      return 0;
    }));
    EXPECT_EQ(Banner("ALERT") + Hello(2), Log(dir)) << "the more verbose marker wins";
  }
}

TEST(TracerStart, DirectoryIsNotAMarkerAndNothingAskedWritesNothing) {
  TempDir dir;
  ASSERT_EQ(0, mkdir((dir / "antispam.trace.debug").c_str(), 0755));
  EXPECT_EQ(0, InChild(nullptr, nullptr, [&] {
    if (chdir(dir.path.c_str()) != 0 || as_tracer_start(dir.path.c_str()) == 0) return 1;
    TraceHello(1, 1);
    return _as_trace == as_trace_nothing ? 0 : 2;
  }));
  EXPECT_NE(0, access((dir / "as2_debug.log").c_str(), F_OK));
  dir.Write("antispam.trace.critical");
  EXPECT_EQ(0, InChild(nullptr, dir.path.c_str(), [&] { return as_tracer_start(dir.path.c_str()); }));
  EXPECT_EQ(Banner("CRITICAL"), Log(dir));
}

TEST(TracerStart, LogFileLocation) {
  TempDir cwd, dir;
  EXPECT_EQ(0, InChild("debug", nullptr, [&] { return chdir(cwd.path.c_str()) ? 9 : as_tracer_start(nullptr); }));
  EXPECT_EQ(Banner("DEBUG"), Log(cwd)) << "unset: the current directory";
  std::string slashed = dir.path + "/";
  EXPECT_EQ(0, InChild("alert", slashed.c_str(), [] { return as_tracer_start(nullptr); }));
  EXPECT_EQ(Banner("ALERT"), Log(dir)) << "a trailing slash names the same file";
  std::string missing = dir / "missing";
  EXPECT_EQ(0, InChild("debug", missing.c_str(), [] {
    return as_tracer_start(nullptr) != 0 && _as_trace == as_trace_nothing ? 0 : 1;
  })) << "a file that cannot be opened leaves tracing off";
}

TEST(TracerWrite, NullFormatLongLinesAndStop) {
  TempDir dir;
  ASSERT_EQ(0, InChild("debug", dir.path.c_str(), [] {
    if (as_tracer_start(nullptr) != 0) return 1;
    const char* volatile no_format = nullptr;
    _as_trace(1, no_format);
    AS_TRACE(1, "%s", std::string(3000, 'x').c_str());
    TraceHello(4, 7);
    ascommon::as_tracer_stop();
    TraceHello(1, 8);
    ascommon::as_tracer_stop(); // safe twice
    return _as_trace == as_trace_nothing && ascommon::as_tracer_level() == 0 ? 0 : 2;
  }));
  // The long line is cut at 1998 bytes and loses its newline, so the next
  // line follows directly; nothing comes after the stop.
  std::string log = Log(dir), banner = Banner("DEBUG");
  ASSERT_EQ(banner.size() + 1998u + Hello(7).size(), log.size());
  EXPECT_EQ(banner, log.substr(0, banner.size()));
  EXPECT_EQ(std::string(20, 'x'), log.substr(banner.size() + 1978, 20));
  EXPECT_EQ(Hello(7), log.substr(banner.size() + 1998));
}

TEST(TracerWrite, ConcurrentLinesNeverInterleave) {
  TempDir dir;
  ASSERT_EQ(0, InChild("debug", dir.path.c_str(), [] {
    if (as_tracer_start(nullptr) != 0) return 1;
    pthread_t threads[4];
    for (pthread_t& t : threads) pthread_create(&t, nullptr, TraceBusy, nullptr);
    for (pthread_t& t : threads) pthread_join(t, nullptr);
    return 0;
  }));
  std::istringstream in(Log(dir).substr(Banner("DEBUG").size()));
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    std::string tid = line.size() > 30 ? line.substr(22, 8) : ""; // everything but the thread id is known
    ASSERT_TRUE(tid.size() == 8 && tid.find_first_not_of("0123456789ABCDEF") == std::string::npos) << line;
    ASSERT_EQ(Prefix(kBusyLine, tid) + "a line from a busy thread", line);
  }
  EXPECT_EQ(4 * 300, count);
}
