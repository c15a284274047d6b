// contract_test.cpp - the binary contract between the core and its plug-ins.
//
// Slot tests read the virtual-table slot of every interface function and
// check its signature: a declaration moved or changed in a header fails here,
// not in a plug-in built elsewhere. The raw plug-in, written without the
// core's headers, checks the layouts from the other side.
// The isolation tests show that SDK-built plug-ins keep their own hooks and
// foundation code although libraries are opened with RTLD_GLOBAL; the heap
// test, that foundation objects made on one side and released on the other
// go through the hooks both ways.
#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "as_errno.h"
#include "blackbox.h"
#include "cadispmgr.h"
#include "caconfigurer.h"
#include "alloc_hooks.h"
#include "heap_plugin.h"
#include "hooks.h"
#include "loader_test_util.h"
#include "plugin_abi.h"

using namespace loader_test;

namespace {

// The slot of a virtual member function: under the Itanium C++ ABI (g++ and
// clang on this platform) a pointer to one holds 1 + its byte offset in the
// virtual table; -1 when the function is not virtual.
template <class F>
long SlotOf(F method) {
  static_assert(sizeof(F) == 2 * sizeof(uintptr_t), "pointer and this-adjustment");
  uintptr_t words[2];
  std::memcpy(words, &method, sizeof words);
  return words[0] % 2 == 1 ? (long)((words[0] - 1) / sizeof(void*)) : -1;
}

template <class Class, class Signature>
using Member = Signature Class::*;

// A function added after everything Base declares takes the first free slot.
template <class Base>
struct Extended : Base {
  virtual void Next() {}
};

} // namespace

