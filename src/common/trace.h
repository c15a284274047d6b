// trace.h - the one trace call used everywhere (library and plug-ins).
//
// Every line goes through the _as_trace hook with the fixed prefix, the
// calling thread, the source file's base name and the line number, in that
// order. When tracing is off the hook is an empty function: a trace call is
// one indirect call and formats nothing.
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

#define AS_TRACE(level, format, ...)                                                  \
  _as_trace((level), AS_TRACE_PREFIX format "\n", AS_THREAD_ID(), AS_FILE_BASENAME,   \
            (int)__LINE__, ##__VA_ARGS__)

#define AS_TRACE_EXCEPTION(level, format, ...)                                        \
  _as_trace((level), AS_TRACE_EXC_PREFIX format "\n", AS_THREAD_ID(), AS_FILE_BASENAME, \
            (int)__LINE__, ##__VA_ARGS__)
