// scriptable.cpp - the scriptable test modules and their factory.
#include "scriptable.h"

#include <chrono>
#include <cstring>
#include <new>
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
// result recorded by Finish() (or the call marked as thrown).
class Call {
public:
  Call(const char* module, const char* library, int op, uint64_t session, int64_t match, int64_t arg = 0,
       int64_t arg2 = 0, int64_t arg3 = 0, const char* text = nullptr)
  {
    seq_ = astest_enter(module, library, op, session, arg, arg2, arg3, text);
    found_ = astest_behaviour_find(module, op, match, &b_) != 0;
  }
  ~Call() {
    if (!done_) astest_abandon(seq_);
  }

  // Sleep, throw, record an error, as scripted.
  void Begin() {
    if (!found_) return;
    if (b_.sleep_ms) std::this_thread::sleep_for(std::chrono::milliseconds(b_.sleep_ms));
    switch (b_.throw_kind) {
    case ASTEST_THROW_STD:
      throw std::runtime_error(b_.throw_text);
    case ASTEST_THROW_AS:
      AS_THROW(ASException, "%s", b_.throw_text);
    case ASTEST_THROW_OTHER:
      throw 42;
    default:
      break;
    }
    if (b_.has_error) {
      if (b_.error_message[0])
        _as_set_err(b_.error_code, "%s", b_.error_message);
      else
        _as_set_err(b_.error_code, nullptr);
    }
  }
  bool ErrorRecorded() const { return found_ && b_.has_error; }
  bool ReturnNull() const { return found_ && b_.return_null; }
  int64_t Result(int64_t fallback) const { return found_ && b_.has_result ? b_.result : fallback; }
  int64_t Finish(int64_t value) {
    astest_leave(seq_, value);
    done_ = true;
    return value;
  }
  // Result override or the default, recorded and returned.
  int64_t Done(int64_t fallback) { return Finish(Result(fallback)); }

private:
  uint64_t seq_ = 0;
  bool found_ = false;
  bool done_ = false;
  astest_behaviour b_{};
};

const uint32_t kSessionMagic = 0x5E551011u;

struct SessionData {
  uint32_t magic;
  const void* owner;
  uint64_t serial;
};

// Writes every scripted answer of (module, op) into the box.
void WriteAnswers(const char* module, int op, CBlackBox* box) {
  if (!box) return;
  size_t n = astest_answer_count(module, op);
  for (size_t i = 0; i < n; ++i) {
    uint32_t key = 0;
    int32_t value = 0;
    if (astest_answer_get(module, op, i, &key, &value) == 0) box->Set(key, BB_TYPE_INT, BB_FLAGS_RAW, (int)value);
  }
}

// A dependency request carries 25051 = true; the answer goes into 25052.
void WriteDependencies(const char* module, CBlackBox* box) {
  if (!box) return;
  bool asked = false;
  box->Get(BB_ID_DEPENDENCY_REQUEST, BB_TYPE_BOOL, BB_FLAGS_RAW, &asked, 0);
  if (!asked) return;
  size_t n = astest_dependency_count(module);
  if (n == 0) return;
  // Copied out of the registry, then handed to the box, which copies again.
  char (*names)[ASTEST_NAME_MAX] = new char[n][ASTEST_NAME_MAX];
  const char** texts = new const char*[n];
  for (size_t i = 0; i < n; ++i) {
    if (astest_dependency_get(module, i, names[i], ASTEST_NAME_MAX) != 0) names[i][0] = 0;
    texts[i] = names[i];
  }
  box->Set(BB_ID_DEPENDENCIES, BB_TYPE_STRING_ARRAY, BB_FLAGS_RAW, texts, n);
  delete[] texts;
  delete[] names;
}

class ScriptStream : public CAStream {
public:
  ScriptStream(const char* module, const char* library, uint64_t session) : library_(library), session_(session) {
    std::strncpy(module_, module, sizeof module_ - 1);
  }
  ~ScriptStream() override {
    Call c(module_, library_, ASTEST_OP_STREAM_DESTROYED, session_, ASTEST_ANY);
    c.Finish(0);
  }

private:
  char module_[ASTEST_NAME_MAX] = {};
  const char* library_;
  uint64_t session_;
};

