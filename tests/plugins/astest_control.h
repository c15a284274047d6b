/*
 * astest_control.h - remote control for the scriptable test plug-ins.
 *
 * libastest_control.so is linked dynamically by the test executables and by
 * every test plug-in under tests/plugins/, so both sides see one process-wide
 * registry (one mutex guards it). A test scripts what the modules do and reads
 * back what was asked of them; the modules, loaded by the real loader through
 * dlopen, consult the registry on every call.
 *
 * Keys. Modules are addressed by display name ("TestFilterA", see
 * tests/plugins/README.md for the names of every scenario). A behaviour of an
 * operation can be narrowed with a match value: the session for the session
 * operations (ApplySessionSettings, IsEnabledForSession, HandleSessionRequest),
 * the breaker index for BreakItem, ReleaseLevel, CommitItem, the verb for
 * DispatchItem, DispatchCommand, GetBreakerIndex, FilterItem, PerformItem, the
 * command for FilterCommand, nothing (ASTEST_ANY) otherwise. A behaviour set
 * for an exact match wins over one set for ASTEST_ANY.
 *
 * What a scripted operation does, in this order:
 *   1. logs the call (module, operation, session, arguments, thread);
 *   2. sleeps, if a sleep was set;
 *   3. throws, if a throw was set (std::runtime_error, ASException through
 *      AS_THROW so the exception line is traced, or a plain int);
 *   4. records an error through the plug-in's _as_set_err, if one was set;
 *   5. does its normal work (below) and returns the result override, if one
 *      was set, else its default.
 *
 * Defaults and normal work per operation:
 *   ApplySessionSettings, ApplySharedSettings      0
 *   IsEnabledForSession                           true (result 0 or 1)
 *   CreateSessionData                             a fresh block; null when
 *                                                 astest_set_null() was called
 *   ReleaseSessionData                            frees the block; result -1 in
 *                                                 the log when it was not one
 *                                                 of this module's blocks
 *   HandleGlobalRequest, HandleSessionRequest     0; when entry 25051 of the
 *                                                 black box is true, writes the
 *                                                 dependencies (25052, string
 *                                                 array); then the answers
 *   CreateStream (streamer)                       a stream whose destruction
 *                                                 is logged (ASTEST_OP_STREAM_
 *                                                 DESTROYED); null on
 *                                                 astest_set_null()
 *   GetEntityType (streamer, dispatcher)          the scenario's entity type
 *   DispatchItem, DispatchCommand (dispatcher)    runs the item or command
 *                                                 script, writes the answers
 *                                                 (current black box of the
 *                                                 item / the command's box),
 *                                                 returns 0
 *   GetBreakerIndex (filter, performer)           0
 *   FilterItem, PerformItem                       writes the answers into the
 *                                                 item's current black box, sets
 *                                                 the item's dirty flag when
 *                                                 ASTEST_FLAG_MARK_DIRTY is on,
 *                                                 returns 0
 *   FilterCommand                                 0
 *   BreakItem (breaker)                           marks the item's state for
 *                                                 that index open, unless an
 *                                                 error was recorded in step 4
 *                                                 or ASTEST_FLAG_NO_OPEN is on
 *   ReleaseLevel, CommitItem                      nothing
 * A module whose creation is refused (astest_set_null(name, ASTEST_OP_CREATE,
 * ASTEST_ANY)) makes its factory's CreateModule answer null.
 *
 * Dispatcher scripts: a list of steps run in order by DispatchItem (script
 * ASTEST_SCRIPT_ITEM) or DispatchCommand (ASTEST_SCRIPT_COMMAND). Each step
 * logs an ASTEST_OP_STEP entry (arg = step kind, text = target, result = what
 * the dispatch manager answered). Exceptions from the dispatch manager pass
 * through the dispatcher unchanged.
 *
 * The log is ordered: every entry has a sequence number taken when the call
 * started and an end number taken when it returned (0 while in progress or
 * when it threw), so two calls overlapped when each started before the other
 * ended. astest_reset() forgets everything; call it at the start of each test.
 *
 * The interface is plain C with copies into caller storage, so nothing
 * allocated on one side of the library boundary is freed on the other.
 */
