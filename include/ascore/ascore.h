/*
 * ascore.h - the host interface of the anti-spam analysis core.
 *
 * A host loads libascore.so, creates the one core instance over a directory of
 * plug-in module libraries (*.mdl), applies settings, opens sessions and hands
 * the core items to analyse. Inputs and results travel in black boxes.
 *
 * Conventions shared by every function below:
 *  - Each call records an outcome in a per-thread error state that
 *    as_core_err() and as_core_errmsg() read back. Every function except those
 *    two starts by resetting it to code 0 and the message "There are no errors".
 *  - Statuses are signed 32-bit: 0 success, negative failure. Functions that
 *    return a handle or a text return NULL on failure and leave the status in
 *    the error state.
 *  - No C++ exception ever leaves a function of this interface.
 *  - When the core runs out of memory for its own records (a map, a list, a
 *    stored copy), the call fails: it never answers 0 with part of its work
 *    lost. What a plug-in module decides for itself under memory pressure
 *    (refusing session data, offering fewer modules) is reported as the
 *    module reports it.
 *  - Any thread may call any function. The host must not call other functions
 *    while as_core_instance_release() runs, nor release the instance while
 *    calls are in progress.
 *  - Locks inside the core, outermost first (a thread never takes them in
 *    another order): the instance lock (init and release of the instance);
 *    the sessions mutex (session creation and release); the processing lock
 *    (shared by item processing, exclusive for commands and settings
 *    applications); the session's lock (shared by the session's item
 *    operations and setting calls, exclusive for its commands and settings
 *    application, marked at its release); the settings lock; the item's
 *    lock; the session map guard (held only while a module's session table
 *    is read or changed). Session creation and release do not take the
 *    processing lock, so they never wait for items being processed.
 *  - Calls on a session that is being released on another thread fail with
 *    -104 at once (each function below gives its message) instead of waiting
 *    for the release. A handle used after as_core_session_release() has
 *    returned is invalid: that is the host's error, the core cannot detect it.
 *
 * This header compiles as C (C99 or later) and as C++.
 */
#ifndef ASCORE_ASCORE_H
#define ASCORE_ASCORE_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define AS_API __attribute__((visibility("default")))
#else
#define AS_API
#endif

/* ---- Status codes ------------------------------------------------------- */
#define AS_OK                      0
#define AS_ERR_INVALID_INPUT    (-101) /* missing or invalid argument */
#define AS_ERR_MEMORY           (-102) /* memory allocation failed */
#define AS_ERR_INVALID_POINTER  (-103) /* invalid pointer or handle */
#define AS_ERR_INTERNAL         (-104) /* failure caught inside the core */
#define AS_ERR_FATAL            (-105) /* fatal failure applying settings */
#define AS_ERR_UNDEFINED        (-106)
#define AS_ERR_FILE             (-201)
#define AS_ERR_FILE_READ        (-202)
#define AS_ERR_FILE_WRITE       (-203)
#define AS_ERR_FILE_OPEN        (-204)
#define AS_ERR_BB_NOT_FOUND     (-301) /* element not found in blackbox */
#define AS_ERR_CORE_EXISTS      (-401) /* a core instance already exists */
#define AS_ERR_NO_CORE          (-402) /* no core instance */
#define AS_ERR_FILTER_DISABLED  (-560) /* dispatch: filter not usable on the session */
#define AS_ERR_FILTER_PASSED    (-561) /* dispatch: item was passed to the filter */
#define AS_ERR_FILTER_NOT_FOUND (-563) /* dispatch: no filter of that name */

/* ---- Product mask bits -------------------------------------------------- */
#define AS_PRODUCT_EML   1u  /* mail */
#define AS_PRODUCT_APH   2u  /* anti-phishing */
#define AS_PRODUCT_PC    4u  /* parental control */
#define AS_PRODUCT_IM    8u  /* instant messaging */
#define AS_PRODUCT_SEND 16u
#define AS_PRODUCT_ALL  31u

