/*
 * astest_control.h - remote control for the scriptable test plug-ins.
 *
 * libastest_control.so is linked dynamically by the test executables and by
 * every test plug-in, so both sides see one process-wide registry. A test
 * scripts what the modules do and reads back what was asked of them; the
 * modules, loaded by the real loader through dlopen, consult it on every call.
 *
 * A behaviour is keyed by module display name, operation and a match value:
 * the session for the session operations, the breaker index for the breaker's,
 * the verb for item work and GetBreakerIndex, the command for FilterCommand,
 * ASTEST_ANY otherwise. An exact match wins over ASTEST_ANY. A scripted call
 * logs itself, waits at a gate, sleeps, throws, records an error through
 * _as_set_err, does its normal work (writes the scripted answers into the
 * black box it works on, runs the dispatcher's script, opens the breaker level
 * it is asked for unless an error was recorded, marks the item dirty on
 * ASTEST_FLAG_MARK_DIRTY) and returns the result override or its default (0;
 * IsEnabledForSession true).
 * astest_set_null makes CreateSessionData, CreateStream or, for
 * ASTEST_OP_CREATE, the factory's CreateModule answer null.
 *
 * Log entries carry a sequence number taken at the start of the call and an
 * end number taken at its return (0 while running or after a throw), from one
 * counter: two calls overlapped when each started before the other ended.
 *
 * The interface is plain C with copies into caller storage, so nothing
 * allocated on one side of a library boundary is freed on the other.
 */
#ifndef ASTEST_CONTROL_H
#define ASTEST_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ASTEST_API __attribute__((visibility("default")))
#define ASTEST_ANY INT64_MIN

enum astest_op {
  ASTEST_OP_NONE = 0,
  ASTEST_OP_FACTORY_GET,       /* module = library tag */
  ASTEST_OP_FACTORY_RELEASE,   /* module = library tag */
  ASTEST_OP_CREATE,
  ASTEST_OP_DESTROY,
  ASTEST_OP_APPLY_SESSION,
  ASTEST_OP_IS_ENABLED,
  ASTEST_OP_APPLY_SHARED,
  ASTEST_OP_CREATE_SESSION_DATA,  /* result = serial of the block */
  ASTEST_OP_RELEASE_SESSION_DATA, /* arg = serial, -1 when the block was not this module's */
  ASTEST_OP_GLOBAL_REQUEST,
  ASTEST_OP_SESSION_REQUEST,
  ASTEST_OP_CREATE_STREAM,     /* arg = subtype, arg2/arg3 = params */
  ASTEST_OP_STREAM_DESTROYED,
  ASTEST_OP_DISPATCH_ITEM,     /* arg = verb */
  ASTEST_OP_DISPATCH_COMMAND,  /* arg = verb */
  ASTEST_OP_GET_BREAKER_INDEX, /* arg = verb */
  ASTEST_OP_FILTER_ITEM,       /* arg = verb */
  ASTEST_OP_FILTER_COMMAND,    /* arg = command */
  ASTEST_OP_PERFORM_ITEM,      /* arg = verb */
  ASTEST_OP_BREAK_ITEM,        /* arg = index */
  ASTEST_OP_RELEASE_LEVEL,     /* arg = index */
  ASTEST_OP_COMMIT_ITEM,       /* arg = index */
  ASTEST_OP_STEP,              /* arg = step kind, text = target, result = the manager's answer */
  ASTEST_OP_PROBE,             /* slot 4 of a test module: records probes */
  ASTEST_OP_COUNT
};

enum astest_throw { ASTEST_THROW_NONE, ASTEST_THROW_STD, ASTEST_THROW_AS, ASTEST_THROW_OTHER /* throw 42 */ };
enum astest_flag { ASTEST_FLAG_MARK_DIRTY = 1 };
enum astest_script { ASTEST_SCRIPT_ITEM, ASTEST_SCRIPT_COMMAND };

/* Dispatcher script steps, run in order by DispatchItem / DispatchCommand. */
enum astest_step_kind {
  ASTEST_STEP_FILTER = 1, /* PassToFilter(target); value 1: with a timing record */
  ASTEST_STEP_PERFORMER,  /* PassToPerformer(target) */
  ASTEST_STEP_REQUEST,    /* RequestModule(target, item's current box / command box) */
  ASTEST_STEP_THROW_STD,  /* throw std::runtime_error(target) */
  ASTEST_STEP_SLEEP,      /* sleep value milliseconds */
  ASTEST_STEP_WAIT_GATE   /* wait until gate target opens (result -1 after 10 s) */
};

#define ASTEST_NAME_MAX 64
#define ASTEST_TEXT_MAX 256

typedef struct astest_call {
  uint64_t seq, end_seq;
  int op;
  uint64_t session;
  int64_t arg, arg2, arg3, result;
  unsigned long thread;
  char module[ASTEST_NAME_MAX];  /* display name (library tag for factory entries) */
  char library[ASTEST_NAME_MAX]; /* tag of the library the module lives in */
  char text[ASTEST_TEXT_MAX];
} astest_call;

