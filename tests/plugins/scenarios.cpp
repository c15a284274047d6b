// scenarios.cpp - the module tables and entry points of the test plug-ins.
//
// Compiled once per library with one ASTEST_SCENARIO_<NAME> defined and the
// library's tag in ASTEST_TAG (see CMakeLists.txt and README.md). Libraries
// with a single module take its name from ASTEST_MODULE.
//
// Other switches:
//   ASTEST_VERSION=major,minor,build,revision  reported instead of the core's
//   ASTEST_NULL_FACTORY                        GetClassFactory answers null
//   ASTEST_OMIT_RELEASE                        no ReleaseClassFactory export
#include "astest_control.h"
#include "scriptable.h"

#include <array>
#include <utility>

using astest_plugin::ModuleDef;

namespace {

#if defined(ASTEST_SCENARIO_FULL)
// Every kind; one module known by its second name only.
const ModuleDef kModules[] = {
    {"TestStreamer", nullptr, AS_KIND_STREAMER, 1}, {"TestDispatcher", nullptr, AS_KIND_DISPATCHER, 1},
    {"TestFilterA", nullptr, AS_KIND_FILTER, 0},    {"TestFilterB", nullptr, AS_KIND_FILTER, 0},
    {"TestFilterC", nullptr, AS_KIND_FILTER, 0},    {nullptr, "TestSecondName", AS_KIND_FILTER, 0},
    {"TestPerformer", nullptr, AS_KIND_PERFORMER, 0}, {"TestBreaker", nullptr, AS_KIND_BREAKER, 0},
};
#elif defined(ASTEST_SCENARIO_PREFIXES)
// Names with every product prefix the settings distribution selects by.
const ModuleDef kModules[] = {
    {"EmlFilter", nullptr, AS_KIND_FILTER, 0},  {"ImFilter", nullptr, AS_KIND_FILTER, 0},
    {"HttpFilter", nullptr, AS_KIND_FILTER, 0}, {"AphFilter", nullptr, AS_KIND_FILTER, 0},
    {"PCFilter", nullptr, AS_KIND_FILTER, 0},   {"SENDFilter", nullptr, AS_KIND_FILTER, 0},
    {"PlainFilter", nullptr, AS_KIND_FILTER, 0},
};
#elif defined(ASTEST_SCENARIO_SINGLE)
const ModuleDef kModules[] = {{ASTEST_MODULE, nullptr, AS_KIND_FILTER, 0}};
#elif defined(ASTEST_SCENARIO_ZERO)
[[maybe_unused]] const ModuleDef kModules[1] = {};
#elif defined(ASTEST_SCENARIO_DUP_A)
const ModuleDef kModules[] = {{"DupModule", nullptr, AS_KIND_FILTER, 0}, {"UniqueA", nullptr, AS_KIND_FILTER, 0}};
#elif defined(ASTEST_SCENARIO_DUP_B)
// Repeats a name of the other library and, at index 2, one of its own.
const ModuleDef kModules[] = {{"UniqueB", nullptr, AS_KIND_FILTER, 0}, {"DupModule", nullptr, AS_KIND_PERFORMER, 0},
                              {"UniqueB", nullptr, AS_KIND_PERFORMER, 0}};
#elif defined(ASTEST_SCENARIO_NULL_CREATE)
const ModuleDef kModules[] = {{"Create0", nullptr, AS_KIND_FILTER, 0}, {"Create1", nullptr, AS_KIND_FILTER, 0},
                              {"Create2", nullptr, AS_KIND_FILTER, 0}};
#elif defined(ASTEST_SCENARIO_BAD_KIND0)
const ModuleDef kModules[] = {{"GoodFilter", nullptr, AS_KIND_FILTER, 0}, {"BadKind0", nullptr, 0, 0}};
#elif defined(ASTEST_SCENARIO_BAD_KIND6)
const ModuleDef kModules[] = {{"GoodFilter", nullptr, AS_KIND_FILTER, 0}, {"BadKind6", nullptr, 6, 0}};
#elif defined(ASTEST_SCENARIO_TWO_BREAKERS)
const ModuleDef kModules[] = {
    {"TBStreamer", nullptr, AS_KIND_STREAMER, 1}, {"TBDispatcher", nullptr, AS_KIND_DISPATCHER, 1},
    {"BreakerFirst", nullptr, AS_KIND_BREAKER, 0}, {"TBFilter", nullptr, AS_KIND_FILTER, 0},
    {"BreakerSecond", nullptr, AS_KIND_BREAKER, 0},
};
#elif defined(ASTEST_SCENARIO_TWO_PER_TYPE)
const ModuleDef kModules[] = {
    {"StreamerFirst", nullptr, AS_KIND_STREAMER, 7},     {"StreamerSecond", nullptr, AS_KIND_STREAMER, 7},
    {"DispatcherFirst", nullptr, AS_KIND_DISPATCHER, 7}, {"DispatcherSecond", nullptr, AS_KIND_DISPATCHER, 7},
    {"TwoFilter", nullptr, AS_KIND_FILTER, 0},          {"TwoBreaker", nullptr, AS_KIND_BREAKER, 0},
};
#else
#error "no ASTEST_SCENARIO_<NAME> defined"
#endif

#if defined(ASTEST_SCENARIO_ZERO)
const size_t kCount = 0;
#else
const size_t kCount = sizeof kModules / sizeof kModules[0];
#endif
#if defined(ASTEST_SCENARIO_NULL_CREATE)
const size_t kNullIndex = 1; // CreateModule answers null for this index
#else
const size_t kNullIndex = ~size_t(0);
#endif

template <size_t I>
CAModule* CreateAt() {
  return I == kNullIndex ? nullptr : astest_plugin::MakeModule(kModules[I], ASTEST_TAG);
}

// The SDK's table factory over the scenario's modules.
template <size_t... I>
std::array<ascore_sdk::ModuleEntry, sizeof...(I)> Entries(std::index_sequence<I...>) {
  return {{{astest_plugin::OfferedName(kModules[I]), &CreateAt<I>}...}};
}
const auto kEntries = Entries(std::make_index_sequence<kCount>());

[[maybe_unused]] CAClassFactory* MakeFactory() { return new ascore_sdk::CTableClassFactory(kEntries.data(), kCount); }

} // namespace

ASCORE_PLUGIN_EXPORT int GetASVersion(ASVersionRecord* version) {
#if defined(ASTEST_VERSION)
  *version = ASVersionRecord{ASTEST_VERSION};
  return 0;
#else
  return ascore_sdk::FillVersion(version);
#endif
}

ASCORE_PLUGIN_EXPORT CAClassFactory* GetClassFactory(const ASHookTable* hooks) {
  uint64_t seq = astest_enter(ASTEST_TAG, ASTEST_TAG, ASTEST_OP_FACTORY_GET, 0, 0, 0, 0, nullptr);
#if defined(ASTEST_NULL_FACTORY)
  (void)hooks;
  CAClassFactory* factory = nullptr;
#else
  CAClassFactory* factory = ascore_sdk::AcquireFactory(hooks, &MakeFactory);
#endif
  astest_leave(seq, factory ? 1 : 0);
  return factory;
}

#if !defined(ASTEST_OMIT_RELEASE)
ASCORE_PLUGIN_EXPORT int ReleaseClassFactory() {
  uint64_t seq = astest_enter(ASTEST_TAG, ASTEST_TAG, ASTEST_OP_FACTORY_RELEASE, 0, 0, 0, 0, nullptr);
  int rc = ascore_sdk::ReleaseFactory();
  astest_leave(seq, rc);
  return rc;
}
#endif
