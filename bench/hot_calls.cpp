// hot_calls.cpp - the cost of the core's hot calls, each measured through the
// exported functions against the least the same work costs, side by side in
// one run. Prints one table row per call: ascore, floor, their ratio, the goal
// and whether it is met (or by how much it is missed).
//
// Method: a row runs --rounds rounds; each round times one batch of the ascore
// side and one of the floor, the two in alternating order, and reduces each to
// the time of one operation. Times are the thread's processor time, so other
// processes on a shared machine do not count (the threads row alone is wall
// time: it measures how two threads get on together). The table shows the
// median of each side and the median of the per-round ratios. Allocations are counted by this
// program's own malloc, through which the library, the C++ run-time and the
// plug-ins all allocate.
//
// The floors:
//  - item road: the same module objects called directly, in the order the
//    dispatcher calls them, with the same breaker protocol and a stack record;
//  - black box: std::unordered_map<uint32_t, std::variant<...>> holding what a
//    box can hold;
//  - settings: std::unordered_map<std::string, std::string> found with a key
//    string built beforehand (the session fallback: a miss in the session's
//    map, then the global one).
//
// Usage: hot_calls_bench [--rounds N] [--only ROW]   (ROW: road, work, threads,
// get, box, setting, fallback; --only runs one row, for a profiler).
#include <dlfcn.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>
#include <variant>
#include <vector>

#include "ascore/ascore.h"
#include "bench_work.h"
#include "camodule.h"
#include "plugin_abi.h"

// --- allocation count ------------------------------------------------------

extern "C" void* __libc_malloc(size_t size);
extern "C" void __libc_free(void* block);

namespace {
bool g_counting = false;
uint64_t g_mallocs = 0;
} // namespace

extern "C" __attribute__((visibility("default"))) void* malloc(size_t size) {
  if (g_counting) ++g_mallocs;
  return __libc_malloc(size);
}
extern "C" __attribute__((visibility("default"))) void free(void* block) { __libc_free(block); }

