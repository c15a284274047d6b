// hooks.cpp - the library's hook variables, their defaults, and the global
// allocation operators that route every C++ allocation through them.
//
// The operators defined here replace the standard ones for the library only:
// the version script keeps every symbol but the as_core_/as_blackbox_ entry
// points local, so a host that links libascore.so keeps its own operator new.
// The aligned forms are left to the standard library (they allocate and free
// as a pair there and nothing in the library over-aligns).
#include "hooks.h"

#include <cstdlib>
#include <new>

#include "as_errno.h"

namespace {

// Default _as_new: the system heap, one byte for an empty request so that
// every successful call yields a distinct pointer.
void* as_default_new(uint64_t size, bool throwing) {
  void* block = std::malloc(size ? (size_t)size : 1);
  if (!block && throwing) throw std::bad_alloc();
  return block;
}

void as_default_delete(void* block) { std::free(block); }

// Throwing forms must never hand back null, even if a replaced hook does.
void* as_operator_new(std::size_t size) {
  void* block = _as_new(size, true);
  if (!block) throw std::bad_alloc();
  return block;
}

// Non-throwing forms must not let a replaced hook's exception out.
void* as_operator_new_nothrow(std::size_t size) noexcept {
  try {
    return _as_new(size, false);
  } catch (...) {
    return nullptr;
  }
}

void as_operator_delete(void* block) noexcept {
  if (block) _as_delete(block);
}

} // namespace

as_new_fn _as_new = as_default_new;
as_delete_fn _as_delete = as_default_delete;
as_get_err_fn _as_get_err = as_default_get_err;
as_set_err_fn _as_set_err = as_default_set_err;
as_set_err_msg_fn _as_set_err_msg = as_default_set_err_msg;
as_trace_fn _as_trace = as_trace_nothing;

void as_hooks_save(ASHookTable* table) {
  if (!table) return;
  table->new_new = _as_new;
  table->new_delete = _as_delete;
  table->new_set_err_msg = _as_set_err_msg;
  table->new_set_err = _as_set_err;
  table->new_get_err = _as_get_err;
  table->new_trace = _as_trace;
}

void as_trace_nothing(int, const char*, ...) {}

void* operator new(std::size_t size) { return as_operator_new(size); }
void* operator new[](std::size_t size) { return as_operator_new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return as_operator_new_nothrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return as_operator_new_nothrow(size); }

void operator delete(void* block) noexcept { as_operator_delete(block); }
void operator delete[](void* block) noexcept { as_operator_delete(block); }
void operator delete(void* block, std::size_t) noexcept { as_operator_delete(block); }
void operator delete[](void* block, std::size_t) noexcept { as_operator_delete(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { as_operator_delete(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { as_operator_delete(block); }
