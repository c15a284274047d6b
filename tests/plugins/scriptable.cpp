// scriptable.cpp - the scriptable test modules (astest_control.h says what
// each operation does).
#include "scriptable.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "astest_control.h"
#include "blackbox.h"
#include "cadispmgr.h"
#include "exceptions.h"
#include "time_utils.h"
#include "trace.h"

namespace astest_plugin {
namespace {

// One scripted call: logged on construction, behaviour applied by Begin(),
// result recorded by Finish(); a call left by an exception is marked thrown.
class Call {
public:
  Call(const char* module, const char* library, int op, uint64_t session, int64_t arg, int64_t arg2 = 0,
       int64_t arg3 = 0, const char* text = nullptr)
      : seq_(astest_enter(module, library, op, session, arg, arg2, arg3, text)),
        found_(astest_behaviour_find(module, op, arg, &b_) != 0) {}
  ~Call() {
    if (!done_) astest_abandon(seq_);
  }
  void Begin() {
    if (!found_) return;
    if (b_.gate[0]) astest_gate_wait(b_.gate, 10000);
    if (b_.sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(b_.sleep_ms));
    if (b_.throw_kind == ASTEST_THROW_STD) throw std::runtime_error(b_.throw_text);
    if (b_.throw_kind == ASTEST_THROW_AS) AS_THROW(ASException, "%s", b_.throw_text);
    if (b_.throw_kind == ASTEST_THROW_OTHER) throw 42;
    if (b_.has_error) _as_set_err(b_.error_code, "%s", b_.error_message);
  }
  bool ErrorRecorded() const { return found_ && b_.has_error; }
  bool ReturnNull() const { return found_ && b_.return_null; }
  int64_t Finish(int64_t value) {
    astest_leave(seq_, value);
    done_ = true;
    return value;
  }
  int64_t Done(int64_t fallback) { return Finish(found_ && b_.has_result ? b_.result : fallback); }

private:
  uint64_t seq_;
  astest_behaviour b_{};
  bool found_;
  bool done_ = false;
};

void Log(const char* module, const char* library, int op, uint64_t session = 0) {
  astest_leave(astest_enter(module, library, op, session, 0, 0, 0, nullptr), 0);
}

void WriteAnswers(const char* module, int op, CBlackBox* box) {
  uint32_t key = 0;
  int32_t value = 0;
  for (size_t i = 0; box && astest_answer_get(module, op, i, &key, &value) == 0; ++i)
    box->Set(key, BB_TYPE_INT, BB_FLAGS_RAW, (int)value);
}

const uint32_t kSessionMagic = 0x5E551011u;
struct SessionData {
  uint32_t magic;
  const void* owner;
  uint64_t serial;
};

class ScriptStream : public CAStream {
public:
  ScriptStream(const char* module, const char* library, uint64_t session) : library_(library), session_(session) {
    std::strncpy(module_, module, sizeof module_ - 1);
  }
  ~ScriptStream() override { Log(module_, library_, ASTEST_OP_STREAM_DESTROYED, session_); }

private:
  char module_[ASTEST_NAME_MAX] = {};
  const char* library_;
  uint64_t session_;
};

// Slots 2 to 11 of the module base, shared by every kind.
template <class Interface>
class Scripted : public ascore_sdk::CModule<Interface> {
public:
  Scripted(const ModuleDef& module, const char* library)
      : ascore_sdk::CModule<Interface>(module.first_name, module.second_name), library_(library),
        entity_type_(module.entity_type) {
    if (module.kind != ascore_sdk::KindOf<Interface>::value) this->SetKind(module.kind);
    Log(Name(), library_, ASTEST_OP_CREATE);
  }
  ~Scripted() override { Log(Name(), library_, ASTEST_OP_DESTROY); }
  const char* Name() const { return this->GetDisplayName().c_str(); }

