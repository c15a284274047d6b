// contract_test.cpp - the binary contract between the core and its plug-ins.
//
// Slot tests call every interface through its virtual table by slot number,
// on probe objects that record which operation ran: a declaration moved in a
// header fails here, not in a plug-in built elsewhere. The raw plug-in,
// written without the core's headers, checks the layouts from the other side.
// The isolation tests show that SDK-built plug-ins keep their own hooks and
// foundation code although libraries are opened with RTLD_GLOBAL; the heap
// test, that foundation objects made on one side and released on the other
// go through the hooks both ways.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>

#include "as_errno.h"
#include "blackbox.h"
#include "cadispmgr.h"
#include "caconfigurer.h"
#include "heap_plugin.h"
#include "hooks.h"
#include "loader_test_util.h"
#include "plugin_abi.h"

using namespace loader_test;

namespace {

// Calls slot `slot` of obj's virtual table with the given arguments.
template <class R, class... A>
R Slot(void* obj, int slot, A... args) {
  using Fn = R (*)(void*, A...);
  return reinterpret_cast<Fn>((*reinterpret_cast<void***>(obj))[slot])(obj, args...);
}

std::string g_ran; // the operation the last probe call ran, with its arguments
bool g_destroyed = false;

void Ran(const char* what, uint64_t a = 0, uint64_t b = 0) {
  g_ran = std::string(what) + "(" + std::to_string(a) + "," + std::to_string(b) + ")";
}

// Checks a slot call's result and the operation it ran.
#define EXPECT_SLOT(result, call, ran) \
  do {                                  \
    EXPECT_EQ(result, (call));          \
    EXPECT_EQ(ran, g_ran);              \
  } while (0)

template <class Base>
class BaseProbe : public Base {
public:
  ~BaseProbe() override { g_destroyed = true; }
  int ApplySessionSettings(uint64_t s) override { return Ran("ApplySessionSettings", s), 2; }
  bool IsEnabledForSession(uint64_t s) override { return Ran("IsEnabledForSession", s), true; }
  int Reserved4() override { return Ran("Reserved4"), 4; }
  int Reserved5() override { return Ran("Reserved5"), 5; }
  int ApplySharedSettings() override { return Ran("ApplySharedSettings"), 6; }
  void* CreateSessionData() override { return Ran("CreateSessionData"), (void*)7; }
  void ReleaseSessionData(void* d) override { Ran("ReleaseSessionData", (uint64_t)d); }
  int HandleGlobalRequest(CBlackBox* b) override { return Ran("HandleGlobalRequest", (uint64_t)b), 9; }
  int HandleSessionRequest(uint64_t s, CBlackBox* b) override { return Ran("HandleSessionRequest", s, (uint64_t)b), 10; }
  int Reserved11() override { return Ran("Reserved11"), 11; }
};

class FilterProbe : public BaseProbe<CAFilter> {
public:
  int GetBreakerIndex(uint32_t v) override { return Ran("GetBreakerIndex", v), 12; }
  int FilterItem(uint64_t s, ASItem* i, uint32_t v) override { return Ran("FilterItem", s, (uint64_t)i + v), 13; }
  int FilterCommand(uint64_t s, uint32_t c, void*) override { return Ran("FilterCommand", s, c), 14; }
};

class PerformerProbe : public BaseProbe<CAPerformer> {
public:
  int PerformItem(uint64_t s, ASItem* i, uint32_t v) override { return Ran("PerformItem", s, (uint64_t)i + v), 12; }
  int GetBreakerIndex(uint32_t v) override { return Ran("GetBreakerIndex", v), 13; }
};

class DispatcherProbe : public BaseProbe<CADispatcher> {
public:
  int DispatchItem(uint64_t s, ASItem*, uint32_t v, CADispManager*) override { return Ran("DispatchItem", s, v), 12; }
  int DispatchCommand(uint64_t s, uint32_t v, CBlackBox*, CADispManager*) override {
    return Ran("DispatchCommand", s, v), 13;
  }
  uint32_t GetEntityType() override { return Ran("GetEntityType"), 14; }
};

class StreamerProbe : public BaseProbe<CAStreamer> {
public:
  CAStream* CreateStream(uint64_t s, int64_t p1, int64_t p2, uint32_t sub) override {
    return Ran("CreateStream", s, (uint64_t)(p1 + p2 + sub)), nullptr;
  }
  uint32_t GetEntityType() override { return Ran("GetEntityType"), 13; }
};

class BreakerProbe : public BaseProbe<CABreaker> {
public:
  void BreakItem(uint64_t s, uint32_t i, ASItem*) override { Ran("BreakItem", s, i); }
  void ReleaseLevel(uint64_t s, uint32_t i, ASItem*) override { Ran("ReleaseLevel", s, i); }
  void CommitItem(uint64_t s, uint32_t i, ASItem*) override { Ran("CommitItem", s, i); }
};

class FactoryProbe : public CAClassFactory {
public:
  ~FactoryProbe() override { g_destroyed = true; }
  uint64_t GetModuleCount() override { return Ran("GetModuleCount"), 2; }
  const ascommon::sstring* GetModuleName(uint64_t i) override { return Ran("GetModuleName", i), nullptr; }
  CAModule* CreateModule(uint64_t i) override { return Ran("CreateModule", i), nullptr; }
};

class DispManagerProbe : public CADispManager {
public:
  int PassItemToDispatcher(uint64_t s, ASItem*, uint32_t v) override { return Ran("PassItemToDispatcher", s, v), 0; }
  int PassToFilter(uint64_t s, const ascommon::sstring& n, ASItem*, uint32_t v, ASFilterTiming*) override {
    return Ran("PassToFilter", s, v + n.length()), 1;
  }
  int PassToPerformer(uint64_t s, const ascommon::sstring&, ASItem*, uint32_t v) override {
    return Ran("PassToPerformer", s, v), 2;
  }
  void ReleaseItem(uint64_t s, ASItem*) override { Ran("ReleaseItem", s); }
  int PassCommandToDispatcher(uint64_t s, uint32_t t, uint32_t, CBlackBox*) override {
    return Ran("PassCommandToDispatcher", s, t), 4;
  }
  int PassCommandToFilter(uint64_t s, const ascommon::sstring&, uint32_t c, void*) override {
    return Ran("PassCommandToFilter", s, c), 5;
  }
  int RequestModule(uint64_t s, const ascommon::sstring&, CBlackBox*) override { return Ran("RequestModule", s), 6; }
  bool IsFilterEnabled(const ascommon::sstring&, uint64_t s) override { return Ran("IsFilterEnabled", s), true; }
  int Reserved8() override { return Ran("Reserved8"), 0; }
};

class ConfigurerProbe : public CAConfigurer {
public:
  ~ConfigurerProbe() override { g_destroyed = true; }
  int CreateSet(uint64_t s) override { return Ran("CreateSet", s), 2; }
  int ReleaseSet(uint64_t s) override { return Ran("ReleaseSet", s), 3; }
  int SetSetting(const char*, const char*, uint64_t s) override { return Ran("SetSetting", s), 4; }
  const char* LookupSetting(const char*, uint64_t s) override { return Ran("LookupSetting", s), "5"; }
  const wchar_t* GetSettingW(const char*, uint64_t s) override { return Ran("GetSettingW", s), L"6"; }
  const char* GetSetting(const char*, uint64_t s) override { return Ran("GetSetting", s), "7"; }
  int GetSettingInt(const char*, int d, uint64_t s) override { return Ran("GetSettingInt", s, (uint64_t)d), 8; }
  int AddNotifiableObject(CNotifiableObject* o) override { return Ran("AddNotifiableObject", (uint64_t)o), 9; }
  int ApplySettings(uint64_t m, uint64_t s) override { return Ran("ApplySettings", m, s), 10; }
};

// Slots 0 to 11 of the module base on a probe of any kind.
template <class Probe>
void ExpectBaseSlots() {
  Probe p;
  CBlackBox* box = reinterpret_cast<CBlackBox*>(0x40);
  EXPECT_SLOT(2, (Slot<int, uint64_t>(&p, 2, 21)), "ApplySessionSettings(21,0)");
  EXPECT_SLOT(true, (Slot<bool, uint64_t>(&p, 3, 31)), "IsEnabledForSession(31,0)");
  EXPECT_SLOT(4, Slot<int>(&p, 4), "Reserved4(0,0)");
  EXPECT_SLOT(5, Slot<int>(&p, 5), "Reserved5(0,0)");
  EXPECT_SLOT(6, Slot<int>(&p, 6), "ApplySharedSettings(0,0)");
  EXPECT_SLOT((void*)7, Slot<void*>(&p, 7), "CreateSessionData(0,0)");
  Slot<void, void*>(&p, 8, (void*)81);
  EXPECT_EQ("ReleaseSessionData(81,0)", g_ran);
  EXPECT_SLOT(9, (Slot<int, CBlackBox*>(&p, 9, box)), "HandleGlobalRequest(64,0)");
  EXPECT_SLOT(10, (Slot<int, uint64_t, CBlackBox*>(&p, 10, 101, box)), "HandleSessionRequest(101,64)");
  EXPECT_SLOT(11, Slot<int>(&p, 11), "Reserved11(0,0)");
}

// Slot 0 destroys in place, slot 1 destroys and frees.
template <class Probe>
void ExpectDestructorSlots() {
  alignas(Probe) unsigned char storage[sizeof(Probe)];
  Probe* in_place = new (storage) Probe();
  g_destroyed = false;
  Slot<void>(in_place, 0);
  EXPECT_TRUE(g_destroyed);
  Probe* heap = new Probe();
  g_destroyed = false;
  Slot<void>(heap, 1); // a wrong slot would leak or double free under the sanitizers
  EXPECT_TRUE(g_destroyed);
}

} // namespace

