// hooks.h - the six replaceable process-wide hooks and the hook table.
//
// All heap use, error reporting and tracing goes through these pointers. The
// library initialises them with its defaults; a plug-in built with the SDK
// holds its own copies, filled from the hook table that the core hands to
// GetClassFactory, so the core and its modules share one heap, one per-thread
// error state and one trace log.
#pragma once

#include <cstddef>
#include <cstdint>

class AbstractASErrno;

typedef void* (*as_new_fn)(uint64_t size, bool throwing);
typedef void (*as_delete_fn)(void* block);
typedef AbstractASErrno* (*as_get_err_fn)();
typedef int (*as_set_err_fn)(int code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
typedef int (*as_set_err_msg_fn)(const char* format, ...) __attribute__((format(printf, 1, 2)));
typedef void (*as_trace_fn)(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

extern as_new_fn _as_new;
extern as_delete_fn _as_delete;
extern as_get_err_fn _as_get_err;
extern as_set_err_fn _as_set_err;
extern as_set_err_msg_fn _as_set_err_msg;
extern as_trace_fn _as_trace;

// The table handed to plug-ins. The order of the entries is binary contract.
struct ASHookTable {
  as_new_fn new_new;
  as_delete_fn new_delete;
  as_set_err_msg_fn new_set_err_msg;
  as_set_err_fn new_set_err;
  as_get_err_fn new_get_err;
  as_trace_fn new_trace;
};
static_assert(sizeof(ASHookTable) == 48, "hook table is six pointers");

// Copies the six current hooks into *table, in table order.
void as_hooks_save(ASHookTable* table);

// The do-nothing trace function: the initial value of _as_trace, and the one
// the trace log puts back when it stops.
void as_trace_nothing(int level, const char* format, ...);
