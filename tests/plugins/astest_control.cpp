// astest_control.cpp - the registry behind astest_control.h.
//
// One heap object, created on first use and never destroyed: plug-ins may
// still log from their unload code while the process exits, after this
// library's static destructors would have run. Everything is allocated with
// malloc, never operator new: a test executable that links the core
// statically replaces operator new with the allocation hook, which tests make
// count or fail allocations; the registry must neither count nor fail.
#include "astest_control.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <pthread.h>
#include <string>
#include <tuple>
#include <vector>

namespace {

template <class T>
struct MallocAlloc {
  using value_type = T;
  MallocAlloc() = default;
  template <class U>
  MallocAlloc(const MallocAlloc<U>&) {}
  T* allocate(size_t n) {
    if (void* p = std::malloc(n * sizeof(T))) return static_cast<T*>(p);
    throw std::bad_alloc();
  }
  void deallocate(T* p, size_t) { std::free(p); }
  template <class U>
  bool operator==(const MallocAlloc<U>&) const { return true; }
  template <class U>
  bool operator!=(const MallocAlloc<U>&) const { return false; }
};

using String = std::basic_string<char, std::char_traits<char>, MallocAlloc<char>>;
template <class T>
using Vector = std::vector<T, MallocAlloc<T>>;
template <class K, class V>
using Map = std::map<K, V, std::less<K>, MallocAlloc<std::pair<const K, V>>>;
using ModOp = std::pair<String, int>;

// What a test scripts and reads back: astest_reset forgets all of it.
struct State {
  Map<std::tuple<String, int, int64_t>, astest_behaviour> behaviours;
  Map<ModOp, bool> flags;
  Map<ModOp, Vector<std::pair<uint32_t, int32_t>>> answers;
  Map<ModOp, Vector<astest_step>> scripts;
  Map<String, std::pair<bool, int>> gates; // open, arrivals
  Map<std::pair<String, String>, const void*> probes;
  Vector<astest_call> log;
};

struct Registry : State {
  std::mutex mutex;
  std::condition_variable gate_changed;
  uint64_t next_seq = 1;
  Map<String, int> alive; // live module counts describe objects, not a script
};

Registry& R() {
  static Registry* registry = new (std::malloc(sizeof(Registry))) Registry;
  return *registry;
}

// Read without the registry mutex, so that quiet module calls share no lock.
std::atomic<int> g_quiet{0};

using Lock = std::unique_lock<std::mutex>;
String S(const char* text) { return text ? text : ""; }
void Copy(char* dst, size_t size, const char* src) { std::snprintf(dst, size, "%s", src ? src : ""); }

// The caller holds the mutex. Value-initialised on first use: nothing scripted.
astest_behaviour& Behaviour(const char* module, int op, int64_t match) {
  return R().behaviours[{S(module), op, match}];
}

// End numbers come from the counter the start numbers do, so entries are
// found by number, not by position.
void Leave(uint64_t seq, const int64_t* result) {
  if (seq == 0) return; // a quiet call
  Registry& r = R();
  Lock lock(r.mutex);
  uint64_t end = r.next_seq++;
  auto it = std::lower_bound(r.log.begin(), r.log.end(), seq,
                             [](const astest_call& c, uint64_t s) { return c.seq < s; });
  if (it == r.log.end() || it->seq != seq || !result) return; // reset while running, or thrown
  it->result = *result;
  it->end_seq = end;
}

template <class V>
int Get(const Map<ModOp, Vector<V>>& map, const char* module, int op, size_t i, V* out) {
  auto it = map.find({S(module), op});
  if (it == map.end() || i >= it->second.size()) return -1;
  *out = it->second[i];
  return 0;
}

} // namespace

extern "C" {

void astest_reset(void) {
  g_quiet = 0;
  Registry& r = R();
  Lock lock(r.mutex);
  static_cast<State&>(r) = State();
  r.gate_changed.notify_all();
}

void astest_set_result(const char* module, int op, int64_t match, int64_t result) {
  Lock lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  b.has_result = 1;
  b.result = result;
}

void astest_set_error(const char* module, int op, int64_t match, int code, const char* message) {
  Lock lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  b.has_error = 1;
  b.error_code = code;
  Copy(b.error_message, sizeof b.error_message, message);
}

void astest_set_throw(const char* module, int op, int64_t match, int kind, const char* text) {
  Lock lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  b.throw_kind = kind;
  Copy(b.throw_text, sizeof b.throw_text, text);
}

void astest_set_sleep(const char* module, int op, int64_t match, unsigned ms) {
  Lock lock(R().mutex);
  Behaviour(module, op, match).sleep_ms = ms;
}

void astest_set_null(const char* module, int op, int64_t match) {
  Lock lock(R().mutex);
  Behaviour(module, op, match).return_null = 1;
}

void astest_set_quiet(int on) { g_quiet = on != 0; }

void astest_set_gate(const char* module, int op, int64_t match, const char* gate) {
  Lock lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  Copy(b.gate, sizeof b.gate, gate);
}

void astest_set_flag(const char* module, int flag, int on) {
  Lock lock(R().mutex);
  R().flags[{S(module), flag}] = on != 0;
}

void astest_add_answer(const char* module, int op, uint32_t key, int32_t value) {
  Lock lock(R().mutex);
  R().answers[{S(module), op}].push_back({key, value});
}

void astest_script_add(const char* module, int script, int kind, const char* target, int64_t value) {
  astest_step step{kind, {}, value};
  Copy(step.target, sizeof step.target, target);
  Lock lock(R().mutex);
  R().scripts[{S(module), script}].push_back(step);
}

void astest_gate_open(const char* gate) {
  Registry& r = R();
  Lock lock(r.mutex);
  r.gates[S(gate)].first = true;
  r.gate_changed.notify_all();
}

int astest_gate_wait_arrivals(const char* gate, int n, unsigned timeout_ms) {
  Registry& r = R();
  Lock lock(r.mutex);
  String name = S(gate);
  return r.gate_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return r.gates[name].second >= n; }) ? 0 : -1;
}

