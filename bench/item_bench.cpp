// The road of one item through the exported interface - create, process
// through a dispatcher that calls three filters and a performer (one break,
// one level release), release - against a floor that makes the same module
// calls directly, without the core. Both on 1 and 2 threads, one session per
// thread. The modules (asbench.mdl) do no work of their own, so the ratio of
// the two is the cost of the core's road: argument checks, locks, the item
// record and its black box, the dispatch manager's lookups and the breaker
// protocol.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "ascore/ascore.h"
#include "camodule.h"
#include "plugin_abi.h"

namespace {

const uint32_t kEntityType = 77;
const uint32_t kVerb = 1;
const uint32_t kCheckVerb = 99;
const int kThreads = 2;

as_session_t* g_sessions[kThreads];

// The same module objects the core uses (the library is opened once by the
// system; its factory hands out each module once).
struct Modules {
  CAStreamer* streamer;
  CAFilter* filters[3];
  CAPerformer* performer;
  CABreaker* breaker;
} g_modules;

void CoreRoad(benchmark::State& state) {
  as_session_t* session = g_sessions[state.thread_index()];
  as_blackbox_t* bb = as_blackbox_create();
  const as_item_descriptor_t descriptor = {0, 0, kEntityType, 0};
  for (auto _ : state) {
    as_item_t* item = as_core_item_create(session, &descriptor);
    int32_t rc = as_core_item_process(session, item, kVerb, bb);
    as_core_item_release(session, item);
    if (!item || rc != 0) {
      state.SkipWithError(as_core_errmsg());
      break;
    }
  }
  as_blackbox_release(bb);
  state.SetItemsProcessed(state.iterations());
}

void Floor(benchmark::State& state) {
  const uint64_t session = (uint64_t)state.thread_index() + 1;
  const Modules& m = g_modules;
  for (auto _ : state) {
    ASItem item;
    std::memset(&item, 0, sizeof item);
    item.self = &item;
    item.entity_type = kEntityType;
    for (unsigned k = 0; k < AS_BREAKER_LEVELS; ++k) item.states[k].index = (uint8_t)k;
    CAStream* stream = m.streamer->CreateStream(session, 0, 0, 0);
    for (CAFilter* f : m.filters) {
      benchmark::DoNotOptimize(f->GetBreakerIndex(kVerb));
      f->FilterItem(session, &item, kVerb);
    }
    uint32_t index = (uint32_t)m.performer->GetBreakerIndex(kVerb) & 0xFFu;
    m.breaker->BreakItem(session, index, &item);
    benchmark::DoNotOptimize(m.performer->PerformItem(session, &item, kVerb));
    m.breaker->ReleaseLevel(session, index, &item);
    delete stream;
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(CoreRoad)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(Floor)->Threads(1)->Threads(2)->UseRealTime();

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

bool OpenModulesDirectly(void** library) {
  *library = dlopen(ITEM_BENCH_MODULES "/asbench.mdl", RTLD_NOW | RTLD_GLOBAL);
  if (!*library) return false;
  auto get = (GetClassFactoryFn)dlsym(*library, AS_ENTRY_GET_FACTORY);
  CAClassFactory* factory = get ? get(nullptr) : nullptr;
  if (!factory || factory->GetModuleCount() != 7) return false;
  // Indexes as listed in item_bench_modules.cpp.
  g_modules.streamer = static_cast<CAStreamer*>(factory->CreateModule(0));
  for (int i = 0; i < 3; ++i) g_modules.filters[i] = static_cast<CAFilter*>(factory->CreateModule(2 + i));
  g_modules.performer = static_cast<CAPerformer*>(factory->CreateModule(5));
  g_modules.breaker = static_cast<CABreaker*>(factory->CreateModule(6));
  return true;
}

} // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (as_core_instance_init(ITEM_BENCH_MODULES, AS_PRODUCT_ALL) != 0) {
    std::fprintf(stderr, "core start failed: %s\n", as_core_errmsg());
    return 1;
  }
  as_core_settings_apply(nullptr);
  for (as_session_t*& s : g_sessions) {
    s = as_core_session_create();
    if (s) as_core_settings_apply(s);
  }
  void* library = nullptr;
  int rc = 1;
  if (g_sessions[kThreads - 1] && RoadIsComplete(g_sessions[0]) && OpenModulesDirectly(&library)) {
    benchmark::RunSpecifiedBenchmarks();
    rc = 0;
  } else {
    std::fprintf(stderr, "set-up failed: %s\n", library ? as_core_errmsg() : dlerror() ? dlerror() : "");
  }
  if (library) {
    auto release = (ReleaseClassFactoryFn)dlsym(library, AS_ENTRY_RELEASE_FACTORY);
    if (release) release();
    dlclose(library);
  }
  for (as_session_t* s : g_sessions)
    if (s) as_core_session_release(s);
  as_core_instance_release();
  benchmark::Shutdown();
  return rc;
}
