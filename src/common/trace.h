// trace.h - the one trace call used everywhere (library and plug-ins).
//
// Every line goes through the _as_trace hook with the fixed prefix, the
// calling thread, the source file's base name and the line number, in that
// order. When tracing is off the hook is an empty function: a trace call is
// one indirect call and formats nothing (in the library: one comparison).
#pragma once

#include <pthread.h>
#include <stdint.h>

#include "hooks.h"

enum ASTraceLevel { AS_TL_NONE = 0, AS_TL_CRITICAL = 1, AS_TL_ALERT = 2, AS_TL_WARNING = 3, AS_TL_DEBUG = 4 };

#define AS_TRACE_PREFIX "[ANTISPAM          ] [%08X][%20s:%-4d] - "
#define AS_TRACE_EXC_PREFIX "[ANTISPAM EXCEPTION] [%08X][%20s:%-4d] - "

#if defined(__FILE_NAME__)
#define AS_FILE_BASENAME __FILE_NAME__
#else
constexpr const char* as_file_basename(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/') base = p + 1;
  return base;
}
#define AS_FILE_BASENAME as_file_basename(__FILE__)
#endif

// Low 32 bits of the thread id, as %08X prints them.
#define AS_THREAD_ID() ((unsigned)(uintptr_t)pthread_self())

// In the library's own code a trace call first compares the hook with the
// empty function, so while tracing is off not even its arguments are
// evaluated. Plug-ins hold a copy of the library's hook, not its address of
// the empty function, and always call.
#if defined(ASCORE_LIBRARY)
#define AS_TRACE_WANTED() (_as_trace != as_trace_nothing)
#else
#define AS_TRACE_WANTED() true
#endif

#define AS_TRACE(level, format, ...)                                                       \
  do {                                                                                     \
    if (AS_TRACE_WANTED())                                                                 \
      _as_trace((level), AS_TRACE_PREFIX format "\n", AS_THREAD_ID(), AS_FILE_BASENAME,     \
                (int)__LINE__, ##__VA_ARGS__);                                             \
  } while (0)

#define AS_TRACE_EXCEPTION(level, format, ...)                                             \
  do {                                                                                     \
    if (AS_TRACE_WANTED())                                                                 \
      _as_trace((level), AS_TRACE_EXC_PREFIX format "\n", AS_THREAD_ID(), AS_FILE_BASENAME, \
                (int)__LINE__, ##__VA_ARGS__);                                             \
  } while (0)