TEST(ContractSlots, ModulesOfEveryKind) {
  ExpectBaseSlots<FilterProbe>();
  ExpectBaseSlots<PerformerProbe>();
  ExpectBaseSlots<DispatcherProbe>();
  ExpectBaseSlots<StreamerProbe>();
  ExpectBaseSlots<BreakerProbe>();
  ExpectDestructorSlots<FilterProbe>();
  ExpectDestructorSlots<BreakerProbe>();

  ASItem* item = reinterpret_cast<ASItem*>(0x100);
  CADispManager* mgr = nullptr;
  FilterProbe f;
  EXPECT_SLOT(12, (Slot<int, uint32_t>(&f, 12, 7)), "GetBreakerIndex(7,0)");
  EXPECT_SLOT(13, (Slot<int, uint64_t, ASItem*, uint32_t>(&f, 13, 3, item, 1)), "FilterItem(3,257)");
  EXPECT_SLOT(14, (Slot<int, uint64_t, uint32_t, void*>(&f, 14, 3, 9, nullptr)), "FilterCommand(3,9)");
  PerformerProbe p;
  EXPECT_SLOT(12, (Slot<int, uint64_t, ASItem*, uint32_t>(&p, 12, 4, item, 2)), "PerformItem(4,258)");
  EXPECT_SLOT(13, (Slot<int, uint32_t>(&p, 13, 8)), "GetBreakerIndex(8,0)");
  DispatcherProbe d;
  EXPECT_SLOT(12, (Slot<int, uint64_t, ASItem*, uint32_t, CADispManager*>(&d, 12, 5, item, 6, mgr)), "DispatchItem(5,6)");
  EXPECT_SLOT(13, (Slot<int, uint64_t, uint32_t, CBlackBox*, CADispManager*>(&d, 13, 5, 7, nullptr, mgr)),
              "DispatchCommand(5,7)");
  EXPECT_SLOT(14u, Slot<uint32_t>(&d, 14), "GetEntityType(0,0)");
  StreamerProbe s;
  EXPECT_SLOT(nullptr, (Slot<CAStream*, uint64_t, int64_t, int64_t, uint32_t>(&s, 12, 2, 10, 20, 3)),
              "CreateStream(2,33)");
  EXPECT_SLOT(13u, Slot<uint32_t>(&s, 13), "GetEntityType(0,0)");
  BreakerProbe b;
  Slot<void, uint64_t, uint32_t, ASItem*>(&b, 13, 6, 1, item);
  EXPECT_EQ("BreakItem(6,1)", g_ran);
  Slot<void, uint64_t, uint32_t, ASItem*>(&b, 14, 6, 2, item);
  EXPECT_EQ("ReleaseLevel(6,2)", g_ran);
  Slot<void, uint64_t, uint32_t, ASItem*>(&b, 15, 6, 3, item);
  EXPECT_EQ("CommitItem(6,3)", g_ran);
}