  int ApplySessionSettings(uint64_t session) override { return (int)Run(ASTEST_OP_APPLY_SESSION, session, session); }
  bool IsEnabledForSession(uint64_t session) override { return Run(ASTEST_OP_IS_ENABLED, session, session, 1) != 0; }
  // Slot 4, never called by the core: where this plug-in's hooks and
  // foundation code live, so a test can tell two plug-ins' copies apart.
  int Reserved4() override {
    Log(Name(), library_, ASTEST_OP_PROBE);
    astest_probe_set(Name(), "hook_variable", (const void*)&_as_new);
    astest_probe_set(Name(), "new", (const void*)_as_new);
    astest_probe_set(Name(), "trace", (const void*)_as_trace);
    astest_probe_set(Name(), "foundation_code", (const void*)&ascommon::as_time_diff);
    astest_probe_set(Name(), "hooks_installed", ascore_sdk::HooksInstalled() ? (const void*)1 : nullptr);
    return 0;
  }
  int ApplySharedSettings() override { return (int)Run(ASTEST_OP_APPLY_SHARED, 0, 0); }
  void* CreateSessionData() override {
    Call c(Name(), library_, ASTEST_OP_CREATE_SESSION_DATA, 0, 0);
    c.Begin();
    if (c.ReturnNull()) return c.Finish(0), nullptr;
    SessionData* data = new SessionData{kSessionMagic, this, ++serial_};
    c.Finish((int64_t)data->serial);
    return data;
  }
  void ReleaseSessionData(void* data) override {
    SessionData* block = static_cast<SessionData*>(data);
    bool ours = block && block->magic == kSessionMagic && block->owner == this;
    Call c(Name(), library_, ASTEST_OP_RELEASE_SESSION_DATA, 0, ours ? (int64_t)block->serial : -1);
    c.Begin();
    if (ours) {
      block->magic = 0;
      delete block;
    }
    c.Finish(ours ? 0 : -1);
  }
  int HandleGlobalRequest(CBlackBox* box) override { return (int)Run(ASTEST_OP_GLOBAL_REQUEST, 0, 0, 0, box); }
  int HandleSessionRequest(uint64_t session, CBlackBox* box) override {
    return (int)Run(ASTEST_OP_SESSION_REQUEST, session, session, 0, box);
  }

protected:
  int BreakerIndex(uint32_t verb) { return (int)Run(ASTEST_OP_GET_BREAKER_INDEX, 0, verb); }
  // The common shape: log, scripted behaviour, answers into box, result.
  int64_t Run(int op, uint64_t session, int64_t arg, int64_t fallback = 0, CBlackBox* box = nullptr) {
    Call c(Name(), library_, op, session, arg);
    c.Begin();
    WriteAnswers(Name(), op, box);
    return c.Done(fallback);
  }
  // Filter and performer item work: answers, then the dirty mark.
  int ItemWork(int op, uint64_t session, ASItem* item, uint32_t verb) {
    Call c(Name(), library_, op, session, verb, (int64_t)(intptr_t)item);
    c.Begin();
    if (item) {
      WriteAnswers(Name(), op, item->current_bb);
      if (astest_flag(Name(), ASTEST_FLAG_MARK_DIRTY)) item->dirty = 1;
    }
    return (int)c.Done(0);
  }