#ifndef ASTEST_CONTROL_H
#define ASTEST_CONTROL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ASTEST_API __attribute__((visibility("default")))

/* Match value meaning "any session / index / verb / command". */
#define ASTEST_ANY INT64_MIN

enum astest_op {
  ASTEST_OP_NONE = 0,
  ASTEST_OP_FACTORY_GET,       /* GetClassFactory; module = library tag */
  ASTEST_OP_FACTORY_RELEASE,   /* ReleaseClassFactory; module = library tag */
  ASTEST_OP_CREATE,            /* CreateModule made this module (arg = index) */
  ASTEST_OP_DESTROY,           /* the module object was destroyed */
  ASTEST_OP_APPLY_SESSION,     /* slot 2 */
  ASTEST_OP_IS_ENABLED,        /* slot 3 */
  ASTEST_OP_APPLY_SHARED,      /* slot 6 */
  ASTEST_OP_CREATE_SESSION_DATA,  /* slot 7 */
  ASTEST_OP_RELEASE_SESSION_DATA, /* slot 8 */
  ASTEST_OP_GLOBAL_REQUEST,    /* slot 9 */
  ASTEST_OP_SESSION_REQUEST,   /* slot 10 */
  ASTEST_OP_CREATE_STREAM,     /* streamer 12: arg = subtype, arg2/arg3 = params */
  ASTEST_OP_STREAM_DESTROYED,  /* the stream's deleting destructor ran */
  ASTEST_OP_GET_ENTITY_TYPE,   /* streamer 13, dispatcher 14 */
  ASTEST_OP_DISPATCH_ITEM,     /* dispatcher 12: arg = verb, arg2 = item */
  ASTEST_OP_DISPATCH_COMMAND,  /* dispatcher 13: arg = verb */
  ASTEST_OP_GET_BREAKER_INDEX, /* filter 12, performer 13: arg = verb */
  ASTEST_OP_FILTER_ITEM,       /* filter 13: arg = verb, arg2 = item */
  ASTEST_OP_FILTER_COMMAND,    /* filter 14: arg = command */
  ASTEST_OP_PERFORM_ITEM,      /* performer 12: arg = verb, arg2 = item */
  ASTEST_OP_BREAK_ITEM,        /* breaker 13: arg = index, arg2 = item */
  ASTEST_OP_RELEASE_LEVEL,     /* breaker 14: arg = index, arg2 = item */
  ASTEST_OP_COMMIT_ITEM,       /* breaker 15: arg = index, arg2 = item */
  ASTEST_OP_STEP,              /* a dispatcher script step */
  ASTEST_OP_PROBE,             /* slot 4 of a test module: records probes */
  ASTEST_OP_COUNT
};

enum astest_throw {
  ASTEST_THROW_NONE = 0,
  ASTEST_THROW_STD = 1,   /* std::runtime_error(text) */
  ASTEST_THROW_AS = 2,    /* ASException with the text as its whole message */
  ASTEST_THROW_OTHER = 3  /* throw 42 */
};

enum astest_flag {
  ASTEST_FLAG_MARK_DIRTY = 1, /* FilterItem / PerformItem set the item's dirty flag */
  ASTEST_FLAG_NO_OPEN = 2     /* BreakItem does not mark the state open */
};

enum astest_script { ASTEST_SCRIPT_ITEM = 0, ASTEST_SCRIPT_COMMAND = 1 };