// Slots 2 to 11 of the module base, shared by every kind.
template <class Interface>
class Scripted : public ascore_sdk::CModule<Interface> {
public:
  Scripted(const ModuleSpec& module, const char* library)
      : ascore_sdk::CModule<Interface>(module.first_name, module.second_name), library_(library),
        entity_type_(module.entity_type) {
    if (module.kind != ascore_sdk::KindOf<Interface>::value) this->SetKind(module.kind);
    Call c(Name(), library_, ASTEST_OP_CREATE, 0, ASTEST_ANY);
    c.Finish(0);
  }
  ~Scripted() override {
    Call c(Name(), library_, ASTEST_OP_DESTROY, 0, ASTEST_ANY);
    c.Finish(0);
  }

  const char* Name() const {
    const char* name = this->GetDisplayName().c_str();
    return name ? name : "";
  }

  int ApplySessionSettings(uint64_t session) override {
    Call c(Name(), library_, ASTEST_OP_APPLY_SESSION, session, (int64_t)session);
    c.Begin();
    return (int)c.Done(0);
  }
  bool IsEnabledForSession(uint64_t session) override {
    Call c(Name(), library_, ASTEST_OP_IS_ENABLED, session, (int64_t)session);
    c.Begin();
    return c.Done(1) != 0;
  }
  // Slot 4, never called by the core: reports where this plug-in's hooks and
  // foundation code live, so a test can tell two plug-ins' copies apart.
  int Reserved4() override {
    Call c(Name(), library_, ASTEST_OP_PROBE, 0, ASTEST_ANY);
    astest_probe_set(Name(), "hook_variable", (const void*)&_as_new);
    astest_probe_set(Name(), "new", (const void*)_as_new);
    astest_probe_set(Name(), "delete", (const void*)_as_delete);
    astest_probe_set(Name(), "get_err", (const void*)_as_get_err);
    astest_probe_set(Name(), "set_err", (const void*)_as_set_err);
    astest_probe_set(Name(), "set_err_msg", (const void*)_as_set_err_msg);
    astest_probe_set(Name(), "trace", (const void*)_as_trace);
    astest_probe_set(Name(), "foundation_code", (const void*)&ascommon::as_time_diff);
    astest_probe_set(Name(), "hooks_installed", ascore_sdk::HooksInstalled() ? (const void*)1 : nullptr);
    return (int)c.Finish(0);
  }
  int ApplySharedSettings() override {
    Call c(Name(), library_, ASTEST_OP_APPLY_SHARED, 0, ASTEST_ANY);
    c.Begin();
    return (int)c.Done(0);
  }
  void* CreateSessionData() override {
    Call c(Name(), library_, ASTEST_OP_CREATE_SESSION_DATA, 0, ASTEST_ANY);
    c.Begin();
    if (c.ReturnNull()) {
      c.Finish(0);
      return nullptr;
    }
    SessionData* data = new SessionData{kSessionMagic, this, ++serial_};
    c.Finish((int64_t)data->serial);
    return data;
  }
  void ReleaseSessionData(void* data) override {
    SessionData* block = static_cast<SessionData*>(data);
    bool ours = block && block->magic == kSessionMagic && block->owner == this;
    Call c(Name(), library_, ASTEST_OP_RELEASE_SESSION_DATA, 0, ASTEST_ANY, ours ? (int64_t)block->serial : -1);
    c.Begin();
    if (ours) {
      block->magic = 0;
      delete block;
    }
    c.Finish(ours ? 0 : -1);
  }
  int HandleGlobalRequest(CBlackBox* box) override {
    Call c(Name(), library_, ASTEST_OP_GLOBAL_REQUEST, 0, ASTEST_ANY);
    c.Begin();
    WriteDependencies(Name(), box);
    WriteAnswers(Name(), ASTEST_OP_GLOBAL_REQUEST, box);
    return (int)c.Done(0);
  }
  int HandleSessionRequest(uint64_t session, CBlackBox* box) override {
    Call c(Name(), library_, ASTEST_OP_SESSION_REQUEST, session, (int64_t)session);
    c.Begin();
    WriteDependencies(Name(), box);
    WriteAnswers(Name(), ASTEST_OP_SESSION_REQUEST, box);
    return (int)c.Done(0);
  }

protected:
  // Filter and performer item work: answers, then the dirty mark.
  int64_t ItemWork(Call& c, int op, ASItem* item) {
    c.Begin();
    if (item) {
      WriteAnswers(Name(), op, item->current_bb);
      if (astest_flag(Name(), ASTEST_FLAG_MARK_DIRTY)) item->dirty = 1;
    }
    return c.Done(0);
  }

  const char* library_;
  uint32_t entity_type_;
  uint64_t serial_ = 0;
};

