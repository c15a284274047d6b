// plugin_sdk.cpp - the plug-in side runtime: hook copies with fallbacks, the
// table factory and the entry-point helpers.
//
// Everything here is compiled into each plug-in with hidden visibility, so
// every plug-in has its own copy of this state. The global allocation
// operators are deliberately left alone: the C++ run-time allocates for the
// plug-in's std:: objects with the process-wide ones and the plug-in's inline
// code must release with the same. Foundation objects, which cross to the
// core, reach the hooks through their own class operators (bbobject.h).
#include "plugin_sdk.h"

#include <pthread.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "as_errno.h"

namespace {

// ---------------------------------------------------------------------------
// Fallbacks, in effect until the core's table is installed.

void* fallback_new(uint64_t size, bool throwing) {
  void* block = std::malloc(size ? (size_t)size : 1);
  if (!block && throwing) throw std::bad_alloc();
  return block;
}

void fallback_delete(void* block) { std::free(block); }

void fallback_trace(int, const char*, ...) {}

// A private error state for a plug-in that is used before (or after) a core.
// It is process-wide rather than per thread: it only has to keep a module that
// reports an error from crashing, not to carry the error anywhere.
class FallbackErrno : public AbstractASErrno {
public:
  static const size_t kSize = 512;
  AbstractASErrno* SetCode(int code) override {
    code_ = code;
    return this;
  }
  AbstractASErrno* SetMessage(const char* text) override {
    pthread_mutex_lock(&mutex_);
    std::snprintf(message_, kSize, "%s", text ? text : "");
    pthread_mutex_unlock(&mutex_);
    return this;
  }
  int GetCode() override { return code_; }
  const char* GetMessage() override { return message_; }

private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
  volatile int code_ = 0;
  char message_[kSize] = {};
};

// Constant-initialised storage: no static constructor runs before the hooks
// may be used, and no destructor runs at unload.
alignas(FallbackErrno) unsigned char g_errno_storage[sizeof(FallbackErrno)];
pthread_once_t g_errno_once = PTHREAD_ONCE_INIT;

void make_fallback_errno() { new (g_errno_storage) FallbackErrno(); }

AbstractASErrno* fallback_get_err() {
  pthread_once(&g_errno_once, make_fallback_errno);
  return reinterpret_cast<FallbackErrno*>(g_errno_storage);
}

void fallback_store_message(const char* format, va_list args) {
  char text[FallbackErrno::kSize];
  std::vsnprintf(text, sizeof text, format, args);
  fallback_get_err()->SetMessage(text);
}

int fallback_set_err(int code, const char* format, ...) {
  fallback_get_err()->SetCode(code);
  if (format) {
    va_list args;
    va_start(args, format);
    fallback_store_message(format, args);
    va_end(args);
  }
  return code;
}

int fallback_set_err_msg(const char* format, ...) {
  if (!format) return 0;
  va_list args;
  va_start(args, format);
  fallback_store_message(format, args);
  va_end(args);
  return (int)std::strlen(fallback_get_err()->GetMessage());
}

bool g_hooks_installed = false;

// ---------------------------------------------------------------------------
// The library's one factory.

pthread_mutex_t g_factory_mutex = PTHREAD_MUTEX_INITIALIZER;
CAClassFactory* g_factory = nullptr;
unsigned g_factory_refs = 0;

// Destroys the factory when the library is unloaded without a release (the
// core closes a library it could not record without calling it). Nothing else
// of the plug-in's state needs tearing down.
struct UnloadGuard {
  ~UnloadGuard() {
    if (!g_factory) return;
    CAClassFactory* factory = g_factory;
    g_factory = nullptr;
    g_factory_refs = 0;
    delete factory;
    ascore_sdk::ResetHooks();
  }
} g_unload_guard;

} // namespace

// The plug-in's own hooks. Hidden like everything else here.
as_new_fn _as_new = fallback_new;
as_delete_fn _as_delete = fallback_delete;
as_get_err_fn _as_get_err = fallback_get_err;
as_set_err_fn _as_set_err = fallback_set_err;
as_set_err_msg_fn _as_set_err_msg = fallback_set_err_msg;
as_trace_fn _as_trace = fallback_trace;