int astest_gate_wait(const char* gate, unsigned timeout_ms) {
  Registry& r = R();
  Lock lock(r.mutex);
  String name = S(gate);
  ++r.gates[name].second;
  r.gate_changed.notify_all();
  return r.gate_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [&] { return r.gates[name].first; }) ? 0 : -1;
}

int astest_log_get(size_t i, astest_call* out) {
  Lock lock(R().mutex);
  if (i >= R().log.size()) return -1;
  *out = R().log[i];
  return 0;
}

size_t astest_count(const char* module, int op) {
  Lock lock(R().mutex);
  return std::count_if(R().log.begin(), R().log.end(),
                       [&](const astest_call& c) { return c.op == op && (!module || S(module) == c.module); });
}

int astest_alive(const char* module) {
  Lock lock(R().mutex);
  auto it = R().alive.find(S(module));
  return it == R().alive.end() ? 0 : it->second;
}

const void* astest_probe_get(const char* module, const char* key) {
  Lock lock(R().mutex);
  auto it = R().probes.find({S(module), S(key)});
  return it == R().probes.end() ? nullptr : it->second;
}

const char* astest_op_name(int op) {
  static const char* const kNames[ASTEST_OP_COUNT] = {
      "None",        "FactoryGet",    "FactoryRelease",  "Create",          "Destroy",
      "ApplySession", "IsEnabled",    "ApplyShared",     "CreateSessionData", "ReleaseSessionData",
      "GlobalRequest", "SessionRequest", "CreateStream", "StreamDestroyed", "DispatchItem",
      "DispatchCommand", "GetBreakerIndex", "FilterItem", "FilterCommand",  "PerformItem",
      "BreakItem",   "ReleaseLevel",  "CommitItem",      "Step",            "Probe"};
  return op >= 0 && op < ASTEST_OP_COUNT ? kNames[op] : "?";
}

uint64_t astest_enter(const char* module, const char* library, int op, uint64_t session, int64_t arg,
                      int64_t arg2, int64_t arg3, const char* text) {
  if (g_quiet.load(std::memory_order_relaxed)) return 0;
  astest_call c{0, 0, op, session, arg, arg2, arg3, 0, (unsigned long)pthread_self(), {}, {}, {}};
  Copy(c.module, sizeof c.module, module);
  Copy(c.library, sizeof c.library, library);
  Copy(c.text, sizeof c.text, text);
  Registry& r = R();
  Lock lock(r.mutex);
  c.seq = r.next_seq++;
  r.log.push_back(c);
  if (op == ASTEST_OP_CREATE) ++r.alive[c.module];
  if (op == ASTEST_OP_DESTROY) --r.alive[c.module];
  return c.seq;
}

void astest_leave(uint64_t seq, int64_t result) { Leave(seq, &result); }

void astest_abandon(uint64_t seq) { Leave(seq, nullptr); }

int astest_behaviour_find(const char* module, int op, int64_t match, astest_behaviour* out) {
  if (g_quiet.load(std::memory_order_relaxed)) return 0;
  Lock lock(R().mutex);
  auto& all = R().behaviours;
  auto it = all.find({S(module), op, match});
  if (it == all.end()) it = all.find({S(module), op, ASTEST_ANY});
  if (it == all.end()) return 0;
  *out = it->second;
  return 1;
}

int astest_flag(const char* module, int flag) {
  if (g_quiet.load(std::memory_order_relaxed)) return 0;
  Lock lock(R().mutex);
  auto it = R().flags.find({S(module), flag});
  return it != R().flags.end() && it->second;
}

int astest_answer_get(const char* module, int op, size_t i, uint32_t* key, int32_t* value) {
  if (g_quiet.load(std::memory_order_relaxed)) return -1;
  Lock lock(R().mutex);
  std::pair<uint32_t, int32_t> answer;
  if (Get(R().answers, module, op, i, &answer) != 0) return -1;
  *key = answer.first;
  *value = answer.second;
  return 0;
}

int astest_script_get(const char* module, int script, size_t i, astest_step* out) {
  Lock lock(R().mutex);
  return Get(R().scripts, module, script, i, out);
}

void astest_probe_set(const char* module, const char* key, const void* value) {
  Lock lock(R().mutex);
  R().probes[{S(module), S(key)}] = value;
}

} // extern "C"
