// Settings reads: a global hit, a session hit, and a session miss that falls
// back to the global value. Reads of existing keys must not allocate: the
// "allocs/read" counter counts calls of the _as_new hook.
#include <benchmark/benchmark.h>

#include "configurer.h"
#include "hooks.h"

namespace {

uint64_t g_allocs = 0;
as_new_fn g_saved_new = nullptr;
void* CountingNew(uint64_t size, bool throwing) {
  ++g_allocs;
  return g_saved_new(size, throwing);
}

const char kKey[] = "/eml/global/SharedDataPath";        // beyond the inline key area
const char kSessionKey[] = "/eml/filter/bayes/Threshold"; // set for the session too

// A store shaped like a working one: some hundred keys, a few sessions.
struct Store {
  Store() {
    char key[64];
    for (int i = 0; i < 200; ++i) {
      snprintf(key, sizeof key, "/eml/filter/module%03d/Setting", i);
      c.SetSetting(key, "value", 0);
    }
    c.SetSetting(kKey, "/var/lib/shared", 0);
    c.SetSetting(kSessionKey, "90", 0);
    for (uint64_t s = 1; s <= 8; ++s) {
      c.CreateSet(s);
      c.SetSetting(kSessionKey, "75", s);
    }
  }
  CConfigurer c;
};

void Read(benchmark::State& state, const char* key, uint64_t session) {
  Store store;
  g_allocs = 0;
  g_saved_new = _as_new;
  _as_new = CountingNew;
  for (auto _ : state) benchmark::DoNotOptimize(store.c.GetSetting(key, session));
  _as_new = g_saved_new;
  state.counters["allocs/read"] = benchmark::Counter((double)g_allocs / (double)state.iterations());
}

void BM_GetSettingGlobalHit(benchmark::State& state) { Read(state, kKey, 0); }
void BM_GetSettingSessionHit(benchmark::State& state) { Read(state, kSessionKey, 3); }
void BM_GetSettingSessionFallback(benchmark::State& state) { Read(state, kKey, 3); }

} // namespace

BENCHMARK(BM_GetSettingGlobalHit);
BENCHMARK(BM_GetSettingSessionHit);
BENCHMARK(BM_GetSettingSessionFallback);
BENCHMARK_MAIN();