typedef struct astest_behaviour {
  int has_result;
  int64_t result;
  int has_error, error_code;
  char error_message[ASTEST_TEXT_MAX];
  int throw_kind;
  char throw_text[ASTEST_TEXT_MAX];
  unsigned sleep_ms;
  int return_null;
  char gate[ASTEST_NAME_MAX]; /* empty: no gate */
} astest_behaviour;

typedef struct astest_step {
  int kind;
  char target[ASTEST_TEXT_MAX];
  int64_t value;
} astest_step;

/* Test side. astest_reset forgets everything but the live module counts. */
ASTEST_API void astest_reset(void);
ASTEST_API void astest_set_result(const char* module, int op, int64_t match, int64_t result);
ASTEST_API void astest_set_error(const char* module, int op, int64_t match, int code, const char* message);
ASTEST_API void astest_set_throw(const char* module, int op, int64_t match, int kind, const char* text);
ASTEST_API void astest_set_sleep(const char* module, int op, int64_t match, unsigned ms);
ASTEST_API void astest_set_null(const char* module, int op, int64_t match);
/* Quiet (until astest_reset or astest_set_quiet(0)): module calls are not
 * logged and take their default behaviour, without touching the registry's
 * lock, so that threads that only meet in module calls share no lock through
 * it (race checks). Dispatchers still read their scripts. */
ASTEST_API void astest_set_quiet(int on);
/* The call waits until the gate opens (at most 10 s) before anything else. */
ASTEST_API void astest_set_gate(const char* module, int op, int64_t match, const char* gate);
ASTEST_API void astest_set_flag(const char* module, int flag, int on);
/* Writes key = value (BB_TYPE_INT) into the black box the operation works on. */
ASTEST_API void astest_add_answer(const char* module, int op, uint32_t key, int32_t value);
ASTEST_API void astest_script_add(const char* module, int script, int kind, const char* target, int64_t value);
ASTEST_API void astest_gate_open(const char* gate);
/* 0 once at least n waiters have arrived at the gate in total, -1 after timeout_ms. */
ASTEST_API int astest_gate_wait_arrivals(const char* gate, int n, unsigned timeout_ms);
/* Copies entry i; 0, or -1 when i is out of range. */
ASTEST_API int astest_log_get(size_t i, astest_call* out);
/* Calls of op by module (null: any module), completed or not. */
ASTEST_API size_t astest_count(const char* module, int op);
/* Modules of this name created and not yet destroyed. */
ASTEST_API int astest_alive(const char* module);
ASTEST_API const void* astest_probe_get(const char* module, const char* key);
ASTEST_API const char* astest_op_name(int op);

/* Module side. */
ASTEST_API uint64_t astest_enter(const char* module, const char* library, int op, uint64_t session,
                                 int64_t arg, int64_t arg2, int64_t arg3, const char* text);
ASTEST_API void astest_leave(uint64_t seq, int64_t result);
ASTEST_API void astest_abandon(uint64_t seq); /* the call threw: its end number stays 0 */
ASTEST_API int astest_behaviour_find(const char* module, int op, int64_t match, astest_behaviour* out);
ASTEST_API int astest_flag(const char* module, int flag);
ASTEST_API int astest_answer_get(const char* module, int op, size_t i, uint32_t* key, int32_t* value);
ASTEST_API int astest_script_get(const char* module, int script, size_t i, astest_step* out);
ASTEST_API int astest_gate_wait(const char* gate, unsigned timeout_ms); /* 0, or -1 after timeout_ms */
ASTEST_API void astest_probe_set(const char* module, const char* key, const void* value);

#ifdef __cplusplus
} /* extern "C" */

#include <string>
#include <vector>

namespace astest {

/* The calls of op (by module, when given), in order; every call for op 0. */
inline std::vector<astest_call> Calls(int op = ASTEST_OP_NONE, const char* module = nullptr) {
  std::vector<astest_call> out;
  astest_call c;
  for (size_t i = 0; astest_log_get(i, &c) == 0; ++i)
    if ((op == ASTEST_OP_NONE || c.op == op) && (!module || std::string(c.module) == module)) out.push_back(c);
  return out;
}

/* "Module:Operation" for every call of the given operations, in order. */
inline std::vector<std::string> Trail(const std::vector<int>& ops) {
  std::vector<std::string> out;
  for (const astest_call& c : Calls())
    for (int op : ops)
      if (c.op == op) out.push_back(std::string(c.module) + ":" + astest_op_name(op));
  return out;
}

struct Scope {
  Scope() { astest_reset(); }
  ~Scope() { astest_reset(); }
};

} /* namespace astest */
#endif

#endif /* ASTEST_CONTROL_H */