enum astest_step_kind {
  ASTEST_STEP_FILTER = 1,         /* PassToFilter(target); value 1: with a timing record */
  ASTEST_STEP_PERFORMER,          /* PassToPerformer(target) */
  ASTEST_STEP_REQUEST,            /* RequestModule(target, item's current box / command box) */
  ASTEST_STEP_FILTER_COMMAND,     /* PassCommandToFilter(target, command = value, null) */
  ASTEST_STEP_IS_FILTER_ENABLED,  /* IsFilterEnabled(target): result 0 or 1 */
  ASTEST_STEP_THROW_STD,          /* throw std::runtime_error(target) */
  ASTEST_STEP_THROW_AS,           /* throw ASException with message target */
  ASTEST_STEP_THROW_OTHER,        /* throw 42 */
  ASTEST_STEP_SLEEP,              /* sleep value milliseconds */
  ASTEST_STEP_WAIT_GATE,          /* wait until gate target opens (result -1 after 10 s) */
  ASTEST_STEP_SET_ERROR           /* _as_set_err(value, "%s", target) */
};

#define ASTEST_NAME_MAX 64
#define ASTEST_TEXT_MAX 256

/* One logged call. */
typedef struct astest_call {
  uint64_t seq;      /* increasing in call order; starts and returns share one
                        counter, so consecutive entries need not differ by 1 */
  uint64_t end_seq;  /* taken when the call returned; 0 while running or after a throw */
  int op;            /* enum astest_op */
  uint64_t session;
  int64_t arg;       /* see enum astest_op */
  int64_t arg2;
  int64_t arg3;
  int64_t result;
  unsigned long thread;
  char module[ASTEST_NAME_MAX];  /* display name (library tag for factory entries) */
  char library[ASTEST_NAME_MAX]; /* tag of the library the module lives in */
  char text[ASTEST_TEXT_MAX];    /* step target, probe key */
} astest_call;

/* A behaviour as the modules read it back. */
typedef struct astest_behaviour {
  int has_result;
  int64_t result;
  int has_error;
  int error_code;
  char error_message[ASTEST_TEXT_MAX]; /* empty: the code only */
  int throw_kind;                      /* enum astest_throw */
  char throw_text[ASTEST_TEXT_MAX];
  unsigned sleep_ms;
  int return_null;
} astest_behaviour;

typedef struct astest_step {
  int kind; /* enum astest_step_kind */
  char target[ASTEST_TEXT_MAX];
  int64_t value;
} astest_step;

/* ---- Test side: scripting ---------------------------------------------- */

/* Forgets behaviours, flags, scripts, answers, gates, probes and the log. */
ASTEST_API void astest_reset(void);

ASTEST_API void astest_set_result(const char* module, int op, int64_t match, int64_t result);
/* message may be null: the code alone is recorded (with an empty message). */
ASTEST_API void astest_set_error(const char* module, int op, int64_t match, int code, const char* message);
ASTEST_API void astest_set_throw(const char* module, int op, int64_t match, int kind, const char* text);
ASTEST_API void astest_set_sleep(const char* module, int op, int64_t match, unsigned ms);
/* CreateSessionData, CreateStream, or ASTEST_OP_CREATE (the factory refuses). */
ASTEST_API void astest_set_null(const char* module, int op, int64_t match);

ASTEST_API void astest_set_flag(const char* module, int flag, int on);
/* Names reported as entry 25052 when a request carries 25051 = true. */
ASTEST_API void astest_set_dependencies(const char* module, const char* const* names, size_t count);
/* Writes key = value (BB_TYPE_INT) into the black box the operation works on.
   Several answers per operation are written in the order they were added. */
ASTEST_API void astest_add_answer(const char* module, int op, uint32_t key, int32_t value);
ASTEST_API void astest_script_add(const char* module, int script, int kind, const char* target, int64_t value);

/* Gates: a script step waits on a closed gate until a test opens it. */
ASTEST_API void astest_gate_open(const char* gate);
ASTEST_API void astest_gate_close(const char* gate);
/* Waits until at least n waiters have arrived at the gate in total. Returns 0,
   or -1 after timeout_ms. */
