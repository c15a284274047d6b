// ascore_blackbox.cpp - the exported as_blackbox_* functions.
//
// Thin wrappers over CBlackBoxInt with flags 0 (raw values, caller buffers).
// Each one resets the calling thread's error state, refuses a null handle with
// its own message and then delegates, so the host sees the container's status
// and message unchanged. No exception leaves these functions.
//
// Threading: no locks here; the error state is per thread, and a host that
// shares one box between threads serialises the calls on it.
#include <cstdarg>
#include <new>

#include "ascore/ascore.h"
#include "as_errno.h"
#include "blackbox.h"
#include "exceptions.h"
#include "hooks.h"
#include "trace.h"

namespace {

// A handle is a CBlackBox*, the same pointer the core hands to plug-ins.
// Every box the host can hold was made by as_blackbox_create or _clone.
CBlackBoxInt* BoxOf(as_blackbox_t* handle) {
  return static_cast<CBlackBoxInt*>(reinterpret_cast<CBlackBox*>(handle));
}

as_blackbox_t* HandleOf(CBlackBoxInt* box) {
  return reinterpret_cast<as_blackbox_t*>(static_cast<CBlackBox*>(box));
}

// The three-tier catch of an exported function; records the given code and
// message and returns the code.
int Caught(const char* function, int code, const char* message) {
  try {
    throw;
  } catch (const ASException& ex) {
    AS_TRACE(AS_TL_CRITICAL, "%s: exception caught: %s", function, ex.what());
  } catch (const std::exception& ex) {
    AS_TRACE(AS_TL_CRITICAL, "%s: Generic (non-as) exception caught: %s", function, ex.what());
  } catch (...) {
    AS_TRACE(AS_TL_CRITICAL, "%s: Unknown exception caught", function);
  }
  return _as_set_err(code, "%s", message);
}


} // namespace

extern "C" {

AS_API as_blackbox_t* as_blackbox_create(void) {
  as_entry_reset();
  try {
    CBlackBoxInt* box = CBlackBoxInt::Create();
    if (!box) {
      _as_set_err(AS_ERR_MEMORY, "Not enough memory for a new blackbox");
      return nullptr;
    }
    return HandleOf(box);
  } catch (...) {
    Caught("as_blackbox_create", AS_ERR_MEMORY, "Not enough memory for a new blackbox");
    return nullptr;
  }
}

AS_API as_blackbox_t* as_blackbox_clone(as_blackbox_t* blackbox) {
  as_entry_reset();
  if (!blackbox) {
    _as_set_err(AS_ERR_INVALID_INPUT, "invalid blackbox to clone");
    return nullptr;
  }
  try {
    CBlackBoxInt* copy = BoxOf(blackbox)->Clone();
    if (!copy) {
      _as_set_err(AS_ERR_MEMORY, "failed to clone blackbox");
      return nullptr;
    }
    return HandleOf(copy);
  } catch (...) {
    Caught("as_blackbox_clone", AS_ERR_MEMORY, "failed to clone blackbox");
    return nullptr;
  }
}

AS_API int32_t as_blackbox_release(as_blackbox_t* blackbox) {
  as_entry_reset();
  if (!blackbox) return _as_set_err(AS_ERR_INVALID_INPUT, "invalid blackbox handle");
  try {
    CBlackBoxInt* box = BoxOf(blackbox);
    box->Empty();
    delete box;
    return 0;
  } catch (...) {
    return Caught("as_blackbox_release", AS_ERR_INTERNAL, "internal error");
  }
}

AS_API int32_t as_blackbox_empty(as_blackbox_t* blackbox) {
  as_entry_reset();
  if (!blackbox) return _as_set_err(AS_ERR_INVALID_INPUT, "invalid blackbox handle");
  try {
    BoxOf(blackbox)->Empty();
    return 0;
  } catch (...) {
    return Caught("as_blackbox_empty", AS_ERR_INTERNAL, "internal error");
  }
}

AS_API int32_t as_blackbox_set(as_blackbox_t* blackbox, uint32_t key, uint32_t type, ...) {
  as_entry_reset();
  if (!blackbox) return _as_set_err(AS_ERR_INVALID_INPUT, "invalid blackbox handle");
  va_list args;
  va_start(args, type);
  int32_t rc;
  try {
    rc = BoxOf(blackbox)->SetV(key, type, BB_FLAGS_RAW, args);
  } catch (...) {
    rc = Caught("as_blackbox_set", AS_ERR_INTERNAL, "internal error");
  }
  va_end(args);
  return rc;
}

AS_API void* as_blackbox_get(as_blackbox_t* blackbox, uint32_t key, uint32_t type, ...) {
  as_entry_reset();
  if (!blackbox) {
    _as_set_err(AS_ERR_INVALID_INPUT, "invalid blackbox handle");
    return nullptr;
  }
  va_list args;
  va_start(args, type);
  void* result;
  try {
    result = BoxOf(blackbox)->GetV(key, type, BB_FLAGS_RAW, args);
  } catch (...) {
    Caught("as_blackbox_get", AS_ERR_INTERNAL, "internal error");
    result = nullptr;
  }
  va_end(args);
  return result;
}

} // extern "C"