/* ---- Black-box type codes ----------------------------------------------- */
enum as_bb_type {
  BB_TYPE_BOOL = 0,          /* set: int;                 get: bool* out, int default */
  BB_TYPE_INT = 1,           /* set: int;                 get: int* out, int default */
  BB_TYPE_LONG = 2,          /* set: int64_t;             get: int64_t* out, int64_t default */
  BB_TYPE_ULONG = 3,         /* set: uint64_t;            get: uint64_t* out, uint64_t default */
  BB_TYPE_DOUBLE = 4,        /* set: double;              get: double* out, double default */
  BB_TYPE_STRING = 5,        /* set: const char*;         get: const char** out */
  BB_TYPE_WSTRING = 6,       /* set: const wchar_t*;      get: const wchar_t** out */
  BB_TYPE_POINTER = 7,       /* set: void*;               get: (none) */
  BB_TYPE_UTF8 = 8,          /* set: const char* (UTF-8); get: const char** out */
  BB_TYPE_BYTE_ARRAY = 9,    /* set: const char*, size_t;     get: char* buf, size_t* count */
  BB_TYPE_INT_ARRAY = 10,    /* set: const int*, size_t;      get: int* buf, size_t* count */
  BB_TYPE_LONG_ARRAY = 11,   /* set: const long*, size_t;     get: long* buf, size_t* count */
  BB_TYPE_ULONG_ARRAY = 12,  /* set: const unsigned long*, size_t */
  BB_TYPE_DOUBLE_ARRAY = 13, /* set: const double*, size_t */
  BB_TYPE_STRING_ARRAY = 14, /* set: const char* const*, size_t; get: const char** buf, size_t* count */
  BB_TYPE_WSTRING_ARRAY = 15,/* set: const wchar_t* const*, size_t */
  BB_TYPE_HANDLE_ARRAY = 16, /* set: const unicode_carr_string_t*, size_t */
  BB_TYPE_UTF8_ARRAY = 17    /* set: const char* const* (UTF-8), size_t */
};

/* An opaque 8-byte string handle stored as given by BB_TYPE_HANDLE_ARRAY. */
typedef void* unicode_carr_string_t;

/* ---- Handles ------------------------------------------------------------ */
typedef struct as_core_s as_core_t;         /* the core instance */
typedef struct as_session_s as_session_t;   /* one session */
typedef struct as_item_s as_item_t;         /* one item being analysed */
typedef struct as_blackbox_s as_blackbox_t; /* a typed key/value bag */

/* Item descriptor: read only during as_core_item_create(). */
typedef struct as_item_descriptor {
  int64_t stream_param1;   /* handed to the streamer unchanged */
  int64_t stream_param2;   /* handed to the streamer unchanged */
  uint32_t entity_type;    /* selects the streamer and the dispatcher */
  uint32_t entity_subtype; /* handed to the streamer */
} as_item_descriptor_t;

/* ---- Version and error read-back ---------------------------------------- */

/* Writes the four version numbers 2, 15, 10, 1294 into version[0..3] (the
 * ASCORE_VERSION_* numbers of ascore/version.h for a matching library).
 * Returns 0; NULL: -101 "wrong pointer @input". */
AS_API int32_t as_core_version_get(uint32_t* version);

/* The calling thread's current code. No entry reset. */
AS_API int32_t as_core_err(void);

/* The text for the calling thread's current code. No entry reset. After a
 * successful call (code 0) this is the system's text for error number 0; after
 * a failure, the message that the failing call recorded. The text lives in
 * per-thread storage and stays valid until this thread's next call. */
AS_API const char* as_core_errmsg(void);

/* ---- Instance ----------------------------------------------------------- */

/* Creates the one core instance of the process over the plug-in directory
 * modules_path: starts the trace log first (marker files are looked for in
 * that directory), stores the path under the settings
 * "/eml/global/SharedLibsPathNew", "/send/global/SharedLibsPathNew" and
 * "/http/general/SharedLibsPathNew", loads the *.mdl libraries that
 * product_mask (AS_PRODUCT_*) selects and files their modules by kind.
 * Applies no settings: call as_core_settings_apply(NULL) next.
 * The path is copied; the caller keeps ownership of the text.
 * Returns 0, or:
 *   -101  modules_path is NULL ("Invalid path to modules, the Core cannot be
 *         initialized");
 *   -401  an instance already exists ("Core already instantiated"); the
 *         existing instance is untouched;
 *   -102  memory ran out while the core was built or started: its store,
 *         the module path settings, the module list or the registration of a
 *         module for settings ("Not enough memory for the Core."); nothing
 *         stays loaded;
 *   other negative codes: start-up failed ("The Core failed to initialize.");
 *         for example -104 when no library matches, a library cannot be
 *         loaded or a module reports an invalid kind. Nothing stays loaded.
 * After a failure there is no instance and the call may be repeated. */
AS_API int32_t as_core_instance_init(const char* modules_path, uint64_t product_mask);

/* The instance, or NULL with -402 ("call as_core_instance_init() first") when
 * there is none. The handle stays valid until as_core_instance_release(). */
AS_API as_core_t* as_core_instance_get(void);