class ScriptFilter : public Scripted<CAFilter> {
public:
  using Scripted::Scripted;
  int GetBreakerIndex(uint32_t verb) override {
    Call c(Name(), library_, ASTEST_OP_GET_BREAKER_INDEX, 0, verb, verb);
    c.Begin();
    return (int)c.Done(0);
  }
  int FilterItem(uint64_t session, ASItem* item, uint32_t verb) override {
    Call c(Name(), library_, ASTEST_OP_FILTER_ITEM, session, verb, verb, (int64_t)(intptr_t)item);
    return (int)ItemWork(c, ASTEST_OP_FILTER_ITEM, item);
  }
  int FilterCommand(uint64_t session, uint32_t command, void* argument) override {
    Call c(Name(), library_, ASTEST_OP_FILTER_COMMAND, session, command, command, (int64_t)(intptr_t)argument);
    c.Begin();
    return (int)c.Done(0);
  }
};

class ScriptPerformer : public Scripted<CAPerformer> {
public:
  using Scripted::Scripted;
  int PerformItem(uint64_t session, ASItem* item, uint32_t verb) override {
    Call c(Name(), library_, ASTEST_OP_PERFORM_ITEM, session, verb, verb, (int64_t)(intptr_t)item);
    return (int)ItemWork(c, ASTEST_OP_PERFORM_ITEM, item);
  }
  int GetBreakerIndex(uint32_t verb) override {
    Call c(Name(), library_, ASTEST_OP_GET_BREAKER_INDEX, 0, verb, verb);
    c.Begin();
    return (int)c.Done(0);
  }
};

class ScriptStreamer : public Scripted<CAStreamer> {
public:
  using Scripted::Scripted;
  CAStream* CreateStream(uint64_t session, int64_t param1, int64_t param2, uint32_t subtype) override {
    Call c(Name(), library_, ASTEST_OP_CREATE_STREAM, session, ASTEST_ANY, subtype, param1, param2);
    c.Begin();
    if (c.ReturnNull()) {
      c.Finish(0);
      return nullptr;
    }
    CAStream* stream = new ScriptStream(Name(), library_, session);
    c.Finish(1);
    return stream;
  }
  uint32_t GetEntityType() override {
    Call c(Name(), library_, ASTEST_OP_GET_ENTITY_TYPE, 0, ASTEST_ANY);
    c.Begin();
    return (uint32_t)c.Done(entity_type_);
  }
};

class ScriptDispatcher : public Scripted<CADispatcher> {
public:
  using Scripted::Scripted;
  int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* manager) override {
    Call c(Name(), library_, ASTEST_OP_DISPATCH_ITEM, session, verb, verb, (int64_t)(intptr_t)item);
    c.Begin();
    RunScript(ASTEST_SCRIPT_ITEM, session, item, verb, nullptr, manager);
    WriteAnswers(Name(), ASTEST_OP_DISPATCH_ITEM, item ? item->current_bb : nullptr);
    return (int)c.Done(0);
  }
  int DispatchCommand(uint64_t session, uint32_t verb, CBlackBox* box, CADispManager* manager) override {
    Call c(Name(), library_, ASTEST_OP_DISPATCH_COMMAND, session, verb, verb);
    c.Begin();
    RunScript(ASTEST_SCRIPT_COMMAND, session, nullptr, verb, box, manager);
    WriteAnswers(Name(), ASTEST_OP_DISPATCH_COMMAND, box);
    return (int)c.Done(0);
  }
  uint32_t GetEntityType() override {
    Call c(Name(), library_, ASTEST_OP_GET_ENTITY_TYPE, 0, ASTEST_ANY);
    c.Begin();
    return (uint32_t)c.Done(entity_type_);
  }

