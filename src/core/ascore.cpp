// ascore.cpp - the exported C interface of the core.
//
// Each function records a clean error state, checks its arguments and hands
// the work on; no exception may leave any of them.
#include "ascore/ascore.h"

#include <atomic>
#include <cstring>
#include <exception>
#include <new>

#include "as_errno.h"
#include "ascore/version.h"
#include "ascore_iface.h"
#include "blackbox.h"
#include "core.h"
#include "hooks.h"
#include "shared_locker.h"
#include "trace.h"
#include "tracer.h"

namespace {
const uint32_t kVersion[4] = {ASCORE_VERSION_MAJOR, ASCORE_VERSION_MINOR, ASCORE_VERSION_BUILD,
                              ASCORE_VERSION_REVISION};
} // namespace

extern "C" {

AS_API int32_t as_core_version_get(uint32_t* version) {
  as_entry_reset();
  if (!version) return _as_set_err(AS_ERR_INVALID_INPUT, "wrong pointer @input");
  for (int i = 0; i < 4; ++i) version[i] = kVersion[i];
  return AS_OK;
}

// The read-back pair does no entry reset: it reports the previous call.
AS_API int32_t as_core_err(void) { return _as_get_err()->GetCode(); }

AS_API const char* as_core_errmsg(void) { return _as_get_err()->GetMessage(); }

} // extern "C"

// ---------------------------------------------------------------------------
// The instance and everything that reaches the core through it.
//
// The instance pointer is written only under the instance lock, by init and
// release; every other function reads it without locking, which is why the
// host must not release the instance while other calls are in progress.
namespace {

// Constructed when the library is loaded, before any exported function can
// run; once it is destroyed at unload it refuses every lock.
shared_locker g_instance_lock;
std::atomic<ASCore*> g_instance{nullptr};

ASCore* Instance() { return g_instance.load(std::memory_order_acquire); }

ASSession* ToSession(as_session_t* session) { return reinterpret_cast<ASSession*>(session); }
ASItem* ToItem(as_item_t* item) { return reinterpret_cast<ASItem*>(item); }
CBlackBox* ToBox(as_blackbox_t* box) { return reinterpret_cast<CBlackBox*>(box); }

int32_t NoCore() { return _as_set_err(AS_ERR_NO_CORE, "Core isn't initialized"); }
int32_t BadHandles() { return _as_set_err(AS_ERR_INVALID_INPUT, "invalid handles"); }

// The core's slots catch everything themselves; this is the last line that
// keeps an exception from crossing into C, whatever slips through.
template <class R, class F>
R Guarded(R failure, F&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    _as_set_err(AS_ERR_INTERNAL, "unexpected exception: %s", e.what());
  } catch (...) {
    _as_set_err(AS_ERR_INTERNAL, "unexpected exception");
  }
  return failure;
}

} // namespace

extern "C" {

AS_API int32_t as_core_instance_init(const char* modules_path, uint64_t product_mask) {
  ascommon::as_tracer_start(modules_path);
  as_entry_reset();
  AS_TRACE(1, ">>> Init AS2 Core instance  - version %d.%d.%d.%d", (int)kVersion[0], (int)kVersion[1],
           (int)kVersion[2], (int)kVersion[3]);
  if (!modules_path)
    return _as_set_err(AS_ERR_INVALID_INPUT, "Invalid path to modules, the Core cannot be initialized");
  try {
    auto_locker lock(&g_instance_lock, auto_locker::EXCLUSIVE);
    if (Instance()) {
      lock.unlock();
      return _as_set_err(AS_ERR_CORE_EXISTS, "Core already instantiated");
    }
    ASCore* core = nullptr;
    try {
      core = new (std::nothrow) CCore();
    } catch (...) {
      // A member that could not get its memory while being built.
      core = nullptr;
    }
    if (!core) {
      lock.unlock();
      return _as_set_err(AS_ERR_MEMORY, "Not enough memory for the Core.");
    }
    g_instance.store(core, std::memory_order_release);
    int status = core->Init(modules_path, product_mask);
    if (status < 0) {
      delete core;
      g_instance.store(nullptr, std::memory_order_release);
      lock.unlock();
      if (status == AS_ERR_MEMORY) return _as_set_err(status, "Not enough memory for the Core.");
      return _as_set_err(status, "The Core failed to initialize.");
    }
    AS_TRACE(1, "<<< Init AS2 Core instance finished.");
  } catch (...) {
    // Only the instance lock throws here: the library is being unloaded.
    return _as_set_err(AS_ERR_INTERNAL, "The Core library is being unloaded");
  }
  as_entry_reset();
  return AS_OK;
}

AS_API as_core_t* as_core_instance_get(void) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) _as_set_err(AS_ERR_NO_CORE, "call as_core_instance_init() first");
  return reinterpret_cast<as_core_t*>(core);
}

AS_API int32_t as_core_instance_release(void) {
  as_entry_reset();
  AS_TRACE(1, ">>> AS2 Core shutdown");
  try {
    auto_locker lock(&g_instance_lock, auto_locker::EXCLUSIVE);
    ASCore* core = Instance();
    if (!core) {
      lock.unlock();
      return _as_set_err(AS_ERR_NO_CORE, "No Core Instance to release");
    }
    delete core;
    g_instance.store(nullptr, std::memory_order_release);
    AS_TRACE(1, "<<< AS2 Core shutdown");
  } catch (...) {
    return _as_set_err(AS_ERR_INTERNAL, "The Core library is being unloaded");
  }
  as_entry_reset();
  return AS_OK;
}

