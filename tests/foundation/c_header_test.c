/* The host header used from plain C: it must compile with -pedantic as C99
   and its functions must link and answer as documented. */
#include <stdio.h>
#include <string.h>

#include "ascore/ascore.h"

int main(void) {
  uint32_t version[4] = {0, 0, 0, 0};
  as_item_descriptor_t descriptor = {0, 0, 0, 0};
  int failures = 0;
  (void)descriptor;
  if (as_core_version_get(version) != AS_OK || version[0] != 2 || version[1] != 15 ||
      version[2] != 10 || version[3] != 1294) {
    fprintf(stderr, "version: %u.%u.%u.%u\n", version[0], version[1], version[2], version[3]);
    ++failures;
  }
  if (as_core_version_get(NULL) != AS_ERR_INVALID_INPUT || as_core_err() != AS_ERR_INVALID_INPUT ||
      strcmp(as_core_errmsg(), "wrong pointer @input") != 0) {
    fprintf(stderr, "null pointer not refused\n");
    ++failures;
  }
  printf("%d passed, %d failed\n", 2 - failures, failures);
  return failures ? 1 : 0;
}