/* Destroys the instance: sessions still open are reported in the trace log
 * and dropped (their handles become invalid, their memory is not reclaimed),
 * every plug-in library is released and closed. No other call may be in
 * progress on any thread. The trace log stays open.
 * Returns 0, or -402 ("No Core Instance to release") when there is none. */
AS_API int32_t as_core_instance_release(void);

/* Every function below that needs the instance fails with -402 ("Core isn't
 * initialized") when there is none; that check comes before the argument
 * checks except where a function says otherwise. A failed argument check is
 * -101 with the message given. Any other failure inside the core is -104
 * with a message naming what failed. */

/* ---- Sessions ----------------------------------------------------------- */

/* Opens a session: the lowest free ID from 1 to 999, per-session data from
 * every module and a settings set in the store. Apply its settings with
 * as_core_settings_apply(session) before processing items in it. Does not
 * wait for items being processed; waits while another session is created or
 * released, or while settings are applied.
 * Returns the handle, or NULL:
 *   -102  "Memory error while trying to allocate a new data structure":
 *         memory ran out for a module's session entry or for the session's
 *         settings set; nothing of the session is left and the ID stays free;
 *   -104  "failed to create session with message: ..." - for example when
 *         999 sessions are open already.
 * A handle can come back with a non-zero code, which then only reports that
 * a module refused its per-session data (-102) or already held the ID
 * (-104); the session is usable all the same.
 * The handle belongs to the core until as_core_session_release(). */
AS_API as_session_t* as_core_session_create(void);

/* Closes a session. Waits until the item operations and setting calls of the
 * session in progress on other threads have finished; calls on the session
 * made after that, until this function returns, fail with -104 (see each
 * function). Does not wait for items of other sessions. The session's items
 * must have been released first. The ID becomes free and the handle invalid.
 * Returns the code left by the last module's release of its session data
 * (0 normally), or:
 *   -101  session is NULL ("invalid handles"), or it belongs to another core;
 *   -104  the session is already being released by another thread ("Could
 *         not lock session with ID = N for deletion - exiting"), or a module
 *         had no data for it ("Invalid session ID: N"). */
AS_API int32_t as_core_session_release(as_session_t* session);

/* ---- Items and commands ------------------------------------------------- */

/* Creates an item of the session: the first streamer whose entity type is
 * descriptor->entity_type makes its stream from the descriptor, which is read
 * during the call only.
 * Returns the handle, or NULL:
 *   -101  session or descriptor is NULL ("invalid handles");
 *   -104  no streamer serves the entity type ("failed to create item handle
 *         with message: ... Cannot find suitable streamer for the given
 *         Entity Type (T)"), or the session is being released;
 *   whatever the streamer recorded (possibly 0) when it made no stream.
 * The item belongs to the core until as_core_item_release(). */
AS_API as_item_t* as_core_item_create(as_session_t* session, const as_item_descriptor_t* descriptor);

/* Analyses the item with the verb: the dispatcher of its entity type runs
 * the filters and performers it wants. blackbox carries the inputs and
 * receives the results; the caller keeps it and reads it afterwards. Items
 * of any session may be processed in parallel; one item is processed by one
 * thread at a time (others wait). Waits while a command or a settings
 * application runs.
 * Returns the code the analysis left (0 on success), or:
 *   -101  item, blackbox or session is NULL ("invalid handles");
 *   -104  something threw inside ("Failed to process item with message:
 *         ..."), for example no dispatcher for the entity type, or the
 *         session is being released. */
AS_API int32_t as_core_item_process(as_session_t* session, as_item_t* item, uint32_t verb,
                                    as_blackbox_t* blackbox);

/* Releases the item: the modules finish with it, its stream is destroyed and
 * the handle becomes invalid. Waits for a processing of the item in progress.
 * The item is disposed of even when the call fails.
 * Returns 0 or the code the release left, or:
 *   -101  session or item is NULL ("invalid handles");
 *   -104  something threw while releasing (the message is its text), or the
 *         session is being released (the item is disposed of all the same). */
AS_API int32_t as_core_item_release(as_session_t* session, as_item_t* item);

/* Creates, processes and releases one item in one call. The release always
 * runs once the item exists. No instance check of its own: without an
 * instance the creation fails with -402.
 * Returns the processing failure when there is one (its message is the one
 * read back), else the release's result; -101 ("invalid handles") when
 * session, blackbox or descriptor is NULL; the creation's code when no item
 * could be made. */
AS_API int32_t as_core_item_process_alt(as_session_t* session, const as_item_descriptor_t* descriptor,
                                        uint32_t verb, as_blackbox_t* blackbox);