AS_API as_session_t* as_core_session_create(void) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) {
    NoCore();
    return nullptr;
  }
  return Guarded<as_session_t*>(nullptr,
                                [&] { return reinterpret_cast<as_session_t*>(core->CreateSession()); });
}

AS_API int32_t as_core_session_release(as_session_t* session) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) return NoCore();
  if (!session) return BadHandles();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] { return core->ReleaseSession(ToSession(session)); });
}

AS_API as_item_t* as_core_item_create(as_session_t* session, const as_item_descriptor_t* descriptor) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) {
    NoCore();
    return nullptr;
  }
  if (!descriptor || !session) {
    BadHandles();
    return nullptr;
  }
  return Guarded<as_item_t*>(nullptr, [&] {
    return reinterpret_cast<as_item_t*>(core->CreateItemHandle(ToSession(session), descriptor->stream_param1,
                                                                descriptor->stream_param2, descriptor->entity_type,
                                                                descriptor->entity_subtype));
  });
}

AS_API int32_t as_core_item_process(as_session_t* session, as_item_t* item, uint32_t verb,
                                    as_blackbox_t* blackbox) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) return NoCore();
  if (!item || !blackbox || !session) return BadHandles();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] {
    return core->ProcessItemHandle(ToSession(session), ToItem(item), verb, ToBox(blackbox));
  });
}

AS_API int32_t as_core_item_release(as_session_t* session, as_item_t* item) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) return NoCore();
  if (!session || !item) return BadHandles();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] { return core->ReleaseItem(ToSession(session), ToItem(item)); });
}

AS_API int32_t as_core_item_process_alt(as_session_t* session, const as_item_descriptor_t* descriptor,
                                        uint32_t verb, as_blackbox_t* blackbox) {
  as_entry_reset();
  if (!session || !blackbox || !descriptor) return BadHandles();
  as_item_t* item = as_core_item_create(session, descriptor);
  if (!item) return _as_get_err()->GetCode();
  int32_t processed = as_core_item_process(session, item, verb, blackbox);
  // The release resets the error state on entry; a processing failure is the
  // outcome the host wants to read back, so its message is kept across it.
  char message[ASErrno::kMessageSize];
  message[0] = 0;
  if (processed != AS_OK) {
    const char* text = _as_get_err()->GetMessage();
    if (text) {
      std::strncpy(message, text, sizeof(message) - 1);
      message[sizeof(message) - 1] = 0;
    }
  }
  int32_t released = as_core_item_release(session, item);
  if (processed == AS_OK) return released;
  _as_get_err()->SetCode(processed);
  _as_get_err()->SetMessage(message);
  return processed;
}

AS_API int32_t as_core_command_process(as_session_t* session, uint32_t entity_type, uint32_t verb,
                                       as_blackbox_t* blackbox) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) return NoCore();
  if (!session || !blackbox) return BadHandles();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] {
    return core->ProcessCommand(ToSession(session), entity_type, verb, ToBox(blackbox));
  });
}

AS_API int32_t as_core_setting_set(as_session_t* session, const char* key, const char* value) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) return NoCore();
  if (!key || !value) return BadHandles();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] { return core->SetSetting(key, value, ToSession(session)); });
}

AS_API const char* as_core_setting_get(as_session_t* session, const char* key) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) {
    NoCore();
    return nullptr;
  }
  // The instance is always a CCore; its read skips the code reset done above.
  return Guarded<const char*>(nullptr,
                              [&] { return static_cast<CCore*>(core)->ReadSetting(key, ToSession(session)); });
}

AS_API int32_t as_core_global_settings_copy(as_core_t* source) {
  as_entry_reset();
  ASCore* from = reinterpret_cast<ASCore*>(source);
  if (!from) return _as_set_err(AS_ERR_INVALID_INPUT, "Invalid instance of ASCore");
  ASCore* core = Instance();
  if (from == core) return _as_set_err(AS_ERR_INVALID_INPUT, "source = dest");
  if (!core) return NoCore();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] { return core->CopyGlobalSettings(from); });
}

AS_API int32_t as_core_settings_copy(as_session_t* source, as_session_t* destination) {
  as_entry_reset();
  if (!source || !destination) return _as_set_err(AS_ERR_INVALID_INPUT, "invalid input for sessions");
  ASCore* core = Instance();
  if (!core) return NoCore();
  ASSession* from = ToSession(source);
  ASSession* to = ToSession(destination);
  return Guarded<int32_t>(AS_ERR_INTERNAL,
                          [&] { return core->CopySessionSettings(from->owner, from->id, to->id); });
}

AS_API int32_t as_core_settings_apply_alt(as_session_t* session, uint64_t product_mask) {
  as_entry_reset();
  ASCore* core = Instance();
  if (!core) return NoCore();
  return Guarded<int32_t>(AS_ERR_INTERNAL, [&] { return core->ApplySettings(product_mask, ToSession(session)); });
}

AS_API int32_t as_core_settings_apply(as_session_t* session) {
  return as_core_settings_apply_alt(session, AS_PRODUCT_ALL);
}

} // extern "C"
