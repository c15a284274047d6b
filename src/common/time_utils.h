// time_utils.h - clock reading and time differences.
#pragma once

#include <cstdint>

namespace ascommon {

// Seconds and microseconds, as gettimeofday fills them.
struct as_time_t {
  int64_t seconds;
  int64_t microseconds;
};

// Fills *now; returns gettimeofday's result.
int as_time_now(as_time_t* now);

// *d = a - b, microseconds borrowed from the seconds when needed. Returns 0.
int as_time_diff(const as_time_t& a, const as_time_t& b, as_time_t* d);

// Seconds as a double (seconds + microseconds / 1000000).
inline double as_time_seconds(const as_time_t& t) { return (double)t.seconds + (double)t.microseconds / 1000000.0; }

} // namespace ascommon
