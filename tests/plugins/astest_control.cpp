// astest_control.cpp - the registry behind astest_control.h.
//
// One heap object, created on first use and never destroyed: plug-ins may
// still log from their unload code while the process exits, after this
// library's own static destructors would have run.
//
// Everything here is allocated with malloc, never with operator new: a test
// executable that links the library statically replaces operator new with
// the allocation hook, and tests make that hook count or fail allocations.
// The registry must neither show up in those counts nor fail with them.
#include "astest_control.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <mutex>
#include <pthread.h>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

template <class T>
struct MallocAlloc {
  using value_type = T;
  MallocAlloc() = default;
  template <class U>
  MallocAlloc(const MallocAlloc<U>&) {}
  T* allocate(size_t n) {
    void* p = std::malloc(n * sizeof(T));
    if (!p) throw std::bad_alloc();
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t) { std::free(p); }
  template <class U>
  bool operator==(const MallocAlloc<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const MallocAlloc<U>&) const {
    return false;
  }
};

using String = std::basic_string<char, std::char_traits<char>, MallocAlloc<char>>;
template <class T>
using Vector = std::vector<T, MallocAlloc<T>>;
template <class K, class V>
using Map = std::map<K, V, std::less<K>, MallocAlloc<std::pair<const K, V>>>;

struct Key {
  String module;
  int op;
  int64_t match;
  bool operator<(const Key& o) const { return std::tie(module, op, match) < std::tie(o.module, o.op, o.match); }
};

struct Gate {
  bool open = false;
  int arrivals = 0;
};

struct Registry {
  std::mutex mutex;
  std::condition_variable gate_changed;
  Map<Key, astest_behaviour> behaviours;
  Map<std::pair<String, int>, bool> flags;
  Map<String, Vector<String>> dependencies;
  Map<std::pair<String, int>, Vector<std::pair<uint32_t, int32_t>>> answers;
  Map<std::pair<String, int>, Vector<astest_step>> scripts;
  Map<String, Gate> gates;
  Map<std::pair<String, String>, const void*> probes;
  Vector<astest_call> log;
  uint64_t next_seq = 1;
  // Calls in progress and the most seen at once, per (module, op).
  Map<std::pair<String, int>, std::pair<unsigned, unsigned>> running;
  Map<String, int> alive;
};

Registry& R() {
  static Registry* registry = new (std::malloc(sizeof(Registry))) Registry;
  return *registry;
}

String S(const char* text) { return text ? text : ""; }

void Copy(char* dst, size_t size, const char* src) { std::snprintf(dst, size, "%s", src ? src : ""); }

astest_behaviour& Behaviour(const char* module, int op, int64_t match) {
  // The caller holds the mutex. Value-initialised on first use: no result,
  // no error, no throw, no sleep.
  return R().behaviours[Key{S(module), op, match}];
}

// The log entry with this sequence number. Entries are appended in sequence
// order, but end numbers come from the same counter, so look it up.
astest_call* Entry(uint64_t seq) {
  Registry& r = R();
  auto it = std::lower_bound(r.log.begin(), r.log.end(), seq,
                             [](const astest_call& c, uint64_t s) { return c.seq < s; });
  return it != r.log.end() && it->seq == seq ? &*it : nullptr;
}

void Leave(uint64_t seq, const int64_t* result) {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  uint64_t end = r.next_seq++;
  astest_call* c = Entry(seq);
  if (!c) return; // the log was reset while the call ran
  if (result) {
    c->result = *result;
    c->end_seq = end;
  }
  auto it = r.running.find({c->module, c->op});
  if (it != r.running.end() && it->second.first > 0) --it->second.first;
}

} // namespace

