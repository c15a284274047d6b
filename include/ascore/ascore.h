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
 *  - Any thread may call any function. The host must not call other functions
 *    while as_core_instance_release() runs, nor release the instance while
 *    calls are in progress.
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

/* Writes the four version numbers 2, 15, 10, 1294 into version[0..3].
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
AS_API int32_t as_core_instance_init(const char* modules_path, uint64_t product_mask);
AS_API as_core_t* as_core_instance_get(void);
AS_API int32_t as_core_instance_release(void);

/* ---- Sessions ----------------------------------------------------------- */
AS_API as_session_t* as_core_session_create(void);
AS_API int32_t as_core_session_release(as_session_t* session);

/* ---- Items and commands ------------------------------------------------- */
AS_API as_item_t* as_core_item_create(as_session_t* session, const as_item_descriptor_t* descriptor);
AS_API int32_t as_core_item_process(as_session_t* session, as_item_t* item, uint32_t verb,
                                    as_blackbox_t* blackbox);
AS_API int32_t as_core_item_release(as_session_t* session, as_item_t* item);
AS_API int32_t as_core_item_process_alt(as_session_t* session, const as_item_descriptor_t* descriptor,
                                        uint32_t verb, as_blackbox_t* blackbox);
AS_API int32_t as_core_command_process(as_session_t* session, uint32_t entity_type, uint32_t verb,
                                       as_blackbox_t* blackbox);

/* ---- Settings ----------------------------------------------------------- */
AS_API int32_t as_core_setting_set(as_session_t* session, const char* key, const char* value);
AS_API const char* as_core_setting_get(as_session_t* session, const char* key);
AS_API int32_t as_core_global_settings_copy(as_core_t* source);
AS_API int32_t as_core_settings_copy(as_session_t* source, as_session_t* destination);
AS_API int32_t as_core_settings_apply_alt(as_session_t* session, uint64_t product_mask);
AS_API int32_t as_core_settings_apply(as_session_t* session);

/* ---- Black boxes -------------------------------------------------------- */
AS_API as_blackbox_t* as_blackbox_create(void);
AS_API as_blackbox_t* as_blackbox_clone(as_blackbox_t* blackbox);
AS_API int32_t as_blackbox_release(as_blackbox_t* blackbox);
AS_API int32_t as_blackbox_empty(as_blackbox_t* blackbox);
AS_API int32_t as_blackbox_set(as_blackbox_t* blackbox, uint32_t key, uint32_t type, ...);
AS_API void* as_blackbox_get(as_blackbox_t* blackbox, uint32_t key, uint32_t type, ...);

#ifdef __cplusplus
}
#endif

#endif /* ASCORE_ASCORE_H */