ASTEST_API int astest_gate_wait_arrivals(const char* gate, int n, unsigned timeout_ms);

/* ---- Test side: reading ------------------------------------------------- */

ASTEST_API size_t astest_log_size(void);
/* Copies entry i (0-based); 0 on success, -1 when i is out of range. */
ASTEST_API int astest_log_get(size_t i, astest_call* out);
/* Calls of op by module (null: any module), completed or not. */
ASTEST_API size_t astest_count(const char* module, int op);
/* Highest number of calls of op by module (null: any) that ran at once. */
ASTEST_API unsigned astest_max_concurrent(const char* module, int op);
/* Modules of this name currently alive (created and not yet destroyed). */
ASTEST_API int astest_alive(const char* module);
/* A value a module recorded (null when none). */
ASTEST_API const void* astest_probe_get(const char* module, const char* key);
ASTEST_API const char* astest_op_name(int op);

/* ---- Module side ---------------------------------------------------------- */

/* Logs the start of a call; returns the handle for astest_leave. */
ASTEST_API uint64_t astest_enter(const char* module, const char* library, int op, uint64_t session,
                                 int64_t arg, int64_t arg2, int64_t arg3, const char* text);
ASTEST_API void astest_leave(uint64_t seq, int64_t result);
/* Ends a call that threw: its end number stays 0. */
ASTEST_API void astest_abandon(uint64_t seq);
/* 1 and *out filled when a behaviour applies to (module, op, match), else 0. */
ASTEST_API int astest_behaviour_find(const char* module, int op, int64_t match, astest_behaviour* out);
ASTEST_API int astest_flag(const char* module, int flag);
ASTEST_API size_t astest_dependency_count(const char* module);
/* Copies dependency i into buf (at most size bytes, terminated); 0 or -1. */
ASTEST_API int astest_dependency_get(const char* module, size_t i, char* buf, size_t size);
ASTEST_API size_t astest_answer_count(const char* module, int op);
ASTEST_API int astest_answer_get(const char* module, int op, size_t i, uint32_t* key, int32_t* value);
ASTEST_API size_t astest_script_size(const char* module, int script);
ASTEST_API int astest_script_get(const char* module, int script, size_t i, astest_step* out);
/* 0 when the gate is (or becomes) open, -1 after timeout_ms. */
ASTEST_API int astest_gate_wait(const char* gate, unsigned timeout_ms);
ASTEST_API void astest_probe_set(const char* module, const char* key, const void* value);

#ifdef __cplusplus
} /* extern "C" */

#include <string>
#include <vector>

/* C++ conveniences for tests. Everything is built in the caller's code. */
namespace astest {

inline std::vector<astest_call> Log() {
  std::vector<astest_call> calls;
  astest_call c;
  for (size_t i = 0; astest_log_get(i, &c) == 0; ++i) calls.push_back(c);
  return calls;
}

/* The calls of op (by module, when given), in order. */
inline std::vector<astest_call> Calls(int op, const char* module = nullptr) {
  std::vector<astest_call> out;
  for (const astest_call& c : Log())
    if (c.op == op && (!module || std::string(c.module) == module)) out.push_back(c);
  return out;
}

/* "Module:Operation" for every call of the given operations, in order; handy
   for comparing a whole sequence in one assertion. */
inline std::vector<std::string> Trail(const std::vector<int>& ops) {
  std::vector<std::string> out;
  for (const astest_call& c : Log())
    for (int op : ops)
      if (c.op == op) out.push_back(std::string(c.module) + ":" + astest_op_name(op));
  return out;
}

/* Resets the registry on construction and destruction. */
struct Scope {
  Scope() { astest_reset(); }
  ~Scope() { astest_reset(); }
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;
};

} /* namespace astest */
#endif

#endif /* ASTEST_CONTROL_H */
