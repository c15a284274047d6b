// item_bench_modules.cpp - the trivial modules of the item benchmark (asbench.mdl).
//
// Entity type 77: a streamer whose stream is an empty object, a dispatcher
// that passes every item to the filters BenchF1, BenchF2, BenchF3 (breaker
// index 0, where a new item already is) and then to the performer BenchP
// (index 1, so every item is broken once and that level released once), and
// a breaker that only marks the level open. None of them does any work of its
// own: what the benchmark measures is the cost of the road between them.
//
// The filters and the performer can be given work to do: each call then runs
// a fixed number of rounds of Spin, as many as the global setting
// /bench/WorkLoops says when the global settings are applied (0 by default).
// The benchmark calibrates rounds to time with its own copy of Spin.
//
// With the verb kCheckVerb the dispatcher also writes into the current black
// box how many of the four modules took the item (key 5000) and the breaker
// index the item ended at (key 5001), so the benchmark can check before it
// measures that the road is the full one and not a string of refusals.
#include "plugin_sdk.h"

#include <atomic>

#include "blackbox.h"
#include "bench_work.h"
#include "cadispmgr.h"

namespace {

const uint32_t kEntityType = 77;
const uint32_t kCheckVerb = 99;

// Read on every call, written only while settings are applied.
std::atomic<uint64_t> g_work{0};

void Work() {
  if (uint64_t loops = g_work.load(std::memory_order_relaxed)) bench_work::Keep(bench_work::Spin(loops));
}

int ReadWork(CAConfigurer* configurer) {
  if (configurer)
    g_work.store((uint64_t)(uint32_t)configurer->GetSettingInt(bench_work::kLoopsKey, 0, 0), std::memory_order_relaxed);
  return 0;
}

class BenchStream : public CAStream {};

class BenchStreamer : public ascore_sdk::CModule<CAStreamer> {
public:
  BenchStreamer() : CModule("BenchStreamer") {}
  CAStream* CreateStream(uint64_t, int64_t, int64_t, uint32_t) override { return new (std::nothrow) BenchStream(); }
  uint32_t GetEntityType() override { return kEntityType; }
};

class BenchDispatcher : public ascore_sdk::CModule<CADispatcher> {
public:
  BenchDispatcher() : CModule("BenchDispatcher"), f1_("BenchF1"), f2_("BenchF2"), f3_("BenchF3"), p_("BenchP") {}
  int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* dm) override {
    int taken = 0;
    taken += dm->PassToFilter(session, f1_, item, verb, nullptr) == AS_DISP_FILTER_PASSED;
    taken += dm->PassToFilter(session, f2_, item, verb, nullptr) == AS_DISP_FILTER_PASSED;
    taken += dm->PassToFilter(session, f3_, item, verb, nullptr) == AS_DISP_FILTER_PASSED;
    int rc = dm->PassToPerformer(session, p_, item, verb);
    taken += rc == 0;
    if (verb == kCheckVerb && item->current_bb) {
      item->current_bb->Set(5000, BB_TYPE_INT, BB_FLAGS_RAW, taken);
      item->current_bb->Set(5001, BB_TYPE_INT, BB_FLAGS_RAW, (int)item->breaker_index);
    }
    return rc;
  }
  int DispatchCommand(uint64_t, uint32_t, CBlackBox*, CADispManager*) override { return 0; }
  uint32_t GetEntityType() override { return kEntityType; }

private:
  ascommon::sstring f1_, f2_, f3_, p_;
};

class BenchFilter : public ascore_sdk::CModule<CAFilter> {
public:
  explicit BenchFilter(const char* name) : CModule(name) {}
  int GetBreakerIndex(uint32_t) override { return 0; }
  int FilterItem(uint64_t, ASItem*, uint32_t) override {
    Work();
    return 0;
  }
  int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }
  int ApplySharedSettings() override { return ReadWork(GetConfigurer()); }
};

class BenchPerformer : public ascore_sdk::CModule<CAPerformer> {
public:
  BenchPerformer() : CModule("BenchP") {}
  int PerformItem(uint64_t, ASItem*, uint32_t) override {
    Work();
    return 0;
  }
  int GetBreakerIndex(uint32_t) override { return 1; }
};

class BenchBreaker : public ascore_sdk::CModule<CABreaker> {
public:
  BenchBreaker() : CModule("BenchBreaker") {}
  void BreakItem(uint64_t, uint32_t index, ASItem* item) override { item->states[index].open = 1; }
  void ReleaseLevel(uint64_t, uint32_t, ASItem*) override {}
  void CommitItem(uint64_t, uint32_t, ASItem*) override {}
};

CAModule* MakeF1() { return new BenchFilter("BenchF1"); }
CAModule* MakeF2() { return new BenchFilter("BenchF2"); }
CAModule* MakeF3() { return new BenchFilter("BenchF3"); }

// The benchmark's floor creates the same modules by index: keep this order.
const ascore_sdk::ModuleEntry kModules[] = {
    {"BenchStreamer", &ascore_sdk::Create<BenchStreamer>},
    {"BenchDispatcher", &ascore_sdk::Create<BenchDispatcher>},
    {"BenchF1", &MakeF1},
    {"BenchF2", &MakeF2},
    {"BenchF3", &MakeF3},
    {"BenchP", &ascore_sdk::Create<BenchPerformer>},
    {"BenchBreaker", &ascore_sdk::Create<BenchBreaker>},
};

} // namespace

ASCORE_PLUGIN_MODULES(kModules)