namespace hot {

template <class T>
inline void Keep(const T& value) {
  asm volatile("" : : "r,m"(value) : "memory");
}

double Clock(clockid_t clock) {
  timespec t;
  clock_gettime(clock, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}
// Wall time, for the threads row.
double Now() { return Clock(CLOCK_MONOTONIC); }
// The calling thread's processor time: what one thread's batch cost, without
// the time other processes held the processor meanwhile.
double Cpu() { return Clock(CLOCK_THREAD_CPUTIME_ID); }

// --- the item road ---------------------------------------------------------

const uint32_t kEntityType = 77;
const uint32_t kVerb = 1;
const uint32_t kCheckVerb = 99;
const int kThreads = 2;

as_session_t* g_sessions[kThreads];

// The module objects the core uses, created by the same factory.
struct Modules {
  CAStreamer* streamer;
  CAFilter* filters[3];
  CAPerformer* performer;
  CABreaker* breaker;
} g_modules;

__attribute__((noinline)) void AscoreRoad(int thread, int n) {
  as_session_t* session = g_sessions[thread];
  as_blackbox_t* bb = as_blackbox_create();
  const as_item_descriptor_t descriptor = {0, 0, kEntityType, 0};
  for (int i = 0; i < n; ++i) {
    as_item_t* item = as_core_item_create(session, &descriptor);
    int32_t rc = as_core_item_process(session, item, kVerb, bb);
    as_core_item_release(session, item);
    if (!item || rc != 0) {
      std::fprintf(stderr, "item road failed: %s\n", as_core_errmsg());
      std::exit(1);
    }
  }
  as_blackbox_release(bb);
}

__attribute__((noinline)) void FloorRoad(int thread, int n) {
  const uint64_t session = (uint64_t)thread + 1;
  const Modules& m = g_modules;
  for (int i = 0; i < n; ++i) {
    ASItem item;
    std::memset(&item, 0, sizeof item);
    item.self = &item;
    item.entity_type = kEntityType;
    for (unsigned k = 0; k < AS_BREAKER_LEVELS; ++k) item.states[k].index = (uint8_t)k;
    CAStream* stream = m.streamer->CreateStream(session, 0, 0, 0);
    for (CAFilter* f : m.filters) {
      Keep(f->GetBreakerIndex(kVerb));
      f->FilterItem(session, &item, kVerb);
    }
    uint32_t index = (uint32_t)m.performer->GetBreakerIndex(kVerb) & 0xFFu;
    m.breaker->BreakItem(session, index, &item);
    Keep(m.performer->PerformItem(session, &item, kVerb));
    m.breaker->ReleaseLevel(session, index, &item);
    delete stream;
  }
}

// Processes one item with the check verb: the dispatcher reports how many of
// the four modules took it and where the breaker left it.
bool RoadIsComplete(as_session_t* session) {
  as_blackbox_t* bb = as_blackbox_create();
  const as_item_descriptor_t descriptor = {0, 0, kEntityType, 0};
  as_item_t* item = as_core_item_create(session, &descriptor);
  int taken = -1, index = -1;
  if (item && as_core_item_process(session, item, kCheckVerb, bb) == 0) {
    as_blackbox_get(bb, 5000, BB_TYPE_INT, &taken, -1);
    as_blackbox_get(bb, 5001, BB_TYPE_INT, &index, -1);
  }
  if (item) as_core_item_release(session, item);
  as_blackbox_release(bb);
  if (taken != 4 || index != 1) std::fprintf(stderr, "item road incomplete: %d of 4 modules, breaker %d\n", taken, index);
  return taken == 4 && index == 1;
}

void* OpenModulesDirectly() {
  void* library = dlopen(ITEM_BENCH_MODULES "/asbench.mdl", RTLD_NOW | RTLD_GLOBAL);
  if (!library) return nullptr;
  auto get = (GetClassFactoryFn)dlsym(library, AS_ENTRY_GET_FACTORY);
  CAClassFactory* factory = get ? get(nullptr) : nullptr;
  if (!factory || factory->GetModuleCount() != 7) return library;
  // Indexes as listed in item_bench_modules.cpp.
  g_modules.streamer = static_cast<CAStreamer*>(factory->CreateModule(0));
  for (int i = 0; i < 3; ++i) g_modules.filters[i] = static_cast<CAFilter*>(factory->CreateModule(2 + i));
  g_modules.performer = static_cast<CAPerformer*>(factory->CreateModule(5));
  g_modules.breaker = static_cast<CABreaker*>(factory->CreateModule(6));
  return library;
}

// Rounds of Spin per microsecond on this machine, the best of a few tries.
uint64_t LoopsPerMicrosecond() {
  const uint64_t loops = 2000000;
  double best = 1e18;
  for (int i = 0; i < 5; ++i) {
    double t0 = Cpu();
    Keep(bench_work::Spin(loops));
    best = std::min(best, Cpu() - t0);
  }
  return (uint64_t)(loops * 1000.0 / best);
}

bool SetWork(uint64_t loops) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu", (unsigned long long)loops);
  return as_core_setting_set(nullptr, bench_work::kLoopsKey, text) == 0 && as_core_settings_apply(nullptr) == 0;
}

// Wall time per operation of `threads` threads each running body(thread, n).
template <class Body>
double Parallel(int threads, int n, Body body) {
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> pool;
  for (int t = 0; t < threads; ++t)
    pool.emplace_back([&, t] {
      ready.fetch_add(1);
      while (!go.load()) {
      }
      body(t, n);
    });
  while (ready.load() != threads) {
  }
  double t0 = Now();
  go.store(true);
  for (std::thread& t : pool) t.join();
  return (Now() - t0) / ((double)n * threads);
}

// --- black boxes -----------------------------------------------------------

const int kKeys = 16;
uint32_t g_keys[kKeys];

using Value = std::variant<bool, int32_t, int64_t, uint64_t, double, std::string, std::wstring, void*>;
using Map = std::unordered_map<uint32_t, Value>;

as_blackbox_t* g_box;
Map g_map;

__attribute__((noinline)) void AscoreGet(int, int n) {
  int32_t sum = 0;
  for (int i = 0; i < n; ++i) {
    int32_t v = 0;
    as_blackbox_get(g_box, g_keys[i & (kKeys - 1)], BB_TYPE_INT, &v, 0);
    sum += v;
  }
  Keep(sum);
}

__attribute__((noinline)) void FloorGet(int, int n) {
  int32_t sum = 0;
  for (int i = 0; i < n; ++i) {
    int32_t v = 0;
    auto it = g_map.find(g_keys[i & (kKeys - 1)]);
    if (it != g_map.end())
      if (const int32_t* p = std::get_if<int32_t>(&it->second)) v = *p;
    sum += v;
  }
  Keep(sum);
}

__attribute__((noinline)) void AscoreBox(int, int n) {
  for (int i = 0; i < n; ++i) {
    as_blackbox_t* bb = as_blackbox_create();
    for (int k = 0; k < kKeys; ++k) as_blackbox_set(bb, g_keys[k], BB_TYPE_INT, k);
    int32_t sum = 0;
    for (int k = 0; k < kKeys; ++k) {
      int32_t v = 0;
      as_blackbox_get(bb, g_keys[k], BB_TYPE_INT, &v, 0);
      sum += v;
    }
    Keep(sum);
    as_blackbox_release(bb);
  }
}

__attribute__((noinline)) void FloorBox(int, int n) {
  for (int i = 0; i < n; ++i) {
    Map m;
    for (int k = 0; k < kKeys; ++k) m.insert_or_assign(g_keys[k], Value((int32_t)k));
    int32_t sum = 0;
    for (int k = 0; k < kKeys; ++k) {
      auto it = m.find(g_keys[k]);
      if (it != m.end())
        if (const int32_t* p = std::get_if<int32_t>(&it->second)) sum += *p;
    }
    Keep(sum);
  }
}

// --- settings --------------------------------------------------------------

const char kGlobalKey[] = "/eml/filter/bayes/DatabaseFile";  // global only
const char kSessionKey[] = "/eml/filter/bayes/Threshold";     // set for the session too

std::unordered_map<std::string, std::string> g_global, g_session;
std::string g_global_probe = kGlobalKey;

__attribute__((noinline)) void AscoreSetting(int, int n) {
  for (int i = 0; i < n; ++i) Keep(as_core_setting_get(nullptr, kGlobalKey));
}

__attribute__((noinline)) void FloorSetting(int, int n) {
  for (int i = 0; i < n; ++i) Keep(g_global.find(g_global_probe)->second.c_str());
}

__attribute__((noinline)) void AscoreFallback(int, int n) {
  for (int i = 0; i < n; ++i) Keep(as_core_setting_get(g_sessions[0], kGlobalKey));
}

__attribute__((noinline)) void FloorFallback(int, int n) {
  for (int i = 0; i < n; ++i) {
    auto it = g_session.find(g_global_probe);
    if (it == g_session.end()) it = g_global.find(g_global_probe);
    Keep(it->second.c_str());
  }
}

// A store shaped like a working one: two hundred keys, a session value.
bool FillSettings() {
  char key[64];
  for (int i = 0; i < 200; ++i) {
    std::snprintf(key, sizeof key, "/eml/filter/module%03d/Setting", i);
    if (as_core_setting_set(nullptr, key, "value") != 0) return false;
    g_global[key] = "value";
  }
  g_global[kGlobalKey] = "/var/lib/ascore/bayes.db";
  g_global[kSessionKey] = "90";
  g_session[kSessionKey] = "75";
  return as_core_setting_set(nullptr, kGlobalKey, "/var/lib/ascore/bayes.db") == 0 &&
         as_core_setting_set(nullptr, kSessionKey, "90") == 0 &&
         as_core_setting_set(g_sessions[0], kSessionKey, "75") == 0;
}

// --- the table -------------------------------------------------------------

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Sides {
  double ascore, floor, ratio; // medians
};

// Per-operation times of both sides over the rounds.
template <class A, class F>
Sides Measure(int rounds, int n, A ascore, F floor) {
  std::vector<double> a, f, r;
  for (int i = 0; i < rounds; ++i) {
    double ta, tf;
    if (i % 2 == 0) {
      ta = ascore(n), tf = floor(n);
    } else {
      tf = floor(n), ta = ascore(n);
    }
    a.push_back(ta), f.push_back(tf), r.push_back(ta / tf);
  }
  return {Median(a), Median(f), Median(r)};
}

template <void (*Body)(int, int)>
double Timed(int n) {
  double t0 = Cpu();
  Body(0, n);
  return (Cpu() - t0) / n;
}

std::string Time(double ns) {
  char text[32];
  if (ns >= 1000)
    std::snprintf(text, sizeof text, "%.2f µs", ns / 1000);
  else
    std::snprintf(text, sizeof text, "%.1f ns", ns);
  return text;
}

// "yes", or how far the ratio is from the goal.
std::string Verdict(double ratio, double goal, bool at_most) {
  char text[64];
  bool met = at_most ? ratio <= goal : ratio >= goal;
  if (met) return "yes";
  std::snprintf(text, sizeof text, "no, %.2f× %s", at_most ? ratio / goal : goal / ratio,
                at_most ? "over" : "under");
  return text;
}

void Row(const char* call, const std::string& ascore, const std::string& floor, double ratio, const char* goal,
         const std::string& met) {
  std::printf("| %s | %s | %s | %.2f× | %s | %s |\n", call, ascore.c_str(), floor.c_str(), ratio, goal, met.c_str());
  std::fflush(stdout);
}

template <void (*Body)(int, int)>
uint64_t AllocationsOfOne() {
  g_mallocs = 0;
  g_counting = true;
  Body(0, 1);
  g_counting = false;
  return g_mallocs;
}

} // namespace hot