  const char* library_;
  uint32_t entity_type_;
  uint64_t serial_ = 0;
};

class ScriptFilter : public Scripted<CAFilter> {
public:
  using Scripted::Scripted;
  int GetBreakerIndex(uint32_t verb) override { return BreakerIndex(verb); }
  int FilterItem(uint64_t session, ASItem* item, uint32_t verb) override {
    return ItemWork(ASTEST_OP_FILTER_ITEM, session, item, verb);
  }
  int FilterCommand(uint64_t session, uint32_t command, void*) override {
    return (int)Run(ASTEST_OP_FILTER_COMMAND, session, command);
  }
};

class ScriptPerformer : public Scripted<CAPerformer> {
public:
  using Scripted::Scripted;
  int PerformItem(uint64_t session, ASItem* item, uint32_t verb) override {
    return ItemWork(ASTEST_OP_PERFORM_ITEM, session, item, verb);
  }
  int GetBreakerIndex(uint32_t verb) override { return BreakerIndex(verb); }
};

class ScriptStreamer : public Scripted<CAStreamer> {
public:
  using Scripted::Scripted;
  CAStream* CreateStream(uint64_t session, int64_t param1, int64_t param2, uint32_t subtype) override {
    Call c(Name(), library_, ASTEST_OP_CREATE_STREAM, session, subtype, param1, param2);
    c.Begin();
    if (c.ReturnNull()) return c.Finish(0), nullptr;
    CAStream* stream = new ScriptStream(Name(), library_, session);
    c.Finish(1);
    return stream;
  }
  uint32_t GetEntityType() override { return entity_type_; }
};

class ScriptDispatcher : public Scripted<CADispatcher> {
public:
  using Scripted::Scripted;
  int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* manager) override {
    return Dispatch(ASTEST_OP_DISPATCH_ITEM, ASTEST_SCRIPT_ITEM, session, item, verb, nullptr, manager);
  }
  int DispatchCommand(uint64_t session, uint32_t verb, CBlackBox* box, CADispManager* manager) override {
    return Dispatch(ASTEST_OP_DISPATCH_COMMAND, ASTEST_SCRIPT_COMMAND, session, nullptr, verb, box, manager);
  }
  uint32_t GetEntityType() override { return entity_type_; }

private:
  // Runs the script, then writes the answers into the item's current box or
  // the command's. Exceptions of the dispatch manager pass through unchanged.
  int Dispatch(int op, int script, uint64_t session, ASItem* item, uint32_t verb, CBlackBox* box,
               CADispManager* manager) {
    Call call(Name(), library_, op, session, verb, (int64_t)(intptr_t)item);
    call.Begin();
    astest_step step{};
    for (size_t i = 0; astest_script_get(Name(), script, i, &step) == 0; ++i) {
      Call c(Name(), library_, ASTEST_OP_STEP, session, step.kind, step.value, (int64_t)i, step.target);
      ascommon::sstring target(step.target);
      ASFilterTiming timing{};
      switch (step.kind) {
      case ASTEST_STEP_FILTER:
        c.Finish(manager->PassToFilter(session, target, item, verb, step.value ? &timing : nullptr));
        break;
      case ASTEST_STEP_PERFORMER:
        c.Finish(manager->PassToPerformer(session, target, item, verb));
        break;
      case ASTEST_STEP_REQUEST:
        c.Finish(manager->RequestModule(session, target, item ? item->current_bb : box));
        break;
      case ASTEST_STEP_THROW_STD:
        throw std::runtime_error(step.target);
      case ASTEST_STEP_SLEEP:
        std::this_thread::sleep_for(std::chrono::milliseconds(step.value));
        c.Finish(0);
        break;
      case ASTEST_STEP_WAIT_GATE:
        c.Finish(astest_gate_wait(step.target, 10000));
        break;
      }
    }
    WriteAnswers(Name(), op, item ? item->current_bb : box);
    return (int)call.Done(0);
  }
};

class ScriptBreaker : public Scripted<CABreaker> {
public:
  using Scripted::Scripted;
  void BreakItem(uint64_t session, uint32_t index, ASItem* item) override {
    Call c(Name(), library_, ASTEST_OP_BREAK_ITEM, session, index, (int64_t)(intptr_t)item);
    c.Begin();
    if (item && index < AS_BREAKER_LEVELS && !c.ErrorRecorded()) item->states[index].open = 1;
    c.Finish(0);
  }
  void ReleaseLevel(uint64_t session, uint32_t index, ASItem*) override { Run(ASTEST_OP_RELEASE_LEVEL, session, index); }
  void CommitItem(uint64_t session, uint32_t index, ASItem*) override { Run(ASTEST_OP_COMMIT_ITEM, session, index); }
};

} // namespace

CAModule* MakeModule(const ModuleDef& module, const char* library) {
  astest_behaviour refusal{};
  if (astest_behaviour_find(OfferedName(module), ASTEST_OP_CREATE, ASTEST_ANY, &refusal) && refusal.return_null)
    return nullptr;
  switch (module.kind) {
  case AS_KIND_BREAKER:
    return new ScriptBreaker(module, library);
  case AS_KIND_DISPATCHER:
    return new ScriptDispatcher(module, library);
  case AS_KIND_PERFORMER:
    return new ScriptPerformer(module, library);
  case AS_KIND_STREAMER:
    return new ScriptStreamer(module, library);
  default: // filters, and the kinds the core must refuse
    return new ScriptFilter(module, library);
  }
}

} // namespace astest_plugin
