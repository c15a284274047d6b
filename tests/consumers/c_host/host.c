/* A C host of an installed ascore, built through pkg-config (see Makefile):
 * scans each message file named on the command line with the reference mail
 * modules and prints "<path> <spam|ham> <score>" per message.
 *
 *   c_host MODULES_DIR MESSAGE...
 *
 * Exit status: 0 every message got a verdict, 1 otherwise, 2 usage. */
#include <stdint.h>
#include <stdio.h>

#include <ascore/ascore.h>
#include <ascore/aseml.h>
#include <ascore/version.h>

static int scan(as_session_t* session, const char* path) {
  as_item_descriptor_t descriptor;
  as_item_t* item;
  as_blackbox_t* box;
  int verdict = -1;
  double score = 0;
  descriptor.stream_param1 = (int64_t)(intptr_t)path;
  descriptor.stream_param2 = 0;
  descriptor.entity_type = ASEML_ENTITY_MAIL;
  descriptor.entity_subtype = ASEML_SOURCE_FILE;
  item = as_core_item_create(session, &descriptor);
  if (!item) {
    fprintf(stderr, "c_host: %s: %s\n", path, as_core_errmsg());
    return 1;
  }
  box = as_blackbox_create();
  if (box && as_core_item_process(session, item, ASEML_VERB_SCAN, box) == AS_OK) {
    as_blackbox_get(box, ASEML_BB_VERDICT, BB_TYPE_INT, &verdict, -1);
    as_blackbox_get(box, ASEML_BB_SCORE, BB_TYPE_DOUBLE, &score, 0.0);
  } else {
    fprintf(stderr, "c_host: %s: %s\n", path, as_core_errmsg());
  }
  as_blackbox_release(box);
  as_core_item_release(session, item);
  if (verdict < 0) return 1;
  printf("%s %s %.6f\n", path, verdict ? "spam" : "ham", score);
  return 0;
}

int main(int argc, char** argv) {
  uint32_t version[4];
  as_session_t* session;
  int i, failed = 0;
  if (argc < 3) {
    fprintf(stderr, "usage: c_host MODULES_DIR MESSAGE...\n");
    return 2;
  }
  /* The library found at run time must be the one these headers describe. */
  if (as_core_version_get(version) != AS_OK || version[0] != ASCORE_VERSION_MAJOR ||
      version[1] != ASCORE_VERSION_MINOR || version[2] != ASCORE_VERSION_BUILD ||
      version[3] != ASCORE_VERSION_REVISION) {
    fprintf(stderr, "c_host: library %u.%u.%u.%u, headers %s\n", version[0], version[1], version[2],
            version[3], ASCORE_VERSION_STRING);
    return 1;
  }
  if (as_core_instance_init(argv[1], AS_PRODUCT_EML) != AS_OK) {
    fprintf(stderr, "c_host: cannot start the core over %s: %s\n", argv[1], as_core_errmsg());
    return 1;
  }
  session = NULL;
  if (as_core_settings_apply(NULL) != AS_OK || !(session = as_core_session_create()) ||
      as_core_settings_apply(session) != AS_OK) {
    fprintf(stderr, "c_host: %s\n", as_core_errmsg());
    failed = 1;
  }
  for (i = 2; session && i < argc; ++i) failed |= scan(session, argv[i]);
  if (session) as_core_session_release(session);
  as_core_instance_release();
  return failed;
}
