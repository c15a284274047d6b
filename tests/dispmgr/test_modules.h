// test_modules.h - in-process modules of every kind that record what the
// dispatch manager asks of them, and an item record to hand it.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "blackbox.h"
#include "camodule.h"
#include "disp_mgr.h"

// Every module call, in order, as "<what> <name or index>".
struct CallLog {
  std::vector<std::string> calls;
  void Add(const std::string& what, const std::string& arg) { calls.push_back(what + " " + arg); }
};

template <class Base>
class TestModule : public Base {
public:
  TestModule(uint32_t kind, CallLog* log, const char* first, const char* second = nullptr) : log_(log) {
    this->m_kind = kind;
    this->m_first_name = first;
    this->m_second_name = second;
    this->m_state = AS_STATE_ACTIVE;
  }
  void Enable(uint64_t session, bool enabled = true) { this->m_sessions.Add(session, ASSessionEntry{nullptr, enabled}); }
  int HandleSessionRequest(uint64_t, CBlackBox*) override {
    log_->Add("request", Name());
    return request_result;
  }
  std::string Name() const { return this->GetDisplayName().c_str(); }
  int request_result = 7;

protected:
  CallLog* log_;
};

class TestFilter : public TestModule<CAFilter> {
public:
  TestFilter(CallLog* log, const char* name, int index, const char* second = nullptr)
      : TestModule(AS_KIND_FILTER, log, name, second), index(index) {}
  int GetBreakerIndex(uint32_t) override { return index; }
  int FilterItem(uint64_t, ASItem*, uint32_t verb) override {
    log_->Add("filter", Name() + "/" + std::to_string(verb));
    std::this_thread::sleep_for(work);
    return 12345; // must not leak out of PassToFilter
  }
  int FilterCommand(uint64_t, uint32_t command, void*) override { return (int)command + 1000; }
  int index;
  std::chrono::milliseconds work{0};
};

class TestPerformer : public TestModule<CAPerformer> {
public:
  TestPerformer(CallLog* log, const char* name, int index) : TestModule(AS_KIND_PERFORMER, log, name), index(index) {}
  int PerformItem(uint64_t, ASItem*, uint32_t verb) override {
    log_->Add("perform", Name());
    return (int)verb * 10;
  }
  int GetBreakerIndex(uint32_t) override { return index; }
  int index;
};

// Opens the level it is asked to break to, as a real breaker does. It can be
// told to throw, or to report failure through the error state, per index.
class TestBreaker : public TestModule<CABreaker> {
public:
  explicit TestBreaker(CallLog* log) : TestModule(AS_KIND_BREAKER, log, "breaker") {}
  void BreakItem(uint64_t, uint32_t index, ASItem* item) override {
    log_->Add("break", std::to_string(index));
    std::this_thread::sleep_for(work);
    if (throw_on == (int)index) throw std::runtime_error("breaker exploded");
    if (error_on == (int)index) _as_set_err(-42, "breaker could not open %u", index);
    item->states[index].open = 1;
  }
  void ReleaseLevel(uint64_t, uint32_t index, ASItem*) override { log_->Add("release", std::to_string(index)); }
  void CommitItem(uint64_t, uint32_t index, ASItem*) override { log_->Add("commit", std::to_string(index)); }
  int throw_on = -1, error_on = -1;
  std::chrono::milliseconds work{0};
};

class TestDispatcher : public TestModule<CADispatcher> {
public:
  TestDispatcher(CallLog* log, const char* name, uint32_t type) : TestModule(AS_KIND_DISPATCHER, log, name), type(type) {}
  int DispatchItem(uint64_t, ASItem*, uint32_t, CADispManager* m) override {
    log_->Add("dispatch", Name());
    manager = m;
    return 1;
  }
  int DispatchCommand(uint64_t, uint32_t verb, CBlackBox*, CADispManager* m) override {
    log_->Add("command", Name());
    manager = m;
    return (int)verb;
  }
  uint32_t GetEntityType() override { return type; }
  uint32_t type;
  CADispManager* manager = nullptr;
};

class TestStreamer : public TestModule<CAStreamer> {
public:
  TestStreamer(CallLog* log, const char* name) : TestModule(AS_KIND_STREAMER, log, name) {}
  CAStream* CreateStream(uint64_t, int64_t, int64_t, uint32_t) override { return nullptr; }
  uint32_t GetEntityType() override { return 1; }
};

// An item record as the core initialises it, with its own item black box.
struct TestItem : ASItem {
  explicit TestItem(uint32_t type = 1) {
    std::memset(static_cast<ASItem*>(this), 0, sizeof(ASItem));
    self = this;
    entity_type = type;
    for (unsigned k = 0; k < AS_BREAKER_LEVELS; ++k) states[k].index = (uint8_t)k;
    item_bb = CBlackBoxInt::Create();
  }
  ~TestItem() { delete item_bb; }
  // Marks index k open as if the breaker had broken the item to it earlier.
  void Open(unsigned k) { states[k].open = 1; }
  // "index <i> dirty <d> open <flag per level>": the state a move changes.
  std::string State() const {
    std::string open;
    for (const ASBreakerState& st : states) open += st.open ? '1' : '0';
    return "index " + std::to_string(breaker_index) + " dirty " + std::to_string(dirty) + " open " + open;
  }
  bool Flag(unsigned key) {
    bool* b = static_cast<bool*>(item_bb->Get(key, BB_TYPE_BOOL, BB_FLAGS_RAW, (bool*)nullptr, 0));
    return b && *b;
  }
};
