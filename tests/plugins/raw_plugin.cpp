// raw_plugin.cpp - a plug-in written from the binary contract alone.
//
// It includes none of the core's headers and does not link the SDK: every
// structure the core reads or writes and every interface it calls or is
// called through is declared here again, by layout and slot order, so the
// tests that load it notice when the core's declarations drift. The only
// project header is the test harness's C interface (astest_control.h).
//
// The classes carry the contract's names: run-time type checks compare class
// names, and a plug-in whose classes were called something else would be
// reported as calling through the wrong type. The interfaces the core
// implements must not sit in an unnamed namespace either: the compiler would
// then assume it sees every derived class and, with only pure virtual
// functions in sight, turn the calls into calls of the pure-virtual handler.
//
// Modules (entity type 77): RawStreamer, whose streams log their destruction;
// RawDispatcher, which passes an item to the filter "RawFilter" and a command
// to its FilterCommand; RawFilter, known by its second name only, which writes
// 4242 = 1 into the item's current black box and records -777 through the
// hook table for a command. Slot 4 records what a module sees in its fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>

#include "astest_control.h"

#define RAW_EXPORT extern "C" __attribute__((visibility("default")))

// ---- Hook table: six entries in contract order. --------------------------
struct ASHookTable {
  void* (*new_new)(uint64_t size, bool throwing);
  void (*new_delete)(void* block);
  int (*new_set_err_msg)(const char* format, ...);
  int (*new_set_err)(int code, const char* format, ...);
  void* (*new_get_err)();
  void (*new_trace)(int level, const char* format, ...);
};
static_assert(sizeof(ASHookTable) == 48, "six pointers");

namespace {

ASHookTable g_hooks = {};

void* Alloc(size_t n) {
  void* p = g_hooks.new_new ? g_hooks.new_new(n ? n : 1, false) : std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void Free(void* p) {
  if (!p) return;
  if (g_hooks.new_delete)
    g_hooks.new_delete(p);
  else
    std::free(p);
}

} // namespace

// Everything of ours lives on the core's heap once the table is in.
#define RAW_HEAP                                                                                                     \
  static void* operator new(size_t n) { return Alloc(n); }                                                          \
  static void operator delete(void* p) { Free(p); }

// ---- Foundation types, by layout. ----------------------------------------
namespace ascommon {

class CBlackBoxObject {
public:
  virtual ~CBlackBoxObject() {}
};

class sstring : public CBlackBoxObject {
public:
  sstring() {}
  ~sstring() override { Clear(); }
  sstring(const sstring&) = delete;
  sstring& operator=(const sstring&) = delete;

  // Texts that need at most 23 bytes live in the inline area.
  void Set(const char* text) {
    Clear();
    if (!text) return;
    length = std::strlen(text);
    size = length + 1;
    data = size <= 23 ? inline_area : static_cast<char*>(Alloc(size));
    std::memcpy(data, text, size);
  }
  void Clear() {
    if (data && data != inline_area) Free(data);
    data = nullptr;
    length = size = 0;
  }

  char* data = nullptr;
  char inline_area[24] = {};
  uint64_t length = 0;
  uint64_t size = 0;
  int32_t status = 0;
};
static_assert(sizeof(sstring) == 64, "string layout");

// The session map: the module builds it, the core inserts and removes nodes.
template <class K, class V>
class CMap : public CBlackBoxObject {
public:
  struct Node {
    K key;
    V value;
    Node* next;
  };

  CMap() : heads(Buckets()), tails(Buckets()) {}
  ~CMap() override {
    // Entries the core left behind (sessions still open) were allocated
    // through the same hooks.
    for (uint32_t b = 0; b < bucket_count; ++b)
      while (Node* node = heads[b]) {
        heads[b] = node->next;
        Free(node);
      }
    Free(heads);
    Free(tails);
  }

  uint32_t bucket_count = 32;
  uint32_t count = 0;
  Node** heads;
  Node** tails;
  bool ordered = false;
  uint32_t (*hash)(const K&) = nullptr;