int main(int argc, char** argv) {
  using namespace hot;
  int rounds = 15;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::printf("usage: %s [--rounds N] [--only road|work|threads|get|box|setting|fallback]\n"
                  "Prints the cost of the core's hot calls against their floors (median of N rounds, default 15).\n",
                  argv[0]);
      return arg == "--help" || arg == "-h" ? 0 : 2;
    }
  }
  auto wanted = [&](const char* row) { return only.empty() || only == row; };

  if (as_core_instance_init(ITEM_BENCH_MODULES, AS_PRODUCT_ALL) != 0) {
    std::fprintf(stderr, "core start failed: %s\n", as_core_errmsg());
    return 1;
  }
  as_core_settings_apply(nullptr);
  for (as_session_t*& s : g_sessions) {
    s = as_core_session_create();
    if (s) as_core_settings_apply(s);
  }
  void* library = OpenModulesDirectly();
  bool ready = g_sessions[kThreads - 1] && RoadIsComplete(g_sessions[0]) && library && g_modules.breaker &&
               FillSettings();
  for (int k = 0; k < kKeys; ++k) g_keys[k] = 1000u + 7u * (uint32_t)k;
  g_box = as_blackbox_create();
  for (int k = 0; k < kKeys; ++k) {
    ready = ready && as_blackbox_set(g_box, g_keys[k], BB_TYPE_INT, k) == 0;
    g_map.insert_or_assign(g_keys[k], Value((int32_t)k));
  }
  if (!ready) {
    std::fprintf(stderr, "set-up failed: %s\n", library ? as_core_errmsg() : dlerror());
    return 1;
  }

  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("load average before the run: %.2f\n\n", load[0]);
  std::printf("| call | ascore | floor | ratio | goal | met |\n|---|---|---|---|---|---|\n");
  if (wanted("road")) {
    Sides s = Measure(rounds, 20000, Timed<AscoreRoad>, Timed<FloorRoad>);
    Row("item road, trivial modules", Time(s.ascore), Time(s.floor), s.ratio, "≤ 4×", Verdict(s.ratio, 4, true));
  }
  if (wanted("work") || wanted("threads")) {
    if (!SetWork(LoopsPerMicrosecond())) {
      std::fprintf(stderr, "could not give the modules work: %s\n", as_core_errmsg());
      return 1;
    }
  }
  if (wanted("work")) {
    Sides s = Measure(rounds, 400, Timed<AscoreRoad>, Timed<FloorRoad>);
    Row("item road, modules doing 1 µs each", Time(s.ascore), Time(s.floor), s.ratio, "≤ 1.10×",
        Verdict(s.ratio, 1.10, true));
  }
  if (wanted("threads")) {
    // Scaling: throughput of two threads over that of one, each side alone.
    const int n = 400;
    std::vector<double> a, f, r;
    for (int i = 0; i < rounds; ++i) {
      double a1 = Parallel(1, n, AscoreRoad), a2 = Parallel(2, n, AscoreRoad);
      double f1 = Parallel(1, n, FloorRoad), f2 = Parallel(2, n, FloorRoad);
      a.push_back(a1 / a2), f.push_back(f1 / f2), r.push_back((a1 / a2) / (f1 / f2));
    }
    char as[32], fs[32];
    std::snprintf(as, sizeof as, "%.2f× one thread", Median(a));
    std::snprintf(fs, sizeof fs, "%.2f× one thread", Median(f));
    Row("two threads on separate sessions, 1 µs modules", as, fs, Median(r), "≥ 0.97 of the floor's scaling",
        Verdict(Median(r), 0.97, false));
  }
  if (wanted("work") || wanted("threads")) SetWork(0);
  if (wanted("get")) {
    Sides s = Measure(rounds, 400000, Timed<AscoreGet>, Timed<FloorGet>);
    Row("black-box get from a box of 16", Time(s.ascore), Time(s.floor), s.ratio, "≤ 3×", Verdict(s.ratio, 3, true));
  }
  if (wanted("box")) {
    Sides s = Measure(rounds, 5000, Timed<AscoreBox>, Timed<FloorBox>);
    uint64_t na = AllocationsOfOne<AscoreBox>(), nf = AllocationsOfOne<FloorBox>();
    std::string verdict = Verdict(s.ratio, 2.5, true);
    if (na > 20) verdict += (verdict == "yes" ? "; no, " : "; ") + std::to_string(na - 20) + " allocations over";
    Row("black-box create, 16 sets, 16 gets, release", Time(s.ascore) + ", " + std::to_string(na) + " allocations",
        Time(s.floor) + ", " + std::to_string(nf) + " allocations", s.ratio, "≤ 2.5×, allocations ≤ 20", verdict);
  }
  if (wanted("setting")) {
    Sides s = Measure(rounds, 200000, Timed<AscoreSetting>, Timed<FloorSetting>);
    Row("`as_core_setting_get`, global key", Time(s.ascore), Time(s.floor), s.ratio, "≤ 2×", Verdict(s.ratio, 2, true));
  }
  if (wanted("fallback")) {
    Sides s = Measure(rounds, 200000, Timed<AscoreFallback>, Timed<FloorFallback>);
    Row("`as_core_setting_get`, session falls back to global", Time(s.ascore), Time(s.floor), s.ratio, "≤ 2.5×",
        Verdict(s.ratio, 2.5, true));
  }

  // The factory is the core's as well: the core's unload releases it.
  as_blackbox_release(g_box);
  for (as_session_t* s : g_sessions) as_core_session_release(s);
  as_core_instance_release();
  dlclose(library);
  return 0;
}