extern "C" {

void astest_reset(void) {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.behaviours.clear();
  r.flags.clear();
  r.dependencies.clear();
  r.answers.clear();
  r.scripts.clear();
  r.gates.clear();
  r.probes.clear();
  r.log.clear();
  r.running.clear();
  // Live module counts describe objects, not a test's script: they survive.
  r.gate_changed.notify_all();
}

void astest_set_result(const char* module, int op, int64_t match, int64_t result) {
  std::lock_guard<std::mutex> lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  b.has_result = 1;
  b.result = result;
}

void astest_set_error(const char* module, int op, int64_t match, int code, const char* message) {
  std::lock_guard<std::mutex> lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  b.has_error = 1;
  b.error_code = code;
  Copy(b.error_message, sizeof b.error_message, message);
}

void astest_set_throw(const char* module, int op, int64_t match, int kind, const char* text) {
  std::lock_guard<std::mutex> lock(R().mutex);
  astest_behaviour& b = Behaviour(module, op, match);
  b.throw_kind = kind;
  Copy(b.throw_text, sizeof b.throw_text, text);
}

void astest_set_sleep(const char* module, int op, int64_t match, unsigned ms) {
  std::lock_guard<std::mutex> lock(R().mutex);
  Behaviour(module, op, match).sleep_ms = ms;
}

void astest_set_null(const char* module, int op, int64_t match) {
  std::lock_guard<std::mutex> lock(R().mutex);
  Behaviour(module, op, match).return_null = 1;
}

void astest_set_flag(const char* module, int flag, int on) {
  std::lock_guard<std::mutex> lock(R().mutex);
  R().flags[{S(module), flag}] = on != 0;
}

void astest_set_dependencies(const char* module, const char* const* names, size_t count) {
  std::lock_guard<std::mutex> lock(R().mutex);
  Vector<String>& deps = R().dependencies[S(module)];
  deps.clear();
  for (size_t i = 0; names && i < count; ++i) deps.push_back(S(names[i]));
}

void astest_add_answer(const char* module, int op, uint32_t key, int32_t value) {
  std::lock_guard<std::mutex> lock(R().mutex);
  R().answers[{S(module), op}].push_back({key, value});
}

void astest_script_add(const char* module, int script, int kind, const char* target, int64_t value) {
  astest_step step{};
  step.kind = kind;
  Copy(step.target, sizeof step.target, target);
  step.value = value;
  std::lock_guard<std::mutex> lock(R().mutex);
  R().scripts[{S(module), script}].push_back(step);
}

void astest_gate_open(const char* gate) {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.gates[S(gate)].open = true;
  r.gate_changed.notify_all();
}

void astest_gate_close(const char* gate) {
  std::lock_guard<std::mutex> lock(R().mutex);
  R().gates[S(gate)].open = false;
}

int astest_gate_wait_arrivals(const char* gate, int n, unsigned timeout_ms) {
  Registry& r = R();
  std::unique_lock<std::mutex> lock(r.mutex);
  String name = S(gate);
  bool ok = r.gate_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [&] { return r.gates[name].arrivals >= n; });
  return ok ? 0 : -1;
}

int astest_gate_wait(const char* gate, unsigned timeout_ms) {
  Registry& r = R();
  std::unique_lock<std::mutex> lock(r.mutex);
  String name = S(gate);
  ++r.gates[name].arrivals;
  r.gate_changed.notify_all();
  bool ok = r.gate_changed.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                    [&] { return r.gates[name].open; });
  return ok ? 0 : -1;
}

size_t astest_log_size(void) {
  std::lock_guard<std::mutex> lock(R().mutex);
  return R().log.size();
}

int astest_log_get(size_t i, astest_call* out) {
  std::lock_guard<std::mutex> lock(R().mutex);
  if (!out || i >= R().log.size()) return -1;
  *out = R().log[i];
  return 0;
}

size_t astest_count(const char* module, int op) {
  std::lock_guard<std::mutex> lock(R().mutex);
  size_t n = 0;
  for (const astest_call& c : R().log)
    if (c.op == op && (!module || std::strcmp(c.module, module) == 0)) ++n;
  return n;
}

unsigned astest_max_concurrent(const char* module, int op) {
  std::lock_guard<std::mutex> lock(R().mutex);
  unsigned best = 0;
  for (const auto& kv : R().running)
    if (kv.first.second == op && (!module || kv.first.first == module)) best = std::max(best, kv.second.second);
  return best;
}

int astest_alive(const char* module) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().alive.find(S(module));
  return it == R().alive.end() ? 0 : it->second;
}