namespace ascore_sdk {

void InstallHooks(const ASHookTable* table) {
  if (!table) return;
  if (table->new_new) _as_new = table->new_new;
  if (table->new_delete) _as_delete = table->new_delete;
  if (table->new_set_err_msg) _as_set_err_msg = table->new_set_err_msg;
  if (table->new_set_err) _as_set_err = table->new_set_err;
  if (table->new_get_err) _as_get_err = table->new_get_err;
  if (table->new_trace) _as_trace = table->new_trace;
  g_hooks_installed = true;
}

void ResetHooks() {
  _as_new = fallback_new;
  _as_delete = fallback_delete;
  _as_get_err = fallback_get_err;
  _as_set_err = fallback_set_err;
  _as_set_err_msg = fallback_set_err_msg;
  _as_trace = fallback_trace;
  g_hooks_installed = false;
}

bool HooksInstalled() { return g_hooks_installed; }

// ---------------------------------------------------------------------------

namespace {

// Tells the caller (the core, while it loads) that memory ran out for what,
// in the error state of the calling thread.
void OutOfMemory(const char* what) {
  _as_set_err(AS_ERR_MEMORY, "Not enough memory for %s", what ? what : "a module");
}

} // namespace

CTableClassFactory::CTableClassFactory(const ModuleEntry* entries, size_t count)
    : entries_(entries), count_(entries ? count : 0), names_(nullptr), modules_(nullptr) {
  if (count_ == 0) return;
  names_ = new (std::nothrow) ascommon::sstring[count_];
  modules_ = new (std::nothrow) CAModule*[count_]();
  bool complete = names_ && modules_;
  for (size_t i = 0; complete && i < count_; ++i) {
    names_[i] = entries_[i].name;
    complete = !entries_[i].name || !names_[i].is_null();
  }
  if (!complete) {
    // Offer nothing rather than half a table, and say why.
    delete[] names_;
    delete[] modules_;
    names_ = nullptr;
    modules_ = nullptr;
    count_ = 0;
    OutOfMemory("the module table");
  }
}

CTableClassFactory::~CTableClassFactory() {
  for (uint64_t i = order_.GetCount(); i > 0; --i) {
    uint64_t index = order_[i - 1];
    delete modules_[index];
    modules_[index] = nullptr;
  }
  delete[] modules_;
  delete[] names_;
}

uint64_t CTableClassFactory::GetModuleCount() { return count_; }

const ascommon::sstring* CTableClassFactory::GetModuleName(uint64_t index) {
  return index < count_ ? &names_[index] : nullptr;
}

CAModule* CTableClassFactory::CreateModule(uint64_t index) {
  if (index >= count_ || !entries_[index].create) return nullptr;
  if (modules_[index]) return modules_[index];
  CAModule* module = nullptr;
  try {
    module = entries_[index].create();
  } catch (const std::bad_alloc&) {
    OutOfMemory(entries_[index].name);
    return nullptr;
  } catch (...) {
    return nullptr;
  }
  if (!module) return nullptr;
  if (order_.Add(index) != 0) {
    // Without a record of it the factory could not destroy it later.
    delete module;
    OutOfMemory(entries_[index].name);
    return nullptr;
  }
  modules_[index] = module;
  return module;
}

// ---------------------------------------------------------------------------

int FillVersion(ASVersionRecord* version) {
  if (!version) return 0;
  version->major = AS_VERSION_MAJOR;
  version->minor = AS_VERSION_MINOR;
  version->build = AS_VERSION_BUILD;
  version->revision = AS_VERSION_REVISION;
  return 0;
}

CAClassFactory* AcquireFactory(const ASHookTable* hooks, CAClassFactory* (*make)()) {
  pthread_mutex_lock(&g_factory_mutex);
  CAClassFactory* result = g_factory;
  if (result) {
    ++g_factory_refs;
  } else if (make) {
    InstallHooks(hooks);
    try {
      result = make();
    } catch (const std::bad_alloc&) {
      OutOfMemory("the class factory");
      result = nullptr;
    } catch (...) {
      result = nullptr;
    }
    if (result) {
      g_factory = result;
      g_factory_refs = 1;
    } else {
      ResetHooks();
    }
  }
  pthread_mutex_unlock(&g_factory_mutex);
  return result;
}

int ReleaseFactory() {
  pthread_mutex_lock(&g_factory_mutex);
  int rc = 0;
  if (!g_factory) {
    rc = -1;
  } else if (--g_factory_refs == 0) {
    CAClassFactory* factory = g_factory;
    g_factory = nullptr;
    delete factory;
    ResetHooks();
  }
  pthread_mutex_unlock(&g_factory_mutex);
  return rc;
}

} // namespace ascore_sdk
