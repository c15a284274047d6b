/*
 * host_e2e.c - a host written in C: start-up, global settings, two sessions
 * with their settings, items, a command, setting changes, releases and
 * shutdown. Tracing is on at debug level; afterwards the log must hold the
 * milestones of that life in order. (Concurrency is core_stress_test's.)
 */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"

#define ITEMS 6

static int failures;

#define CHECK(cond)                                                              \
  do {                                                                           \
    if (!(cond)) {                                                               \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                                \
    }                                                                            \
  } while (0)

static int get_int(as_blackbox_t* bb, uint32_t key) {
  int value = -1;
  as_blackbox_get(bb, key, BB_TYPE_INT, &value, -1);
  return value;
}

static int count(const char* text, const char* what) {
  int n = 0;
  for (const char* p = strstr(text, what); p; p = strstr(p + 1, what)) ++n;
  return n;
}

int main(void) {
  char dir[] = "/tmp/ascore-e2e-XXXXXX";
  if (!mkdtemp(dir)) return 2;
  setenv("AS_TRACER_LEVEL", "debug", 1);
  setenv("AS_TRACER_PATH", dir, 1);

  astest_reset();
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_FILTER, "TestFilterA", 0);
  astest_add_answer("TestFilterA", ASTEST_OP_FILTER_ITEM, 500, 42);
  astest_add_answer("TestDispatcher", ASTEST_OP_DISPATCH_COMMAND, 501, 7);

  CHECK(as_core_instance_init(ASTEST_DIR("full"), AS_PRODUCT_ALL) == 0);
  CHECK(as_core_settings_apply(NULL) == 0);
  as_session_t* sessions[2];
  for (int i = 0; i < 2; ++i) {
    CHECK((sessions[i] = as_core_session_create()) != NULL);
    CHECK(as_core_settings_apply(sessions[i]) == 0);
  }

  as_item_descriptor_t d = {1, 2, 1, 0};
  for (int i = 0; i < ITEMS; ++i) {
    as_blackbox_t* bb = as_blackbox_create();
    as_item_t* item = as_core_item_create(sessions[i % 2], &d);
    CHECK(item && as_core_item_process(sessions[i % 2], item, 1, bb) == 0 && get_int(bb, 500) == 42);
    CHECK(item && as_core_item_release(sessions[i % 2], item) == 0);
    as_blackbox_release(bb);
  }
  as_blackbox_t* bb = as_blackbox_create();
  CHECK(as_core_command_process(sessions[0], 1, 9, bb) == 0 && get_int(bb, 501) == 7);
  as_blackbox_release(bb);

  CHECK(as_core_setting_set(NULL, "/e2e/mode", "strict") == 0);
  CHECK(as_core_setting_set(sessions[1], "/e2e/mode", "lenient") == 0);
  const char* mode = as_core_setting_get(sessions[0], "/e2e/mode");
  CHECK(mode && strcmp(mode, "strict") == 0);
  mode = as_core_setting_get(sessions[1], "/e2e/mode");
  CHECK(mode && strcmp(mode, "lenient") == 0);

  for (int i = 0; i < 2; ++i) CHECK(as_core_session_release(sessions[i]) == 0);
  CHECK(as_core_instance_release() == 0);
  CHECK(as_core_err() == 0);

  char path[256];
  snprintf(path, sizeof path, "%s/as2_debug.log", dir);
  static char log[1 << 22]; /* far more than this run writes */
  FILE* f = fopen(path, "rb");
  CHECK(f != NULL);
  if (!f) return 1;
  CHECK(fread(log, 1, sizeof log - 1, f) > 0);
  fclose(f);
  static const char* const milestones[] = {
      "| DEBUG trace log started |",
      ">>> Init AS2 Core instance  - version 2.15.10.1294",
      ">>> CCore :: Init",
      "Path to modules: " ASTEST_DIR("full"),
      "Distributing: [TestStreamer]",
      "Distributing: [TestBreaker]",
      "<<< CCore :: Init ([Code: 0]",
      "<<< Init AS2 Core instance finished.",
      "Apply global settings",
      ">>> Creating new Core Session",
      "<<< Core session created (handle: ",
      "Apply settings for session with ID: 1",
      ">>> Creating new Core Session",
      "Apply settings for session with ID: 2",
      ">>> Will create an item handle (session: ",
      "Streaming a new item with [TestStreamer]",
      "<<< Item created (handle: ",
      ">>> Process Item (handle: ",
      "<<< Process Item (handle: ",
      ">>> Releasing Item (handle: ",
      "Process Command (session: 1, entity type: 1, verb: 9)",
      "Session event signaled ( in ProcessCommand() )",
      "GLOBAL: /e2e/mode = strict",
      "SESSION 2: /e2e/mode = lenient",
      ">>> Release session (handle: ",
      "Session RefCount == 0 event signaled",
      "<<< Release session (ID: 1)",
      "<<< Release session (ID: 2)",
      ">>> AS2 Core shutdown",
      ">>> CCore :: ~CCore",
      "<<< AS2 Core shutdown",
  };
  const char* at = log;
  for (size_t i = 0; i < sizeof milestones / sizeof milestones[0]; ++i) {
    const char* found = strstr(at, milestones[i]);
    if (!found) {
      fprintf(stderr, "milestone %zu missing or out of order: %s\n", i, milestones[i]);
      ++failures;
      continue;
    }
    at = found + strlen(milestones[i]);
  }
  CHECK(count(log, ">>> Process Item (handle: ") == ITEMS);
  CHECK(count(log, "<<< Process Item (handle: ") == ITEMS);
  CHECK(count(log, ">>> Releasing Item (handle: ") == ITEMS);
  CHECK(count(log, "[ANTISPAM EXCEPTION]") == 0);
  CHECK(count(log, "WARNING: the core is being destroyed") == 0);
  astest_reset();
  if (failures) {
    fprintf(stderr, "%d check(s) failed; trace in %s\n", failures, path);
    return 1;
  }
  /* Passed: the trace directory goes (it holds only the log). */
  if (unlink(path) != 0 || rmdir(dir) != 0) {
    perror(dir);
    return 1;
  }
  return 0;
}