  Node** Buckets() {
    size_t bytes = bucket_count * sizeof(Node*);
    return static_cast<Node**>(std::memset(Alloc(bytes), 0, bytes));
  }
};

} // namespace ascommon

struct ASSessionEntry {
  void* data;
  bool enabled;
};
static_assert(sizeof(ascommon::CMap<unsigned long, ASSessionEntry>) == 48, "map layout");
static_assert(sizeof(ascommon::CMap<unsigned long, ASSessionEntry>::Node) == 32, "key, entry, next");

// ---- Item record and the two core interfaces a module calls. --------------
struct ASItem {
  void* self;
  void* stream;
  void* item_bb;
  void* current_bb;
  unsigned char mutex[40];
  uint32_t entity_type;
  uint8_t breaker_index;
  uint8_t dirty;
  uint8_t states[15];
  uint8_t padding[3];
};
static_assert(sizeof(ASItem) == 96, "item layout");

class CBlackBox {
public:
  virtual int Set(unsigned key, unsigned type, unsigned flags, ...) = 0; // 0
};

class CADispManager {
public:
  virtual int PassItemToDispatcher(uint64_t session, ASItem* item, uint32_t verb) = 0;                  // 0
  virtual int PassToFilter(uint64_t session, const ascommon::sstring& name, ASItem* item, uint32_t verb,
                           void* timing) = 0;                                                          // 1
  virtual int PassToPerformer(uint64_t session, const ascommon::sstring& name, ASItem* item, uint32_t verb) = 0; // 2
  virtual void ReleaseItem(uint64_t session, ASItem* item) = 0;                                        // 3
  virtual int PassCommandToDispatcher(uint64_t session, uint32_t type, uint32_t verb, CBlackBox* bb) = 0; // 4
  virtual int PassCommandToFilter(uint64_t session, const ascommon::sstring& name, uint32_t cmd, void* arg) = 0; // 5

protected:
  ~CADispManager() {}
};

namespace {

const char kLibrary[] = "raw";
const uint32_t kEntityType = 77;

uint64_t Enter(const char* module, int op, uint64_t session, int64_t arg = 0) {
  return astest_enter(module, kLibrary, op, session, arg, 0, 0, nullptr);
}

} // namespace

// ---- Module base, by layout and slot order. -------------------------------
class CNotifiableObject {
public:
  RAW_HEAP
  CNotifiableObject(uint32_t kind, const char* first, const char* second) : kind_(kind) {
    first_name_.Set(first);
    second_name_.Set(second);
    state_ = 1;
    Log(ASTEST_OP_CREATE);
  }
  virtual ~CNotifiableObject() { Log(ASTEST_OP_DESTROY); }                                              // 0, 1
  virtual int ApplySessionSettings(uint64_t session) { return Log(ASTEST_OP_APPLY_SESSION, session); }  // 2
  virtual bool IsEnabledForSession(uint64_t session) { return Log(ASTEST_OP_IS_ENABLED, session, 1); } // 3
  virtual int Probe() { // 4: what this module sees in the fields the core writes
    auto number = [](uint64_t value) { return reinterpret_cast<const void*>(value); };
    astest_probe_set(Name(), "configurer", configurer_);
    astest_probe_set(Name(), "state", number(state_));
    astest_probe_set(Name(), "kind", number(kind_));
    astest_probe_set(Name(), "sessions", number(sessions_.count));
    astest_probe_set(Name(), "first_name", first_name_.data);
    astest_probe_set(Name(), "second_name", second_name_.data);
    return Log(ASTEST_OP_PROBE);
  }
  virtual int Slot5() { return 0; }                                         // 5
  virtual int ApplySharedSettings() { return Log(ASTEST_OP_APPLY_SHARED); } // 6
  virtual void* CreateSessionData() {                                       // 7
    Log(ASTEST_OP_CREATE_SESSION_DATA, 0, 1);
    return Alloc(16);
  }
  virtual void ReleaseSessionData(void* data) { // 8
    Log(ASTEST_OP_RELEASE_SESSION_DATA);
    Free(data);
  }
  virtual int HandleGlobalRequest(CBlackBox*) { return Log(ASTEST_OP_GLOBAL_REQUEST); } // 9
  virtual int HandleSessionRequest(uint64_t session, CBlackBox*) {                    // 10
    return Log(ASTEST_OP_SESSION_REQUEST, session);
  }
  virtual int Slot11() { return 0; } // 11