TEST(ContractSlots, FactoryDispatchManagerAndConfigurer) {
  FactoryProbe f;
  EXPECT_SLOT(2u, Slot<uint64_t>(&f, 2), "GetModuleCount(0,0)");
  EXPECT_SLOT(nullptr, (Slot<const ascommon::sstring*, uint64_t>(&f, 3, 1)), "GetModuleName(1,0)");
  EXPECT_SLOT(nullptr, (Slot<CAModule*, uint64_t>(&f, 4, 1)), "CreateModule(1,0)");
  ExpectDestructorSlots<FactoryProbe>();

  DispManagerProbe m;
  ascommon::sstring name("Name");
  ASItem* item = nullptr;
  using S = const ascommon::sstring*;
  EXPECT_SLOT(0, (Slot<int, uint64_t, ASItem*, uint32_t>(&m, 0, 1, item, 2)), "PassItemToDispatcher(1,2)");
  EXPECT_SLOT(1, (Slot<int, uint64_t, S, ASItem*, uint32_t, ASFilterTiming*>(&m, 1, 1, &name, item, 3, nullptr)),
              "PassToFilter(1,7)"); // 3 + the name's length
  EXPECT_SLOT(2, (Slot<int, uint64_t, S, ASItem*, uint32_t>(&m, 2, 1, &name, item, 4)), "PassToPerformer(1,4)");
  Slot<void, uint64_t, ASItem*>(&m, 3, 9, item);
  EXPECT_EQ("ReleaseItem(9,0)", g_ran);
  EXPECT_SLOT(4, (Slot<int, uint64_t, uint32_t, uint32_t, CBlackBox*>(&m, 4, 1, 77, 5, nullptr)),
              "PassCommandToDispatcher(1,77)");
  EXPECT_SLOT(5, (Slot<int, uint64_t, S, uint32_t, void*>(&m, 5, 1, &name, 6, nullptr)), "PassCommandToFilter(1,6)");
  EXPECT_SLOT(6, (Slot<int, uint64_t, S, CBlackBox*>(&m, 6, 8, &name, nullptr)), "RequestModule(8,0)");
  EXPECT_SLOT(true, (Slot<bool, S, uint64_t>(&m, 7, &name, 3)), "IsFilterEnabled(3,0)");
  EXPECT_SLOT(0, Slot<int>(&m, 8), "Reserved8(0,0)");

  ConfigurerProbe c;
  EXPECT_SLOT(2, (Slot<int, uint64_t>(&c, 2, 1)), "CreateSet(1,0)");
  EXPECT_SLOT(3, (Slot<int, uint64_t>(&c, 3, 1)), "ReleaseSet(1,0)");
  EXPECT_SLOT(4, (Slot<int, const char*, const char*, uint64_t>(&c, 4, "k", "v", 2)), "SetSetting(2,0)");
  EXPECT_STREQ("5", (Slot<const char*, const char*, uint64_t>(&c, 5, "k", 3)));
  EXPECT_EQ("LookupSetting(3,0)", g_ran);
  EXPECT_STREQ(L"6", (Slot<const wchar_t*, const char*, uint64_t>(&c, 6, "k", 4)));
  EXPECT_EQ("GetSettingW(4,0)", g_ran);
  EXPECT_STREQ("7", (Slot<const char*, const char*, uint64_t>(&c, 7, "k", 5)));
  EXPECT_EQ("GetSetting(5,0)", g_ran);
  EXPECT_SLOT(8, (Slot<int, const char*, int, uint64_t>(&c, 8, "k", 42, 6)), "GetSettingInt(6,42)");
  EXPECT_SLOT(9, (Slot<int, CNotifiableObject*>(&c, 9, reinterpret_cast<CNotifiableObject*>(0x90))),
              "AddNotifiableObject(144,0)");
  EXPECT_SLOT(10, (Slot<int, uint64_t, uint64_t>(&c, 10, 31, 7)), "ApplySettings(31,7)");
  ExpectDestructorSlots<ConfigurerProbe>();
}

