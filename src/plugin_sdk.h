// plugin_sdk.h - what a plug-in module library links in to talk to the core.
//
// A plug-in built with ascore_add_plugin() (cmake/plugins.cmake) gets:
//  - its own, hidden copies of the six hooks (_as_new ... _as_trace). Until the
//    core hands over its hook table they fall back to malloc/free, a private
//    error state and a silent trace, so static initialisers and unit tests
//    that poke a module directly never crash. GetClassFactory copies the
//    table; from then on the plug-in's foundation objects come from the
//    core's heap, and it reports into the caller's per-thread error state and
//    writes the core's trace log.
//  - the foundation types (sstring, usstring, CArray, CMap, CList and their
//    nodes, black boxes), whose class allocation operators go to those hook
//    copies: what the core fills and the plug-in releases, or the reverse,
//    comes from and returns to one heap.
//  - helpers for the three entry points, a ready class factory and a module
//    base that fills in kind and names.
//
// The global operator new and delete are not replaced. The plug-in's own
// objects (its modules, std::string, std::vector, ...) live on the ordinary
// process heap, the one the C++ run-time also uses for the members it
// instantiates itself, so they need no care as long as the side that made
// them releases them (the core destroys a module's streams through their
// virtual destructors, which run the plug-in's code). Anything the core is to
// release otherwise must be a foundation object.
//
// None of this is exported: only GetASVersion, GetClassFactory and
// ReleaseClassFactory leave the library (cmake/plugin.map). Two plug-ins
// opened with RTLD_GLOBAL therefore never bind to each other's hooks or
// foundation code.
//
// Minimal plug-in:
//
//   class Hello : public ascore_sdk::CModule<CAFilter> {
//   public:
//     Hello() : CModule("Hello") {}
//     int GetBreakerIndex(uint32_t) override { return 0; }
//     int FilterItem(uint64_t, ASItem*, uint32_t) override { return 0; }
//     int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }
//   };
//   static const ascore_sdk::ModuleEntry kModules[] = {
//     {"Hello", &ascore_sdk::Create<Hello>},
//   };
//   ASCORE_PLUGIN_MODULES(kModules)
//
// See docs/plugins.md for the whole story.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

// Everything a module needs to see of the core: its own interfaces, the
// dispatch manager a dispatcher calls, the black box, the item record, the
// settings store, the error state and the trace macros.
#include "as_errno.h"
#include "asitem.h"
#include "blackbox.h"
#include "cadispmgr.h"
#include "caconfigurer.h"
#include "camodule.h"
#include "containers.h"
#include "exceptions.h"
#include "hooks.h"
#include "plugin_abi.h"
#include "sstring.h"
#include "trace.h"

namespace ascore_sdk {

// ---------------------------------------------------------------------------
// Hooks

// Copies the table's entries into this plug-in's hook variables. A null table
// changes nothing; a null entry keeps the current value of that hook, so a
// half-filled table cannot leave a hook pointing nowhere.
void InstallHooks(const ASHookTable* table);

// Puts the fallbacks back (malloc/free, private error state, silent trace).
// Done when the last class factory is released, since the core that handed
// out the table may be gone after that.
void ResetHooks();

// True once a table has been installed and not reset since.
bool HooksInstalled();

// ---------------------------------------------------------------------------
// Modules

template <class Interface>
struct KindOf;
template <>
struct KindOf<CAFilter> {
  static const uint32_t value = AS_KIND_FILTER;
};
template <>
struct KindOf<CABreaker> {
  static const uint32_t value = AS_KIND_BREAKER;
};
template <>
struct KindOf<CADispatcher> {
  static const uint32_t value = AS_KIND_DISPATCHER;
};
template <>
struct KindOf<CAPerformer> {
  static const uint32_t value = AS_KIND_PERFORMER;
};
template <>
struct KindOf<CAStreamer> {
  static const uint32_t value = AS_KIND_STREAMER;
};

// A module of one of the five interfaces with its kind and names filled in.
// The core looks a module up by its display name: the first name, or the
// second when the first is null. The state starts at "deferred" until the
// settings distribution applies the shared settings.
//
// Throws std::bad_alloc when memory runs out for a name or for the session
// map: such a module would be found under another name, or refuse every
// session, so it is not made at all.
template <class Interface>
class CModule : public Interface {
public:
  explicit CModule(const char* first_name, const char* second_name = nullptr) {
    this->m_kind = KindOf<Interface>::value;
    this->m_first_name = first_name;
    this->m_second_name = second_name;
    this->m_state = AS_STATE_DEFERRED;
    if ((first_name && this->m_first_name.is_null()) || (second_name && this->m_second_name.is_null()) ||
        !this->m_sessions.HasBuckets())
      throw std::bad_alloc();
  }

protected:
  // Test plug-ins need kinds the core rejects; real modules never call this.
  void SetKind(uint32_t kind) { this->m_kind = kind; }
};

// ---------------------------------------------------------------------------
// Class factory

// One offered module: its name (what GetModuleName answers) and how to make
// it. The creator may return null or throw; either way the core is told null,
// and for std::bad_alloc the calling thread's error state gets -102 as well,
// so that the core's start-up fails instead of going on without the module.
struct ModuleEntry {
  const char* name;
  CAModule* (*create)();
};

template <class M>
CAModule* Create() {
  return new M();
}

// A factory over a fixed table of entries. Each index is created at most
// once; a second CreateModule for the same index answers the same object.
// When memory runs out for the table itself the factory offers no module and
// records -102 in the calling thread's error state.
// The factory owns every module it created and destroys them, last created
// first, when it is destroyed (ReleaseClassFactory).
class CTableClassFactory : public CAClassFactory {
public:
  CTableClassFactory(const ModuleEntry* entries, size_t count);
  ~CTableClassFactory() override;

