// ascore.cpp - the exported C interface of the core.
//
// Each function records a clean error state, checks its arguments and hands
// the work on; no exception may leave any of them.
#include "ascore/ascore.h"

#include "as_errno.h"
#include "hooks.h"

namespace {
const uint32_t kVersion[4] = {2, 15, 10, 1294};
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