private:
  void RunScript(int script, uint64_t session, ASItem* item, uint32_t verb, CBlackBox* box, CADispManager* manager) {
    size_t n = astest_script_size(Name(), script);
    for (size_t i = 0; i < n; ++i) {
      astest_step step{};
      if (astest_script_get(Name(), script, i, &step) != 0) break;
      Call c(Name(), library_, ASTEST_OP_STEP, session, ASTEST_ANY, step.kind, step.value, (int64_t)i, step.target);
      c.Finish(RunStep(step, session, item, verb, box, manager));
    }
  }

  int64_t RunStep(const astest_step& step, uint64_t session, ASItem* item, uint32_t verb, CBlackBox* box,
                  CADispManager* manager) {
    ascommon::sstring target(step.target);
    bool needs_manager = step.kind >= ASTEST_STEP_FILTER && step.kind <= ASTEST_STEP_IS_FILTER_ENABLED;
    if (needs_manager && !manager) return -1000;
    switch (step.kind) {
    case ASTEST_STEP_FILTER: {
      ASFilterTiming timing{};
      return manager->PassToFilter(session, target, item, verb, step.value ? &timing : nullptr);
    }
    case ASTEST_STEP_PERFORMER:
      return manager->PassToPerformer(session, target, item, verb);
    case ASTEST_STEP_REQUEST:
      return manager->RequestModule(session, target, item ? item->current_bb : box);
    case ASTEST_STEP_FILTER_COMMAND:
      return manager->PassCommandToFilter(session, target, (uint32_t)step.value, nullptr);
    case ASTEST_STEP_IS_FILTER_ENABLED:
      return manager->IsFilterEnabled(target, session) ? 1 : 0;
    case ASTEST_STEP_THROW_STD:
      throw std::runtime_error(step.target);
    case ASTEST_STEP_THROW_AS:
      AS_THROW(ASException, "%s", step.target);
    case ASTEST_STEP_THROW_OTHER:
      throw 42;
    case ASTEST_STEP_SLEEP:
      std::this_thread::sleep_for(std::chrono::milliseconds(step.value));
      return 0;
    case ASTEST_STEP_WAIT_GATE:
      return astest_gate_wait(step.target, 10000);
    case ASTEST_STEP_SET_ERROR:
      return _as_set_err((int)step.value, "%s", step.target);
    default:
      return -1001;
    }
  }
};

class ScriptBreaker : public Scripted<CABreaker> {
public:
  using Scripted::Scripted;
  void BreakItem(uint64_t session, uint32_t index, ASItem* item) override {
    Call c(Name(), library_, ASTEST_OP_BREAK_ITEM, session, index, index, (int64_t)(intptr_t)item);
    c.Begin();
    if (item && index < AS_BREAKER_LEVELS && !c.ErrorRecorded() && !astest_flag(Name(), ASTEST_FLAG_NO_OPEN))
      item->states[index].open = 1;
    c.Finish(0);
  }
  void ReleaseLevel(uint64_t session, uint32_t index, ASItem* item) override {
    Call c(Name(), library_, ASTEST_OP_RELEASE_LEVEL, session, index, index, (int64_t)(intptr_t)item);
    c.Begin();
    c.Finish(0);
  }
  void CommitItem(uint64_t session, uint32_t index, ASItem* item) override {
    Call c(Name(), library_, ASTEST_OP_COMMIT_ITEM, session, index, index, (int64_t)(intptr_t)item);
    c.Begin();
    c.Finish(0);
  }
};

CAModule* MakeModule(const ModuleSpec& module, const char* library) {
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

const char* OfferedName(const ModuleSpec& module) { return module.first_name ? module.first_name : module.second_name; }

class ScriptFactory : public CAClassFactory {
public:
  // Throws std::bad_alloc with nothing left behind.
  explicit ScriptFactory(const LibrarySpec* library) : library_(library), names_(nullptr), modules_(nullptr) {
    names_ = new ascommon::sstring[library->count + 1];
    modules_ = new (std::nothrow) CAModule*[library->count + 1]();
    if (!modules_) {
      delete[] names_;
      throw std::bad_alloc();
    }
    for (size_t i = 0; i < library_->count; ++i) names_[i] = OfferedName(library_->modules[i]);
  }
  ~ScriptFactory() override {
    for (uint64_t i = order_.GetCount(); i > 0; --i) delete modules_[order_[i - 1]];
    delete[] modules_;
    delete[] names_;
  }
  uint64_t GetModuleCount() override { return library_->count; }
  const ascommon::sstring* GetModuleName(uint64_t index) override {
    return index < library_->count ? &names_[index] : nullptr;
  }
  CAModule* CreateModule(uint64_t index) override {
    if (index >= library_->count || (int64_t)index == library_->null_index) return nullptr;
    astest_behaviour refusal{};
    if (astest_behaviour_find(OfferedName(library_->modules[index]), ASTEST_OP_CREATE, (int64_t)index, &refusal) &&
        refusal.return_null)
      return nullptr;
    if (modules_[index]) return modules_[index];
    try {
      CAModule* module = MakeModule(library_->modules[index], library_->tag);
      if (order_.Add(index) != 0) {
        delete module;
        return nullptr;
      }
      modules_[index] = module;
      return module;
    } catch (...) {
      return nullptr;
    }
  }

private:
  const LibrarySpec* library_;
  ascommon::sstring* names_;
  CAModule** modules_;
  ascommon::CArray<uint64_t, 64> order_;
};

} // namespace

CAClassFactory* MakeFactory(const LibrarySpec* library) { return new ScriptFactory(library); }

} // namespace astest_plugin