// A moved declaration changes the slot; a changed signature fails to compile.
#define EXPECT_SLOT(slot, Class, method, Signature)                                        \
  do {                                                                                      \
    static_assert(std::is_same_v<decltype(&Class::method), Member<Class, Signature>>, #method); \
    EXPECT_EQ(slot, SlotOf(&Class::method)) << #Class "::" #method;                         \
  } while (0)

// Every interface declares its virtual destructor first (slots 0 and 1),
// except the dispatch manager, which the core alone destroys.
static_assert(std::has_virtual_destructor_v<CNotifiableObject> && std::has_virtual_destructor_v<CAStream> &&
              std::has_virtual_destructor_v<CAClassFactory> && std::has_virtual_destructor_v<CAConfigurer>);
static_assert(!std::has_virtual_destructor_v<CADispManager>);

TEST(ContractSlots, ModulesOfEveryKind) {
  using Base = CNotifiableObject;
  EXPECT_SLOT(2, Base, ApplySessionSettings, int(uint64_t));
  EXPECT_SLOT(3, Base, IsEnabledForSession, bool(uint64_t));
  EXPECT_SLOT(4, Base, Reserved4, int());
  EXPECT_SLOT(5, Base, Reserved5, int());
  EXPECT_SLOT(6, Base, ApplySharedSettings, int());
  EXPECT_SLOT(7, Base, CreateSessionData, void*());
  EXPECT_SLOT(8, Base, ReleaseSessionData, void(void*));
  EXPECT_SLOT(9, Base, HandleGlobalRequest, int(CBlackBox*));
  EXPECT_SLOT(10, Base, HandleSessionRequest, int(uint64_t, CBlackBox*));
  EXPECT_SLOT(11, Base, Reserved11, int());
  EXPECT_SLOT(12, CAFilter, GetBreakerIndex, int(uint32_t));
  EXPECT_SLOT(13, CAFilter, FilterItem, int(uint64_t, ASItem*, uint32_t));
  EXPECT_SLOT(14, CAFilter, FilterCommand, int(uint64_t, uint32_t, void*));
  EXPECT_SLOT(12, CAPerformer, PerformItem, int(uint64_t, ASItem*, uint32_t));
  EXPECT_SLOT(13, CAPerformer, GetBreakerIndex, int(uint32_t));
  EXPECT_SLOT(12, CADispatcher, DispatchItem, int(uint64_t, ASItem*, uint32_t, CADispManager*));
  EXPECT_SLOT(13, CADispatcher, DispatchCommand, int(uint64_t, uint32_t, CBlackBox*, CADispManager*));
  EXPECT_SLOT(14, CADispatcher, GetEntityType, uint32_t());
  EXPECT_SLOT(12, CAStreamer, CreateStream, CAStream*(uint64_t, int64_t, int64_t, uint32_t));
  EXPECT_SLOT(13, CAStreamer, GetEntityType, uint32_t());
  EXPECT_SLOT(12, CABreaker, Reserved12, int());
  EXPECT_SLOT(13, CABreaker, BreakItem, void(uint64_t, uint32_t, ASItem*));
  EXPECT_SLOT(14, CABreaker, ReleaseLevel, void(uint64_t, uint32_t, ASItem*));
  EXPECT_SLOT(15, CABreaker, CommitItem, void(uint64_t, uint32_t, ASItem*));
}

TEST(ContractSlots, FactoryDispatchManagerAndConfigurer) {
  EXPECT_SLOT(2, CAClassFactory, GetModuleCount, uint64_t());
  EXPECT_SLOT(3, CAClassFactory, GetModuleName, const ascommon::sstring*(uint64_t));
  EXPECT_SLOT(4, CAClassFactory, CreateModule, CAModule*(uint64_t));

  using Name = const ascommon::sstring&;
  EXPECT_SLOT(0, CADispManager, PassItemToDispatcher, int(uint64_t, ASItem*, uint32_t));
  EXPECT_SLOT(1, CADispManager, PassToFilter, int(uint64_t, Name, ASItem*, uint32_t, ASFilterTiming*));
  EXPECT_SLOT(2, CADispManager, PassToPerformer, int(uint64_t, Name, ASItem*, uint32_t));
  EXPECT_SLOT(3, CADispManager, ReleaseItem, void(uint64_t, ASItem*));
  EXPECT_SLOT(4, CADispManager, PassCommandToDispatcher, int(uint64_t, uint32_t, uint32_t, CBlackBox*));
  EXPECT_SLOT(5, CADispManager, PassCommandToFilter, int(uint64_t, Name, uint32_t, void*));
  EXPECT_SLOT(6, CADispManager, RequestModule, int(uint64_t, Name, CBlackBox*));
  EXPECT_SLOT(7, CADispManager, IsFilterEnabled, bool(Name, uint64_t));
  EXPECT_SLOT(8, CADispManager, Reserved8, int());

  EXPECT_SLOT(2, CAConfigurer, CreateSet, int(uint64_t));
  EXPECT_SLOT(3, CAConfigurer, ReleaseSet, int(uint64_t));
  EXPECT_SLOT(4, CAConfigurer, SetSetting, int(const char*, const char*, uint64_t));
  EXPECT_SLOT(5, CAConfigurer, LookupSetting, const char*(const char*, uint64_t));
  EXPECT_SLOT(6, CAConfigurer, GetSettingW, const wchar_t*(const char*, uint64_t));
  EXPECT_SLOT(7, CAConfigurer, GetSetting, const char*(const char*, uint64_t));
  EXPECT_SLOT(8, CAConfigurer, GetSettingInt, int(const char*, int, uint64_t));
  EXPECT_SLOT(9, CAConfigurer, AddNotifiableObject, int(CNotifiableObject*));
  EXPECT_SLOT(10, CAConfigurer, ApplySettings, int(uint64_t, uint64_t));
}

// What a plug-in calls on the black boxes it is handed and on the error state.
TEST(ContractSlots, BlackBoxAndErrorState) {
  static_assert(std::has_virtual_destructor_v<CBlackBox> && std::has_virtual_destructor_v<AbstractASErrno>);
  using Key = unsigned int;
  EXPECT_SLOT(0, CBlackBox, Set, int(Key, Key, Key, ...));
  EXPECT_SLOT(1, CBlackBox, Get, void*(Key, Key, Key, ...));
  EXPECT_SLOT(2, CBlackBox, SetUnicodeString, int(Key, const wchar_t*));
  EXPECT_SLOT(3, CBlackBox, SetUTF8String, int(Key, const char*));
  EXPECT_SLOT(4, CBlackBox, SetUnicodeArray, int(Key, const wchar_t* const*, size_t));
  EXPECT_SLOT(5, CBlackBox, SetUTF8Array, int(Key, const char* const*, size_t));
  EXPECT_SLOT(6, CBlackBox, SetUnicodeArrayObject, int(Key, const ascommon::CArray<ascommon::usstring, 64>*));
  EXPECT_SLOT(7, CBlackBox, SetUTF8ArrayObject, int(Key, const ascommon::CArray<ascommon::sstring, 64>*));
  EXPECT_SLOT(8, CBlackBox, Remove, int(Key));
  EXPECT_SLOT(9, CBlackBox, Empty, void());
  EXPECT_SLOT(10, CBlackBox, GetCount, Key());
  EXPECT_EQ(13, SlotOf(&Extended<CBlackBox>::Next)) << "the destructor takes 11 and 12";
  EXPECT_SLOT(0, AbstractASErrno, SetCode, AbstractASErrno*(int));
  EXPECT_SLOT(1, AbstractASErrno, SetMessage, AbstractASErrno*(const char*));
  EXPECT_SLOT(2, AbstractASErrno, GetCode, int());
  EXPECT_SLOT(3, AbstractASErrno, GetMessage, const char*());
  EXPECT_EQ(6, SlotOf(&Extended<AbstractASErrno>::Next)) << "the destructor takes 4 and 5";
}

// ---- The plug-in built from the contract alone. ---------------------------
// plugin_core_test drives it through the core; here, the fields the core
// writes must be where the module, declared by layout only, reads them.

TEST(ContractRaw, FieldsWrittenByTheCoreAreWhereTheModuleReadsThem) {
  astest::Scope scope;
  CCoreLoader loader;
  Modules* modules = loader.Load(Dir("raw").c_str(), AS_PRODUCT_ALL);
  ASSERT_EQ((Strings{"RawStreamer", "RawDispatcher", "RawFilter"}), Names(modules));
  for (int i = 0; i < 3; ++i) {
    CAModule* m = (*modules)[i];
    SCOPED_TRACE(m->GetDisplayName().c_str());
    CAConfigurer* store = reinterpret_cast<CAConfigurer*>(0x1230 + i);
    m->SetConfigurer(store);
    m->SetState(AS_STATE_ACTIVE);
    ASSERT_EQ(0, m->SessionMap().Add(7, ASSessionEntry{nullptr, true}));
    ASSERT_EQ(0, m->SessionMap().Add(8, ASSessionEntry{nullptr, false}));
    m->Reserved4(); // the raw module's probe slot
    const char* name = m->GetDisplayName().c_str();
    EXPECT_EQ(store, astest_probe_get(name, "configurer"));
    EXPECT_EQ((const void*)(intptr_t)AS_STATE_ACTIVE, astest_probe_get(name, "state"));
    EXPECT_EQ((const void*)(uintptr_t)(i == 0 ? 5 : i == 1 ? 3 : 1), astest_probe_get(name, "kind"));
    EXPECT_EQ((uint32_t)(i == 0 ? 5 : i == 1 ? 3 : 1), m->GetKind());
    EXPECT_EQ((const void*)2, astest_probe_get(name, "sessions"));
    ASSERT_EQ(0, m->SessionMap().Remove(8));
    // Session 7 stays: the module frees what the core left in its map.
  }
  // The filter has no first name: the core shows the second name's text.
  EXPECT_EQ(nullptr, astest_probe_get("RawFilter", "first_name"));
  EXPECT_EQ((*modules)[2]->GetDisplayName().c_str(), astest_probe_get("RawFilter", "second_name"));
  EXPECT_EQ((*modules)[0]->GetDisplayName().c_str(), astest_probe_get("RawStreamer", "first_name"));
}

// ---- SDK-built plug-ins keep to themselves. --------------------------------

namespace {

std::string LibraryOf(const void* address) {
  Dl_info info{};
  if (!dladdr(address, &info) || !info.dli_fname) return "";
  std::string path = info.dli_fname;
  return path.substr(path.rfind('/') + 1);
}

} // namespace

TEST(ContractIsolation, EachPluginHasItsOwnHooksAndFoundationCode) {
  astest::Scope scope;
  CCoreLoader loader;
  Modules* modules = loader.Load(Dir("isolation").c_str(), AS_PRODUCT_ALL);
  ASSERT_EQ((Strings{"IsoA", "IsoB"}), Names(modules));
  (*modules)[0]->Reserved4();
  (*modules)[1]->Reserved4();
  for (const char* probe : {"hook_variable", "foundation_code"}) {
    SCOPED_TRACE(probe);
    EXPECT_EQ("iso_a.mdl", LibraryOf(astest_probe_get("IsoA", probe)));
    EXPECT_EQ("iso_b.mdl", LibraryOf(astest_probe_get("IsoB", probe)));
  }
  // Both hold the core's hooks, each in its own variables.
  EXPECT_EQ((const void*)_as_new, astest_probe_get("IsoA", "new"));
  EXPECT_EQ((const void*)_as_new, astest_probe_get("IsoB", "new"));
  EXPECT_EQ((const void*)_as_trace, astest_probe_get("IsoB", "trace"));
  // Nothing but the entry points is visible from outside.
  for (const char* lib : {"/iso_a.mdl", "/iso_b.mdl"}) {
    void* handle = dlopen((Dir("isolation") + lib).c_str(), RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(nullptr, handle);
    EXPECT_NE(nullptr, dlsym(handle, "GetClassFactory"));
    // A lookup through the handle also searches the library's dependencies
    // (operator new is found in the C++ run-time): it must not land in ours.
    for (const char* hidden : {"_as_new", "_as_trace", "_Znwm", "_ZdlPv", "_ZN8ascommon7sstringC1EPKc",
                               "_ZN10ascore_sdk12InstallHooksEPK11ASHookTable"}) {
      void* symbol = dlsym(handle, hidden);
      if (symbol) {
        EXPECT_NE(lib + 1, LibraryOf(symbol)) << lib << " exports " << hidden;
      }
    }
    dlclose(handle);
  }
}

TEST(ContractSdk, FactoryIsSharedByLoadersAndReleasedByTheLast) {
  astest::Scope scope;
  CCoreLoader first, second;
  Modules* a = first.Load(Dir("full").c_str(), AS_PRODUCT_ALL);
  Modules* b = second.Load(Dir("full").c_str(), AS_PRODUCT_ALL);
  ASSERT_EQ(a->GetCount(), b->GetCount());
  EXPECT_EQ((*a)[0], (*b)[0]) << "one library, one factory, one set of modules";
  EXPECT_EQ(1, astest_alive("TestStreamer"));
  first.Unload();
  EXPECT_EQ(1, astest_alive("TestStreamer"));
  EXPECT_EQ(1u, static_cast<CAStreamer*>((*b)[0])->GetEntityType());
  second.Unload();
  EXPECT_EQ(0, astest_alive("TestStreamer"));
}

TEST(ContractSdk, PluginWorksOnFallbacksBeforeAnyTable) {
  astest::Scope scope;
  std::string path = Dir("isolation_a") + "/iso_a.mdl";
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle);
  auto get = reinterpret_cast<GetClassFactoryFn>(dlsym(handle, "GetClassFactory"));
  auto release = reinterpret_cast<ReleaseClassFactoryFn>(dlsym(handle, "ReleaseClassFactory"));
  ASSERT_TRUE(get && release);
  CAClassFactory* factory = get(nullptr);
  ASSERT_NE(nullptr, factory);
  CAModule* m = factory->CreateModule(0);
  ASSERT_NE(nullptr, m);
  astest_set_error("IsoA", ASTEST_OP_APPLY_SHARED, ASTEST_ANY, -9, "kept privately");
  _as_set_err(0, "There are no errors");
  m->ApplySharedSettings();
  EXPECT_EQ(0, _as_get_err()->GetCode()) << "without a table the plug-in must not reach the core's error state";
  m->Reserved4();
  EXPECT_EQ(nullptr, astest_probe_get("IsoA", "hooks_installed"));
  EXPECT_NE((const void*)_as_new, astest_probe_get("IsoA", "new"));
  EXPECT_EQ(0, release());
  EXPECT_EQ(-1, release()) << "nothing left to release";
  dlclose(handle);
}

// ---- Foundation objects share the core's heap. ------------------------------
// The plug-in is handed counting hooks; the core's own are put back right
// after loading, so the counts then grow only with what the plug-in allocates
// and releases through its copies.

TEST(ContractHeap, FoundationObjectsCrossTheBoundaryThroughTheHooks) {
  using namespace astest_heap;
  astest::Scope scope;
  CCoreLoader loader;
  Modules* modules = nullptr;
  {
    ScopedAllocCounter counted;
    modules = loader.Load(Dir("heap").c_str(), AS_PRODUCT_ALL);
  }
  ASSERT_EQ(Strings{"HeapFilter"}, Names(modules));
  CAFilter* plugin = static_cast<CAFilter*>((*modules)[0]);

  ascommon::CMap<uint64_t, void*> map(8);
  ascommon::CArray<ascommon::sstring, 64> array;
  Exchange x{&map, new ascommon::sstring[3], &array};
  ASSERT_EQ(0, map.Add(kCoreKey, nullptr));
  ASSERT_EQ(0, array.Add(ascommon::sstring("core")));

  const struct {
    uint32_t command;
    const char* what;
    long news;
    long deletes;
  } kSteps[] = {
      {kRemoveNode, "plug-in releases a node the core added", 0, 1},
      {kDeleteStrings, "plug-in releases a string array the core made", 0, 1},
      {kEmptyArray, "plug-in releases an array buffer the core filled", 0, 1},
      {kAddNode, "plug-in adds a node to the core's map", 1, 0},
      {kNewStrings, "plug-in makes a string array", 1, 0},
      {kFillArray, "plug-in fills the core's empty array", 1, 0},
  };
  for (const auto& step : kSteps) {
    SCOPED_TRACE(step.what);
    long news = ScopedAllocCounter::news(), held = ScopedAllocCounter::held();
    EXPECT_EQ(0, plugin->FilterCommand(0, step.command, &x));
    EXPECT_EQ(step.news, ScopedAllocCounter::news() - news);
    EXPECT_EQ(step.news - step.deletes, ScopedAllocCounter::held() - held);
  }
  EXPECT_EQ(nullptr, map.Find(kCoreKey));
  EXPECT_NE(nullptr, map.Find(kPluginKey));
  ASSERT_EQ(1u, array.GetCount());
  EXPECT_STREQ("plug-in", array[0].c_str());
  ASSERT_NE(nullptr, x.strings);
  EXPECT_STREQ("the plug-in", x.strings[kNewStringCount - 1].c_str());
  {
    // And back: the core releases what the plug-in made through its own
    // hooks, which here are the counted ones again.
    ScopedAllocCounter counted;
    EXPECT_EQ(0, map.Remove(kPluginKey));
    delete[] x.strings;
    array.RemoveAll();
    EXPECT_EQ(0, ScopedAllocCounter::news());
    EXPECT_EQ(-3, ScopedAllocCounter::held()) << "three blocks given back";
  }
  loader.Unload();
}
