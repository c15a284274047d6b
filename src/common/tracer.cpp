// tracer.cpp - the trace log (as2_debug.log).
//
// Tracing is off until as_tracer_start finds a level, either in the
// AS_TRACER_LEVEL variable or in a marker file "antispam.trace.<level>" in
// the module directory. While it is off _as_trace is the empty function, so a
// trace call formats nothing. While it is on, every line is formatted into one
// preallocated buffer under one mutex and written to an unbuffered stream, so
// lines never interleave, tracing never allocates, and nothing is lost if the
// process dies right after a line.
//
// Threading: the level test runs without the lock (the level only changes in
// a start, which runs before the core exists); everything that touches the
// buffer or the stream holds the mutex.
#include "tracer.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <strings.h>

#include "hooks.h"
#include "sstring.h"
#include "ustring.h"
#include "x_file_utils.h"

namespace ascommon {
namespace {

const char* const kLevelNames[] = {"NONE", "CRITICAL", "ALERT", "WARNING", "DEBUG"};

// The words of AS_TRACER_LEVEL and of the marker files, most verbose first:
// the first match wins, and its index gives the level (4 - index).
const char* const kLevelWords[] = {"debug", "warning", "alert", "critical"};

class CTracer {
public:
  static const size_t kBufferSize = 2000;

  // Constant-initialised, so it is usable before any constructor of the
  // library has run and after every destructor (no ordering problem with
  // other objects that trace while they are built or torn down).
  constexpr CTracer() : level(0), file(nullptr), mutex(PTHREAD_MUTEX_INITIALIZER), buffer{} {}

  std::atomic<int> level;
  FILE* file;
  pthread_mutex_t mutex;
  char buffer[kBufferSize];
};

CTracer g_tracer;

class MutexHold {
public:
  explicit MutexHold(pthread_mutex_t* m) : m_(m) { pthread_mutex_lock(m_); }
  ~MutexHold() { pthread_mutex_unlock(m_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

private:
  pthread_mutex_t* m_;
};

void TraceWrite(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

void TraceWrite(int level, const char* format, ...) {
  if (!format) return;
  if (level > g_tracer.level.load(std::memory_order_relaxed)) return;
  MutexHold hold(&g_tracer.mutex);
  // A stop or a failed restart may have closed the stream after the caller
  // read the hook but before it got the lock.
  if (!g_tracer.file) return;
  va_list args;
  va_start(args, format);
  // 1999 bytes with the terminator: a longer line is cut at 1998 bytes and
  // loses its newline. Formatting and write errors are deliberately ignored.
  vsnprintf(g_tracer.buffer, CTracer::kBufferSize - 1, format, args);
  va_end(args);
  fputs(g_tracer.buffer, g_tracer.file);
}

// Level from AS_TRACER_LEVEL, 0 when unset or not one of the four words
// ("none" included).
int LevelFromEnvironment() {
  const char* value = getenv("AS_TRACER_LEVEL");
  if (!value) return 0;
  for (int i = 0; i < 4; ++i)
    if (strcasecmp(value, kLevelWords[i]) == 0) return 4 - i;
  return 0;
}

// Level from the first marker that exists and is a regular file; a directory
// of the same name does not count. 0 when there is none.
int LevelFromMarkers(const char* module_path) {
  sstring base(module_path ? module_path : "");
  base.append("/antispam.trace.", 16);
  for (int i = 0; i < 4; ++i) {
    sstring marker(base);
    marker.append(kLevelWords[i], strlen(kLevelWords[i]));
    if (marker.c_str() && as_is_regular_file(marker.c_str())) return 4 - i;
  }
  return 0;
}

// Opens <AS_TRACER_PATH or ".">/as2_debug.log for appending. The directory is
// used unchanged (a trailing slash gives a doubled one, which names the same
// file; an empty value puts the file in the root directory). The path goes
// through the wide open wrapper so that a directory name that is not valid in
// the current locale counts as empty instead of being passed on half-converted.
FILE* OpenLog() {
  const char* dir = getenv("AS_TRACER_PATH");
  usstring path;
  if (dir) {
    path = sstring(dir).to_usstring();
  } else {
    path.assign(L".", 1);
  }
  static const wchar_t kName[] = L"/as2_debug.log";
  path.append(kName, sizeof(kName) / sizeof(kName[0]) - 1);
  return as_wfopen(path.c_str(), L"a+t");
}

} // namespace

int as_tracer_start(const char* module_path) {
  int level = LevelFromEnvironment();
  if (level == 0) level = LevelFromMarkers(module_path);
  if (level == 0) {
    // No request for tracing: leave whatever an earlier start set up.
    MutexHold hold(&g_tracer.mutex);
    return g_tracer.file ? 0 : -1;
  }

  MutexHold hold(&g_tracer.mutex);
  g_tracer.level.store(level, std::memory_order_relaxed);
  if (g_tracer.file) {
    fclose(g_tracer.file);
    g_tracer.file = nullptr;
  }
  FILE* file = OpenLog();
  if (!file) {
    _as_trace = as_trace_nothing;
    return -1;
  }
  setvbuf(file, nullptr, _IONBF, 0);
  g_tracer.file = file;
  fputs("\n---------------------------", file);
  fprintf(file, "\n| %s trace log started |", kLevelNames[level]);
  fputs("\n---------------------------\n", file);
  _as_trace = TraceWrite;
  return 0;
}

void as_tracer_stop() {
  // The mutex is static and never destroyed, so a stop is safe to repeat and a
  // late trace call from another destructor finds the empty hook or no file.
  MutexHold hold(&g_tracer.mutex);
  _as_trace = as_trace_nothing;
  if (g_tracer.file) {
    fclose(g_tracer.file);
    g_tracer.file = nullptr;
  }
}

int as_tracer_level() {
  MutexHold hold(&g_tracer.mutex);
  return g_tracer.file ? g_tracer.level.load(std::memory_order_relaxed) : 0;
}

} // namespace ascommon

namespace {
__attribute__((destructor)) void as_tracer_unload() { ascommon::as_tracer_stop(); }
} // namespace
