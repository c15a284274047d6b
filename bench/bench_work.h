// bench_work.h - the unit of work of the benchmark modules, compiled into the
// modules and into the benchmark (which calibrates it to time).
#pragma once

#include <cstdint>

namespace bench_work {

// The global setting that tells the modules how many rounds to spin per call.
const char kLoopsKey[] = "/bench/WorkLoops";

// A dependent chain of multiply-adds: the compiler can neither drop nor
// shorten it, and it runs at the same speed wherever it is compiled.
inline uint64_t Spin(uint64_t loops) {
  uint64_t x = loops;
  for (uint64_t i = 0; i < loops; ++i) x = x * 6364136223846793005ull + 1442695040888963407ull;
  return x;
}

inline void Keep(uint64_t x) { asm volatile("" : : "r"(x)); }

} // namespace bench_work