const void* astest_probe_get(const char* module, const char* key) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().probes.find({S(module), S(key)});
  return it == R().probes.end() ? nullptr : it->second;
}

const char* astest_op_name(int op) {
  static const char* const kNames[ASTEST_OP_COUNT] = {
      "None",           "FactoryGet",        "FactoryRelease",     "Create",
      "Destroy",        "ApplySession",      "IsEnabled",          "ApplyShared",
      "CreateSessionData", "ReleaseSessionData", "GlobalRequest",  "SessionRequest",
      "CreateStream",   "StreamDestroyed",   "GetEntityType",      "DispatchItem",
      "DispatchCommand", "GetBreakerIndex",  "FilterItem",         "FilterCommand",
      "PerformItem",    "BreakItem",         "ReleaseLevel",       "CommitItem",
      "Step",           "Probe"};
  return op >= 0 && op < ASTEST_OP_COUNT ? kNames[op] : "?";
}

uint64_t astest_enter(const char* module, const char* library, int op, uint64_t session, int64_t arg,
                      int64_t arg2, int64_t arg3, const char* text) {
  astest_call c{};
  c.op = op;
  c.session = session;
  c.arg = arg;
  c.arg2 = arg2;
  c.arg3 = arg3;
  c.thread = (unsigned long)pthread_self();
  Copy(c.module, sizeof c.module, module);
  Copy(c.library, sizeof c.library, library);
  Copy(c.text, sizeof c.text, text);
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  c.seq = r.next_seq++;
  r.log.push_back(c);
  std::pair<unsigned, unsigned>& run = r.running[{c.module, op}];
  ++run.first;
  if (run.first > run.second) run.second = run.first;
  if (op == ASTEST_OP_CREATE) ++r.alive[c.module];
  if (op == ASTEST_OP_DESTROY) --r.alive[c.module];
  return c.seq;
}


void astest_leave(uint64_t seq, int64_t result) { Leave(seq, &result); }

void astest_abandon(uint64_t seq) { Leave(seq, nullptr); }

int astest_behaviour_find(const char* module, int op, int64_t match, astest_behaviour* out) {
  Registry& r = R();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.behaviours.find(Key{S(module), op, match});
  if (it == r.behaviours.end() && match != ASTEST_ANY) it = r.behaviours.find(Key{S(module), op, ASTEST_ANY});
  if (it == r.behaviours.end()) return 0;
  if (out) *out = it->second;
  return 1;
}

int astest_flag(const char* module, int flag) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().flags.find({S(module), flag});
  return it != R().flags.end() && it->second ? 1 : 0;
}

size_t astest_dependency_count(const char* module) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().dependencies.find(S(module));
  return it == R().dependencies.end() ? 0 : it->second.size();
}

int astest_dependency_get(const char* module, size_t i, char* buf, size_t size) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().dependencies.find(S(module));
  if (it == R().dependencies.end() || i >= it->second.size() || !buf || size == 0) return -1;
  Copy(buf, size, it->second[i].c_str());
  return 0;
}

size_t astest_answer_count(const char* module, int op) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().answers.find({S(module), op});
  return it == R().answers.end() ? 0 : it->second.size();
}

int astest_answer_get(const char* module, int op, size_t i, uint32_t* key, int32_t* value) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().answers.find({S(module), op});
  if (it == R().answers.end() || i >= it->second.size()) return -1;
  if (key) *key = it->second[i].first;
  if (value) *value = it->second[i].second;
  return 0;
}

size_t astest_script_size(const char* module, int script) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().scripts.find({S(module), script});
  return it == R().scripts.end() ? 0 : it->second.size();
}

int astest_script_get(const char* module, int script, size_t i, astest_step* out) {
  std::lock_guard<std::mutex> lock(R().mutex);
  auto it = R().scripts.find({S(module), script});
  if (it == R().scripts.end() || i >= it->second.size() || !out) return -1;
  *out = it->second[i];
  return 0;
}

void astest_probe_set(const char* module, const char* key, const void* value) {
  std::lock_guard<std::mutex> lock(R().mutex);
  R().probes[{S(module), S(key)}] = value;
}

} // extern "C"