// The real black box and error state, called the way a plug-in calls them.
TEST(ContractSlots, BlackBoxAndErrorState) {
  CBlackBoxInt* box = CBlackBoxInt::Create();
  ASSERT_NE(nullptr, box);
  using SetFn = int (*)(void*, unsigned, unsigned, unsigned, ...);
  using GetFn = void* (*)(void*, unsigned, unsigned, unsigned, ...);
  void** vt = *reinterpret_cast<void***>(box);
  EXPECT_EQ(0, reinterpret_cast<SetFn>(vt[0])(box, 5u, (unsigned)BB_TYPE_INT, 0u, 1234));
  int out = 0;
  EXPECT_EQ(&out, reinterpret_cast<GetFn>(vt[1])(box, 5u, (unsigned)BB_TYPE_INT, 0u, &out, 0));
  EXPECT_EQ(1234, out);
  EXPECT_EQ(0, (Slot<int, unsigned, const char*>(box, 3, 6, "utf8")));
  const char* texts[] = {"a", "b"};
  EXPECT_EQ(0, (Slot<int, unsigned, const char* const*, size_t>(box, 5, 7, texts, 2)));
  EXPECT_EQ(3u, Slot<unsigned>(box, 10));
  EXPECT_EQ(0, (Slot<int, unsigned>(box, 8, 6)));
  EXPECT_EQ(2u, Slot<unsigned>(box, 10));
  Slot<void>(box, 9);
  EXPECT_EQ(0u, Slot<unsigned>(box, 10));
  Slot<void>(box, 12); // deleting destructor

  AbstractASErrno* err = _as_get_err();
  ASSERT_NE(nullptr, err);
  EXPECT_EQ(err, (Slot<AbstractASErrno*, int>(err, 0, -555)));
  EXPECT_EQ(err, (Slot<AbstractASErrno*, const char*>(err, 1, "set through slot 1")));
  EXPECT_EQ(-555, Slot<int>(err, 2));
  EXPECT_STREQ("set through slot 1", Slot<const char*>(err, 3));
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

std::string g_set_err_a, g_set_err_b;

// One recording hook per plug-in: distinct functions, so each table is told apart.
template <std::string* Out>
int Record(int code, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  *Out += text;
  return code;
}

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

TEST(ContractIsolation, TwoPluginsGivenDifferentTablesKeepThem) {
  astest::Scope scope;
  g_set_err_a.clear();
  g_set_err_b.clear();
  as_set_err_fn saved = _as_set_err;
  CCoreLoader a, b;
  _as_set_err = Record<&g_set_err_a>;
  Modules* ma = a.Load(Dir("isolation_a").c_str(), AS_PRODUCT_ALL);
  _as_set_err = Record<&g_set_err_b>;
  Modules* mb = b.Load(Dir("isolation_b").c_str(), AS_PRODUCT_ALL);
  _as_set_err = saved;
  ASSERT_EQ(1u, ma->GetCount());
  ASSERT_EQ(1u, mb->GetCount());
  astest_set_error("IsoA", ASTEST_OP_APPLY_SHARED, ASTEST_ANY, -1, "from IsoA");
  astest_set_error("IsoB", ASTEST_OP_APPLY_SHARED, ASTEST_ANY, -1, "from IsoB");
  (*ma)[0]->ApplySharedSettings();
  (*mb)[0]->ApplySharedSettings();
  EXPECT_EQ("from IsoA", g_set_err_a);
  EXPECT_EQ("from IsoB", g_set_err_b);
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
// The plug-in is handed the counted hooks; the core's own are put back right
// after loading, so the counts are only what the plug-in allocates and
// releases through its copies.

TEST(ContractHeap, FoundationObjectsCrossTheBoundaryThroughTheHooks) {
  using namespace astest_heap;
  astest::Scope scope;
  CCoreLoader loader;
  Modules* modules = nullptr;
  {
    HeapScope counted;
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
    CountingHeap::calls = CountingHeap::deletes = 0;
    EXPECT_EQ(0, plugin->FilterCommand(0, step.command, &x));
    EXPECT_EQ(step.news, CountingHeap::calls);
    EXPECT_EQ(step.deletes, CountingHeap::deletes);
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
    HeapScope counted;
    EXPECT_EQ(0, map.Remove(kPluginKey));
    delete[] x.strings;
    array.RemoveAll();
    EXPECT_EQ(3, CountingHeap::deletes);
    EXPECT_EQ(0, CountingHeap::calls);
  }
  loader.Unload();
}
