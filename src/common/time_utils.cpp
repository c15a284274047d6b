// time_utils.cpp - clock reading and time differences for timing traces.
#include "time_utils.h"

#include <sys/time.h>

namespace ascommon {

int as_time_now(as_time_t* now) {
  struct timeval tv;
  int rc = gettimeofday(&tv, nullptr);
  if (now) {
    now->seconds = rc == 0 ? (int64_t)tv.tv_sec : 0;
    now->microseconds = rc == 0 ? (int64_t)tv.tv_usec : 0;
  }
  return rc;
}

// Borrows one second up front so the microsecond difference never goes
// negative for normalised inputs, then gives back what was not needed.
int as_time_diff(const as_time_t& a, const as_time_t& b, as_time_t* d) {
  int64_t u = a.microseconds + 1000000 - b.microseconds;
  int64_t c = u / 1000000;
  d->seconds = c + a.seconds - 1 - b.seconds;
  d->microseconds = u - c * 1000000;
  return 0;
}

} // namespace ascommon