  const char* Name() const { return first_name_.data ? first_name_.data : second_name_.data; }
  // Logs the call around work(), whose answer is the call's result.
  template <class Work>
  int Logged(int op, uint64_t session, int64_t arg, Work work) {
    uint64_t seq = Enter(Name(), op, session, arg);
    int rc = work();
    astest_leave(seq, rc);
    return rc;
  }
  int Log(int op, uint64_t session = 0, int result = 0) { return Logged(op, session, 0, [=] { return result; }); }

protected: // the areas between the core's fields belong to the module
  ascommon::CMap<unsigned long, ASSessionEntry> sessions_; // 8
  int32_t state_ = 0;                                      // 56
  uint8_t module_area_[156] = {};
  uint32_t kind_; // 216
  uint8_t pad_[4] = {};
  ascommon::sstring first_name_; // 224
  uint8_t module_area2_[8] = {};
  ascommon::sstring second_name_; // 296
  uint8_t module_area3_[8] = {};
  void* configurer_ = nullptr; // 368

  friend struct LayoutCheck;
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
struct LayoutCheck {
  static_assert(offsetof(CNotifiableObject, sessions_) == 8, "session map");
  static_assert(offsetof(CNotifiableObject, state_) == 56, "state");
  static_assert(offsetof(CNotifiableObject, kind_) == 216, "kind");
  static_assert(offsetof(CNotifiableObject, first_name_) == 224, "first name");
  static_assert(offsetof(CNotifiableObject, second_name_) == 296, "second name");
  static_assert(offsetof(CNotifiableObject, configurer_) == 368, "configurer");
  static_assert(sizeof(CNotifiableObject) == 376, "module base size");
};
#pragma GCC diagnostic pop

class CAModule : public CNotifiableObject {
public:
  using CNotifiableObject::CNotifiableObject;
};

class CAStream {
public:
  RAW_HEAP
  virtual ~CAStream() {} // 0, 1
};

class CAStreamer : public CAModule {
public:
  using CAModule::CAModule;
  virtual CAStream* CreateStream(uint64_t session, int64_t param1, int64_t param2, uint32_t subtype) = 0; // 12
  virtual uint32_t GetEntityType() = 0;                                                               // 13
};

class CADispatcher : public CAModule {
public:
  using CAModule::CAModule;
  virtual int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* manager) = 0;           // 12
  virtual int DispatchCommand(uint64_t session, uint32_t verb, CBlackBox* bb, CADispManager* manager) = 0;       // 13
  virtual uint32_t GetEntityType() = 0;                                                                        // 14
};

class CAFilter : public CAModule {
public:
  using CAModule::CAModule;
  virtual int GetBreakerIndex(uint32_t verb) = 0;                              // 12
  virtual int FilterItem(uint64_t session, ASItem* item, uint32_t verb) = 0;    // 13
  virtual int FilterCommand(uint64_t session, uint32_t command, void* arg) = 0; // 14
};

class CAClassFactory {
public:
  RAW_HEAP
  virtual ~CAClassFactory() {}                                      // 0, 1
  virtual uint64_t GetModuleCount() = 0;                            // 2
  virtual const ascommon::sstring* GetModuleName(uint64_t index) = 0; // 3
  virtual CAModule* CreateModule(uint64_t index) = 0;               // 4
};

// ---- The modules. ----------------------------------------------------------
namespace {

class RawStream : public CAStream {
public:
  explicit RawStream(uint64_t session) : session_(session) {}
  ~RawStream() override { astest_leave(Enter("RawStreamer", ASTEST_OP_STREAM_DESTROYED, session_), 0); }

private:
  uint64_t session_;
};

class RawStreamer : public CAStreamer {
public:
  RawStreamer() : CAStreamer(5, "RawStreamer", nullptr) {}
  CAStream* CreateStream(uint64_t session, int64_t, int64_t, uint32_t subtype) override {
    Logged(ASTEST_OP_CREATE_STREAM, session, subtype, [] { return 1; });
    return new RawStream(session);
  }
  uint32_t GetEntityType() override { return kEntityType; }
};

class RawDispatcher : public CADispatcher {
public:
  RawDispatcher() : CADispatcher(3, "RawDispatcher", nullptr) { filter_.Set("RawFilter"); }
  int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* manager) override {
    return Logged(ASTEST_OP_DISPATCH_ITEM, session, verb,
                  [&] { return manager->PassToFilter(session, filter_, item, verb, nullptr); });
  }
  int DispatchCommand(uint64_t session, uint32_t verb, CBlackBox*, CADispManager* manager) override {
    return Logged(ASTEST_OP_DISPATCH_COMMAND, session, verb,
                  [&] { return manager->PassCommandToFilter(session, filter_, verb, nullptr); });
  }
  uint32_t GetEntityType() override { return kEntityType; }

private:
  ascommon::sstring filter_;
};

class RawFilter : public CAFilter {
public:
  RawFilter() : CAFilter(1, nullptr, "RawFilter") {}
  int GetBreakerIndex(uint32_t) override { return 0; }
  int FilterItem(uint64_t session, ASItem* item, uint32_t verb) override {
    return Logged(ASTEST_OP_FILTER_ITEM, session, verb, [&] {
      if (item && item->current_bb) static_cast<CBlackBox*>(item->current_bb)->Set(4242, 1, 0, 1);
      return 0;
    });
  }
  int FilterCommand(uint64_t session, uint32_t command, void*) override {
    return Logged(ASTEST_OP_FILTER_COMMAND, session, command, [&] {
      if (g_hooks.new_set_err) g_hooks.new_set_err(-777, "raw filter refused command %u", command);
      return (int)command + 1;
    });
  }
};

class RawFactory : public CAClassFactory {
public:
  RawFactory() {
    for (int i = 0; i < 3; ++i) names_[i].Set(i == 0 ? "RawStreamer" : i == 1 ? "RawDispatcher" : "RawFilter");
  }
  ~RawFactory() override {
    for (int i = 2; i >= 0; --i) delete modules_[i];
  }
  uint64_t GetModuleCount() override { return 3; }
  const ascommon::sstring* GetModuleName(uint64_t i) override { return i < 3 ? &names_[i] : nullptr; }
  CAModule* CreateModule(uint64_t i) override {
    if (i >= 3) return nullptr;
    try {
      if (!modules_[i] && i == 0) modules_[i] = new RawStreamer();
      if (!modules_[i] && i == 1) modules_[i] = new RawDispatcher();
      if (!modules_[i] && i == 2) modules_[i] = new RawFilter();
    } catch (...) {
      return nullptr;
    }
    return modules_[i];
  }

private:
  ascommon::sstring names_[3];
  CAModule* modules_[3] = {};
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
RawFactory* g_factory = nullptr;

} // namespace

RAW_EXPORT int GetASVersion(int32_t* version) {
  const int32_t ours[4] = {2, 15, 10, 1294};
  std::memcpy(version, ours, sizeof ours);
  return 0;
}

RAW_EXPORT CAClassFactory* GetClassFactory(const ASHookTable* hooks) {
  pthread_mutex_lock(&g_mutex);
  uint64_t seq = astest_enter("raw", kLibrary, ASTEST_OP_FACTORY_GET, 0, 0, 0, 0, nullptr);
  if (!g_factory && hooks) {
    g_hooks = *hooks;
    if (g_hooks.new_trace)
      g_hooks.new_trace(4, "[ANTISPAM          ] [%08X][%20s:%-4d] - raw plug-in received the hook table\n",
                        (unsigned)(uintptr_t)pthread_self(), "raw_plugin.cpp", __LINE__);
    try {
      g_factory = new RawFactory();
    } catch (...) {
      g_factory = nullptr;
    }
  }
  astest_leave(seq, g_factory ? 1 : 0);
  pthread_mutex_unlock(&g_mutex);
  return g_factory;
}

RAW_EXPORT int ReleaseClassFactory() {
  pthread_mutex_lock(&g_mutex);
  astest_leave(astest_enter("raw", kLibrary, ASTEST_OP_FACTORY_RELEASE, 0, 0, 0, 0, nullptr), 0);
  delete g_factory;
  g_factory = nullptr;
  g_hooks = ASHookTable{};
  pthread_mutex_unlock(&g_mutex);
  return 0;
}