/* Sends a verb to the dispatcher of entity_type without an item. Runs alone:
 * waits until no item of any session is being processed and no item
 * operation of this session is in progress, and holds them off meanwhile.
 * blackbox is the caller's, read and written during the call.
 * Returns the code the dispatcher left, or:
 *   -101  session or blackbox is NULL ("invalid handles");
 *   -104  "failed to process command with message: ...", for example no
 *         dispatcher for the entity type, or the session is being released. */
AS_API int32_t as_core_command_process(as_session_t* session, uint32_t entity_type, uint32_t verb,
                                       as_blackbox_t* blackbox);

/* ---- Settings ----------------------------------------------------------- */
/* Keys are slash-separated paths such as "/eml/global/SharedDataPath",
 * compared byte for byte; values are UTF-8 text. A NULL session means the
 * global settings, which a session without a value of its own falls back to.
 * A written value reaches the modules only with the next application. */

/* Stores value under key, globally or for the session; both texts are copied.
 * Returns 0 (also when the store refused a write for a session it does not
 * know: that is only traced), or:
 *   -101  key or value is NULL ("invalid handles");
 *   -102  "Not enough memory to store the setting": the key or the value could
 *         not be stored; the setting reads as before (or, when only its wide
 *         copy was lost, as the new value), never as absent;
 *   -104  "failed to modify setting with message: ...", for example when the
 *         session is being released. */
AS_API int32_t as_core_setting_set(as_session_t* session, const char* key, const char* value);

/* The value of key for the session (falling back to the global value) or the
 * global value when session is NULL. NULL with code 0 when the key is
 * unknown or NULL; NULL with -104 when the session is being released. The
 * text belongs to the core and stays valid until that setting is written
 * again, the session is released or the instance is destroyed. */
AS_API const char* as_core_setting_get(as_session_t* session, const char* key);

/* Copies into the instance the global settings of another core object
 * (source, not released meanwhile) that the instance lacks; values the
 * instance has already are kept. Checks come before the instance check.
 * Returns the copy's status (0), or -101 with "Invalid instance of ASCore"
 * (source NULL) or "source = dest" (source is the instance). */
AS_API int32_t as_core_global_settings_copy(as_core_t* source);

/* Copies the settings of session source into session destination. Works
 * only across core objects: two sessions of the same core give -101 "Same
 * instance of ASCore". Checks come before the instance check.
 * Returns the copy's status, or -101 "invalid input for sessions" when
 * either handle is NULL, or -101 when either session is unknown. */
AS_API int32_t as_core_settings_copy(as_session_t* source, as_session_t* destination);

/* Applies the settings to the modules that product_mask selects, globally
 * (session NULL: re-reads the product presets, activates each module or not)
 * or for the session (enables each module for it or not). Waits until no
 * item is being processed and no command runs; a session application also
 * waits for every item operation of that session.
 * Returns 0, or the store's failure (for example -104 "N filter(s) failed to
 * apply session settings: ..." or -105), or -104 "This session wasn't
 * created by this instance of ascore", or -104 "failed to apply settings
 * with message: ..." when the session is being released. */
AS_API int32_t as_core_settings_apply_alt(as_session_t* session, uint64_t product_mask);

/* as_core_settings_apply_alt(session, AS_PRODUCT_ALL). */
AS_API int32_t as_core_settings_apply(as_session_t* session);

/* ---- Black boxes --------------------------------------------------------
 *
 * A black box is a typed key/value bag: each 32-bit key holds one element of
 * one of the BB_TYPE_* types. The box owns copies of every value it stores,
 * except what BB_TYPE_POINTER values and BB_TYPE_HANDLE_ARRAY handles point
 * to: those are stored as given and never followed or freed.
 *
 * A handle belongs to the host from as_blackbox_create() or _clone() until
 * as_blackbox_release(). A handle that is not NULL but was never created or
 * was already released cannot be detected; passing one is undefined. The
 * functions take no lock: a host that uses one box from several threads
 * serialises the calls itself.
 */

/* Creates an empty box. Returns the new handle, owned by the caller.
 * Failure: NULL, -102 "Not enough memory for a new blackbox". */
AS_API as_blackbox_t* as_blackbox_create(void);

/* Creates a new box holding a deep copy of every element of blackbox, which
 * is left unchanged. BB_TYPE_POINTER elements are not copied (the copy lacks
 * those keys); handle arrays copy the handles themselves; an element whose
 * copy cannot be allocated is left out. The new handle is owned by the caller.
 * NULL blackbox: NULL, -101 "invalid blackbox to clone".
 * The new box cannot be made: NULL, -102 "failed to clone blackbox". */