  uint64_t GetModuleCount() override;
  // Null for an index out of range. The string lives as long as the factory.
  const ascommon::sstring* GetModuleName(uint64_t index) override;
  CAModule* CreateModule(uint64_t index) override;

private:
  CTableClassFactory(const CTableClassFactory&) = delete;
  CTableClassFactory& operator=(const CTableClassFactory&) = delete;

  const ModuleEntry* entries_;
  size_t count_;
  ascommon::sstring* names_;     // count_ names, or null when they could not be made
  CAModule** modules_;           // by index; null until created
  ascommon::CArray<uint64_t, 64> order_; // indexes in creation order
};

// ---------------------------------------------------------------------------
// Entry points

// Writes this build's version (the core's major and minor, so the core
// accepts it). Null is ignored. Returns 0.
int FillVersion(ASVersionRecord* version);

// The factory of this library, reference counted: the first acquisition
// installs the hooks and builds the factory with make(), later ones return the
// same object (a library opened by two loaders is opened once by the system).
// Any exception, or a null from make(), yields null and leaves nothing behind;
// std::bad_alloc also records -102 in the calling thread's error state.
CAClassFactory* AcquireFactory(const ASHookTable* hooks, CAClassFactory* (*make)());

// Drops one reference; the last one destroys the factory (and so every module
// it created) and resets the hooks. Returns 0, or -1 when there was nothing to
// release. A library closed without a
// release still destroys its factory when it is unloaded.
int ReleaseFactory();

template <const ModuleEntry* Entries, size_t N>
CAClassFactory* MakeTableFactory() {
  return new CTableClassFactory(Entries, N);
}

} // namespace ascore_sdk

#define ASCORE_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// Defines the three entry points around a factory-making function
// `CAClassFactory* make()`.
#define ASCORE_PLUGIN_ENTRY_POINTS(make_factory)                                              \
  ASCORE_PLUGIN_EXPORT int GetASVersion(ASVersionRecord* version) {                           \
    return ascore_sdk::FillVersion(version);                                                  \
  }                                                                                           \
  ASCORE_PLUGIN_EXPORT CAClassFactory* GetClassFactory(const ASHookTable* hooks) {            \
    return ascore_sdk::AcquireFactory(hooks, (make_factory));                                 \
  }                                                                                           \
  ASCORE_PLUGIN_EXPORT int ReleaseClassFactory() { return ascore_sdk::ReleaseFactory(); }

// Defines the three entry points for a factory over a static ModuleEntry array.
#define ASCORE_PLUGIN_MODULES(entries)                                                        \
  ASCORE_PLUGIN_ENTRY_POINTS((&ascore_sdk::MakeTableFactory<entries, sizeof(entries) / sizeof(entries[0])>))
