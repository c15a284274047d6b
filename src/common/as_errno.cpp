// as_errno.cpp - the per-thread error state behind as_core_err/as_core_errmsg.
//
// The one ASErrno object holds no data. Each thread gets one block under one
// pthread key: its code, its stored message and a scratch area in which texts
// built from a code are formatted (4196 bytes each). The block comes from
// calloc, not from the _as_new hook, so that the error state keeps working
// while a host or a test has the allocation hooks failing, and so that a
// thread's block can be freed after the hooks changed. The key's destructor
// frees it when the thread ends.
//
// Every exported call resets the state on entry, so finding the block is on
// the road of every call: a thread-local pointer remembers it, and the key is
// consulted only the first time (and again after the block was freed).
//
// Threading: the key is created once at library load, before the host can
// call from several threads; afterwards every operation touches only the
// calling thread's block and needs no lock. If storage cannot be had the
// state silently does nothing (getters answer 0 / null).
#include "as_errno.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <pthread.h>

#include "hooks.h"

namespace {

struct ThreadState {
  int32_t code;
  char message[ASErrno::kMessageSize];
  char text[ASErrno::kMessageSize];
};

pthread_key_t g_key;
// Set only while the key exists.
std::atomic<bool> g_key_exists{false};
// Set once the unload hook has run: a late caller must not recreate a key
// that nothing would ever delete again.
std::atomic<bool> g_torn_down{false};

// The calling thread's block, once found. Initial-exec: one load from the
// thread pointer, no call; the library needs one pointer of static TLS.
__thread ThreadState* t_state __attribute__((tls_model("initial-exec"))) = nullptr;

// Runs when a thread with a block ends (and for the unloading thread).
void free_state(void* block) {
  if (t_state == block) t_state = nullptr;
  std::free(block);
}

ThreadState* find_state_slow() {
  if (!g_key_exists.load(std::memory_order_acquire)) {
    if (g_torn_down.load(std::memory_order_acquire) || pthread_key_create(&g_key, free_state) != 0) return nullptr;
    g_key_exists.store(true, std::memory_order_release);
  }
  void* block = pthread_getspecific(g_key);
  if (!block) {
    block = std::calloc(1, sizeof(ThreadState));
    if (!block) return nullptr;
    if (pthread_setspecific(g_key, block) != 0) {
      std::free(block);
      return nullptr;
    }
  }
  t_state = static_cast<ThreadState*>(block);
  return t_state;
}

// The ensure-storage step that starts every operation: the calling thread's
// block, or null when it cannot be had.
inline ThreadState* find_state() {
  ThreadState* state = t_state;
  return state ? state : find_state_slow();
}

// Frees the calling thread's block and deletes the key. Safe to call twice:
// the second call finds the flag clear.
void teardown() {
  g_torn_down.store(true, std::memory_order_release);
  if (!g_key_exists.exchange(false, std::memory_order_acq_rel)) return;
  void* block = pthread_getspecific(g_key);
  pthread_setspecific(g_key, nullptr);
  pthread_key_delete(g_key);
  if (block) free_state(block);
}

const char* fixed_text(int code) {
  switch (code) {
  case -101: return "invalid input";
  case -102: return "memory allocation";
  case -103: return "invalid pointer";
  case -104: return "internal error";
  case -105: return "fatal error";
  case -106: return "undefined error";
  case -201: return "file error";
  case -202: return "file read error";
  case -203: return "file write error";
  case -204: return "file open error";
  case -301: return "element not found in blackbox";
  case -401: return "core instanciated error";
  case -402: return "core not instanciated error";
  default: return nullptr;
  }
}

// Clearing the block means: nothing of an earlier message stays readable. The
// terminator that vsnprintf writes does that without touching all 4196 bytes,
// which would cost more than the formatting on every exported call.
int format_message(char* block, const char* format, va_list args) {
  block[0] = 0;
  if (!format) return 0;
  int n = std::vsnprintf(block, ASErrno::kMessageSize, format, args);
  if (n < 0) block[0] = 0;
  return n;
}

const char kNoErrors[] = "There are no errors";

// Storage for the process-wide object. It is built on first use (at the
// latest by the load constructor below) rather than as an ordinary global, so
// that another translation unit's static initialiser can already report
// errors, whatever the link order.
alignas(ASErrno) unsigned char g_errno_storage[sizeof(ASErrno)];
ASErrno* g_errno = nullptr;

} // namespace

ASErrno::ASErrno() { find_state(); }

ASErrno::~ASErrno() { teardown(); }

AbstractASErrno* ASErrno::SetCode(int code) {
  if (ThreadState* b = find_state()) b->code = code;
  return this;
}

AbstractASErrno* ASErrno::SetMessage(const char* text) {
  ThreadState* b = find_state();
  if (!b) return this;
  b->message[0] = 0;
  if (text) std::snprintf(b->message, kMessageSize, "%s", text);
  return this;
}

int ASErrno::GetCode() {
  ThreadState* b = find_state();
  return b ? b->code : 0;
}

const char* ASErrno::GetMessage() { return TextForCode(GetCode()); }

const char* ASErrno::TextForCode(int code) {
  ThreadState* b = find_state();
  if (!b) return nullptr;
  if (code == 0) {
    std::snprintf(b->text, kMessageSize, "%s", std::strerror(0));
    return b->text;
  }
  if (b->message[0] != 0 && b->code == code) return b->message;
  if (((uint32_t)code >> 16) == 0x8000u) {
    switch ((uint32_t)code) {
    case 0x80000001u: return "Unknown error";
    case 0x80000002u: return "Broken pipe";
    case 0x80000003u: return "The specified entity is busy";
    default: break;
    }
  }
  if (const char* text = fixed_text(code)) return text;
  std::snprintf(b->text, kMessageSize, "Unknown error %08x", (unsigned)code);
  return b->text;
}

ASErrno* as_errno_instance() {
  if (!g_errno) g_errno = new (g_errno_storage) ASErrno();
  return g_errno;
}

AbstractASErrno* as_default_get_err() { return as_errno_instance(); }

int as_default_set_err(int code, const char* format, ...) {
  ThreadState* b = find_state();
  if (!b) return code;
  b->code = code;
  if (!format) return code;
  va_list args;
  va_start(args, format);
  format_message(b->message, format, args);
  va_end(args);
  return code;
}

int as_default_set_err_msg(const char* format, ...) {
  ThreadState* b = find_state();
  if (!b) return 0;
  va_list args;
  va_start(args, format);
  int n = format_message(b->message, format, args);
  va_end(args);
  return n;
}

void as_entry_reset() {
  // Every exported call starts here, so with the default hooks in place the
  // constant message is copied rather than formatted.
  if (_as_set_err_msg == as_default_set_err_msg && _as_get_err == as_default_get_err) {
    ThreadState* b = find_state();
    if (!b) return;
    b->code = 0;
    std::memcpy(b->message, kNoErrors, sizeof kNoErrors);
    return;
  }
  _as_get_err()->SetCode(0);
  _as_set_err_msg("There are no errors");
}

// Load: build the object (which creates the key) and the loading thread's
// block. Unload: free this thread's block and delete the key; the object's
// destructor then finds nothing left to do.
__attribute__((constructor(101))) static void as_errno_on_load() { as_errno_instance(); }

__attribute__((destructor(101))) static void as_errno_on_unload() {
  teardown();
  if (g_errno) {
    g_errno->~ASErrno();
    g_errno = nullptr;
  }
}