AS_API as_blackbox_t* as_blackbox_clone(as_blackbox_t* blackbox);

/* Destroys every element and then the box; the handle is invalid afterwards,
 * and so is every pointer that as_blackbox_get() returned for it.
 * Returns 0. NULL blackbox: -101 "invalid blackbox handle". */
AS_API int32_t as_blackbox_release(as_blackbox_t* blackbox);

/* Destroys every element; the box stays usable and holds nothing. Pointers
 * returned by as_blackbox_get() for this box become invalid.
 * Returns 0. NULL blackbox: -101 "invalid blackbox handle". */
AS_API int32_t as_blackbox_empty(as_blackbox_t* blackbox);

/* Stores a value of the given type under key, replacing whatever element the
 * key held (of any type). The arguments after type, with the usual variadic
 * promotions:
 *   BB_TYPE_BOOL, BB_TYPE_INT     int (BOOL stores 1 for any non-zero value)
 *   BB_TYPE_LONG, BB_TYPE_ULONG   int64_t / uint64_t
 *   BB_TYPE_DOUBLE                double
 *   BB_TYPE_STRING, BB_TYPE_UTF8  const char* (NULL stores a null string);
 *                                 UTF8 also keeps a wide copy, in which an
 *                                 ill-formed sequence reads as U+FFFD
 *   BB_TYPE_WSTRING               const wchar_t* (NULL stores a null string)
 *   BB_TYPE_POINTER               void*, stored as given
 *   BB_TYPE_BYTE_ARRAY .. BB_TYPE_DOUBLE_ARRAY, BB_TYPE_HANDLE_ARRAY
 *                                 pointer to the first element, size_t count
 *   BB_TYPE_STRING_ARRAY, BB_TYPE_UTF8_ARRAY
 *                                 const char* const* texts, size_t count
 *   BB_TYPE_WSTRING_ARRAY         const wchar_t* const* texts, size_t count
 * Texts and arrays are copied before the call returns; a NULL entry in a text
 * array is stored as a null string. The source may point into the element
 * being replaced (a text obtained with as_blackbox_get() on the same key).
 * Returns 0, or:
 *   NULL blackbox: -101 "invalid blackbox handle"
 *   type above 17: -101 "invalid input" (the box is unchanged)
 *   NULL array pointer (even with count 0): -103 "invalid pointer for set"
 *     (the box is unchanged)
 *   out of memory: -102 "memory allocation"; the key then holds either its
 *     previous element or an empty value of the new type. */
AS_API int32_t as_blackbox_set(as_blackbox_t* blackbox, uint32_t key, uint32_t type, ...);

/* Reads the element under key as the given type. An element of another type
 * counts as absent, except that BB_TYPE_STRING also reads UTF8 elements,
 * BB_TYPE_WSTRING reads the wide copy of UTF8 elements, and the two string
 * array types read the halves of UTF8_ARRAY elements. An absent key is not an
 * error: the error state stays clear. The arguments after type and the result:
 *   BOOL, INT, LONG, ULONG, DOUBLE: out pointer (bool*, int*, int64_t*,
 *     uint64_t*, double*), then the default (int, int, int64_t, uint64_t,
 *     double). Present: the value is copied to out and out is returned; with
 *     a NULL out the address of the stored value is returned. Absent: the
 *     default (BOOL: default != 0) is stored in out and out is returned;
 *     with a NULL out, NULL.
 *   STRING, UTF8 (const char** out), WSTRING (const wchar_t** out): the
 *     stored text, also written to out when out is not NULL; absent: NULL,
 *     and NULL written to out. A null string reads as NULL.
 *   POINTER: no further argument; the stored pointer, NULL when absent.
 *   Array types: buffer (element type*, or const char** / const wchar_t**
 *     for the text arrays), then size_t* count. With a NULL buffer the
 *     element count is stored in *count and count is returned. Otherwise
 *     min(*count, element count) elements are copied to the buffer, that
 *     number is stored in *count and the buffer is returned. Absent, or a
 *     NULL count: NULL, *count untouched.
 * Type above 17: NULL. NULL blackbox: NULL, -101 "invalid blackbox handle".
 * Every pointer returned or written (the address of a scalar, a text, the
 * texts copied into a text-array buffer) points into the box: the caller must
 * not free it, and it stays valid only until the key is set again or removed,
 * or the box is emptied or released. */
AS_API void* as_blackbox_get(as_blackbox_t* blackbox, uint32_t key, uint32_t type, ...);

#ifdef __cplusplus
}
#endif

#endif /* ASCORE_ASCORE_H */
