// trace_test.cpp - the trace log, read back from the real as2_debug.log.
//
// Starting the log changes the environment, the _as_trace hook and the open
// file of the whole process, so every case runs its start in a child process
// (fork) inside a private directory, and the parent reads the file afterwards.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "hooks.h"
#include "trace.h"
#include "tracer.h"

namespace {

// The source line of the one AS_TRACE call in TraceHello, for the prefix check.
const int kHelloLine = __LINE__ + 1;
void TraceHello(int level, int n) { AS_TRACE(level, "hello %d", n); }

class TempDir {
public:
  TempDir() {
    char tmpl[] = "/tmp/ascore-tracer-XXXXXX";
    path_ = mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::string cmd = "rm -rf '" + path_ + "'";
    if (!path_.empty() && system(cmd.c_str()) != 0) perror("rm");
  }
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

void Touch(const std::string& path) {
  int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
  if (fd >= 0) close(fd);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// Runs body in a child process with a clean tracing environment and answers
// its exit status (the body's result), or -1 when it did not exit normally.
int InChild(const std::function<int()>& body) {
  fflush(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    unsetenv("AS_TRACER_LEVEL");
    unsetenv("AS_TRACER_PATH");
    _exit(body());
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string Banner(const char* level) {
  return std::string("\n---------------------------\n| ") + level +
         " trace log started |\n---------------------------\n";
}

// What the fixed prefix must look like, built by hand from the layout rules:
// 20-character tag, 8 upper-case hex digits of the thread, the file name
// right-aligned in 20 columns, the line left-aligned in 4.
std::string ExpectedHello(int n) {
  char tid[16];
  snprintf(tid, sizeof tid, "%08X", (unsigned)(uintptr_t)pthread_self());
  std::string name = "trace_test.cpp";
  std::string line = std::to_string(kHelloLine);
  return "[ANTISPAM          ] [" + std::string(tid) + "][" + std::string(20 - name.size(), ' ') + name + ":" +
         line + std::string(4 - line.size(), ' ') + "] - hello " + std::to_string(n) + "\n";
}

// One complete line of the concurrency case: prefix with any thread id and
// line number, then the message, nothing missing and nothing mixed in.
bool WholeLine(const std::string& line) {
  const std::string head = "[ANTISPAM          ] [";
  const std::string file = "][      trace_test.cpp:";
  const std::string text = " of a thread with some padding text";
  size_t at = 0;
  if (line.compare(0, head.size(), head) != 0) return false;
  at = head.size();
  for (size_t i = 0; i < 8; ++i, ++at)
    if (at >= line.size() || !strchr("0123456789ABCDEF", line[at]) || !line[at]) return false;
  if (line.compare(at, file.size(), file) != 0) return false;
  at += file.size();
  size_t digits = at;
  while (at < line.size() && isdigit((unsigned char)line[at])) ++at;
  if (at == digits || at - digits > 4) return false;
  while (at < digits + 4 && at < line.size() && line[at] == ' ') ++at;
  if (at != digits + 4 || line.compare(at, 9, "] - line ") != 0) return false;
  at += 9;
  for (size_t i = 0; i < 4; ++i, ++at)
    if (at >= line.size() || !isdigit((unsigned char)line[at])) return false;
  return line.compare(at, std::string::npos, text) == 0;
}

} // namespace

TEST(TracerStart, LevelFromVariableIgnoresCase) {
  TempDir dir;
  int rc = InChild([&] {
    setenv("AS_TRACER_LEVEL", "WaRnInG", 1);
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    if (ascommon::as_tracer_start(nullptr) != 0) return 1;
    if (ascommon::as_tracer_level() != 3) return 2;
    TraceHello(4, 1);
    TraceHello(3, 2);
    TraceHello(1, 3);
    return 0;
  });
  ASSERT_EQ(0, rc);
  EXPECT_EQ(Banner("WARNING") + ExpectedHello(2) + ExpectedHello(3), ReadFile(dir / "as2_debug.log"));
}

TEST(TracerStart, MarkerFilesWhenTheVariableNamesNoLevel) {
  for (const char* value : {"none", "5", ""}) {
    SCOPED_TRACE(value);
    TempDir dir;
    Touch(dir / "antispam.trace.alert");
    Touch(dir / "antispam.trace.critical");
    int rc = InChild([&] {
      setenv("AS_TRACER_LEVEL", value, 1);
      setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
      if (ascommon::as_tracer_start(dir.path().c_str()) != 0) return 1;
      TraceHello(2, 1);
      TraceHello(3, 2);
      return 0;
    });
    ASSERT_EQ(0, rc);
    // The more verbose of the two markers wins.
    EXPECT_EQ(Banner("ALERT") + ExpectedHello(1), ReadFile(dir / "as2_debug.log"));
  }
}

TEST(TracerStart, DirectoryIsNotAMarker) {
  TempDir dir;
  ASSERT_EQ(0, mkdir((dir / "antispam.trace.debug").c_str(), 0755));
  int rc = InChild([&] {
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    return ascommon::as_tracer_start(dir.path().c_str()) == 0 ? 1 : 0;
  });
  EXPECT_EQ(0, rc) << "a directory must not switch tracing on";
  EXPECT_FALSE(Exists(dir / "as2_debug.log"));

  Touch(dir / "antispam.trace.critical");
  rc = InChild([&] {
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    return ascommon::as_tracer_start(dir.path().c_str()) == 0 ? 0 : 1;
  });
  EXPECT_EQ(0, rc);
  EXPECT_EQ(Banner("CRITICAL"), ReadFile(dir / "as2_debug.log"));
}

TEST(TracerStart, NothingAskedNothingWritten) {
  TempDir dir;
  int rc = InChild([&] {
    if (chdir(dir.path().c_str()) != 0) return 9;
    if (ascommon::as_tracer_start(dir.path().c_str()) == 0) return 1;
    if (_as_trace != as_trace_nothing) return 2;
    TraceHello(1, 1);
    return 0;
  });
  EXPECT_EQ(0, rc);
  EXPECT_FALSE(Exists(dir / "as2_debug.log"));
}

TEST(TracerStart, LogFileLocation) {
  // Unset: the current directory.
  TempDir cwd;
  int rc = InChild([&] {
    if (chdir(cwd.path().c_str()) != 0) return 9;
    setenv("AS_TRACER_LEVEL", "debug", 1);
    return ascommon::as_tracer_start(nullptr);
  });
  EXPECT_EQ(0, rc);
  EXPECT_EQ(Banner("DEBUG"), ReadFile(cwd / "as2_debug.log"));

  // A trailing slash doubles the separator, which names the same file.
  TempDir dir;
  rc = InChild([&] {
    setenv("AS_TRACER_LEVEL", "alert", 1);
    setenv("AS_TRACER_PATH", (dir.path() + "/").c_str(), 1);
    return ascommon::as_tracer_start(nullptr);
  });
  EXPECT_EQ(0, rc);
  EXPECT_EQ(Banner("ALERT"), ReadFile(dir / "as2_debug.log"));

  // A directory that does not exist: tracing stays off, quietly.
  rc = InChild([&] {
    setenv("AS_TRACER_LEVEL", "debug", 1);
    setenv("AS_TRACER_PATH", (dir / "missing").c_str(), 1);
    if (ascommon::as_tracer_start(nullptr) == 0) return 1;
    return _as_trace == as_trace_nothing ? 0 : 2;
  });
  EXPECT_EQ(0, rc);
}

TEST(TracerStart, SecondStartAppendsASecondBanner) {
  TempDir dir;
  int rc = InChild([&] {
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    setenv("AS_TRACER_LEVEL", "debug", 1);
    if (ascommon::as_tracer_start(nullptr) != 0) return 1;
    TraceHello(4, 1);
    setenv("AS_TRACER_LEVEL", "critical", 1);
    if (ascommon::as_tracer_start(nullptr) != 0) return 2;
    TraceHello(4, 2);
    TraceHello(1, 3);
    return 0;
  });
  ASSERT_EQ(0, rc);
  EXPECT_EQ(Banner("DEBUG") + ExpectedHello(1) + Banner("CRITICAL") + ExpectedHello(3),
            ReadFile(dir / "as2_debug.log"));
}

TEST(TracerWrite, NullFormatAndLongLines) {
  TempDir dir;
  int rc = InChild([&] {
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    setenv("AS_TRACER_LEVEL", "debug", 1);
    if (ascommon::as_tracer_start(nullptr) != 0) return 1;
    const char* volatile no_format = nullptr;
    _as_trace(1, no_format);
    std::string long_text(3000, 'x');
    AS_TRACE(1, "%s", long_text.c_str());
    TraceHello(4, 7);
    return 0;
  });
  ASSERT_EQ(0, rc);
  std::string log = ReadFile(dir / "as2_debug.log");
  std::string banner = Banner("DEBUG");
  ASSERT_EQ(0u, log.compare(0, banner.size(), banner));
  std::string rest = log.substr(banner.size());
  // The long line is cut at 1998 bytes, without its newline, so the next
  // line follows directly.
  ASSERT_EQ(1998u + ExpectedHello(7).size(), rest.size());
  EXPECT_EQ(std::string(20, 'x'), rest.substr(1978, 20));
  EXPECT_EQ(ExpectedHello(7), rest.substr(1998));
}

TEST(TracerWrite, ConcurrentLinesNeverInterleave) {
  TempDir dir;
  const int kThreads = 4, kLines = 300;
  int rc = InChild([&] {
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    setenv("AS_TRACER_LEVEL", "debug", 1);
    if (ascommon::as_tracer_start(nullptr) != 0) return 1;
    std::vector<pthread_t> threads(kThreads);
    for (auto& t : threads)
      pthread_create(
          &t, nullptr,
          [](void*) -> void* {
            for (int i = 0; i < kLines; ++i) AS_TRACE(3, "line %04d of a thread with some padding text", i);
            return nullptr;
          },
          nullptr);
    for (auto& t : threads) pthread_join(t, nullptr);
    return 0;
  });
  ASSERT_EQ(0, rc);
  std::istringstream in(ReadFile(dir / "as2_debug.log").substr(Banner("DEBUG").size()));
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) ASSERT_TRUE(WholeLine(line)) << line;
  EXPECT_EQ(kThreads * kLines, count);
}

TEST(TracerStop, RestoresTheEmptyFunction) {
  TempDir dir;
  int rc = InChild([&] {
    setenv("AS_TRACER_PATH", dir.path().c_str(), 1);
    setenv("AS_TRACER_LEVEL", "debug", 1);
    if (ascommon::as_tracer_start(nullptr) != 0) return 1;
    if (_as_trace == as_trace_nothing) return 2;
    ascommon::as_tracer_stop();
    if (_as_trace != as_trace_nothing) return 3;
    TraceHello(1, 1);
    ascommon::as_tracer_stop(); // safe twice
    return ascommon::as_tracer_level() == 0 ? 0 : 4;
  });
  ASSERT_EQ(0, rc);
  EXPECT_EQ(Banner("DEBUG"), ReadFile(dir / "as2_debug.log"));
}
