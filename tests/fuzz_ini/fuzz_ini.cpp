// Arbitrary bytes as an ini file: both readers, the wide-map conversion and
// a flat load into a store must neither crash, leak nor overrun.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "configurer.h"
#include "inifile.h"
#include "inifile2.h"

namespace {

const char* FilePath() {
  static char path[64] = "";
  if (!path[0]) snprintf(path, sizeof path, "/tmp/fuzz_ini_%d.ini", (int)getpid());
  return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* path = FilePath();
  FILE* f = fopen(path, "wb");
  if (!f) return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  ascommon::CIniFile flat;
  if (flat.ReadFile(path) == 0) {
    if (flat.GetCount() > ascommon::CIniFile::kMaxEntries) abort();
    ascommon::CMap<ascommon::usstring, ascommon::usstring> wide(32);
    flat.ToWideMap(wide);
  }

  ascommon::CIniFile2 sectioned;
  if (sectioned.Load(path, "global_fixed") == 0) {
    ascommon::CIniSection pairs;
    sectioned.GetSection("global_fixed", pairs);
    sectioned.GetSection("session_default", pairs);
  }

  CConfigurer store;
  try {
    store.LoadIniFile(path);
  } catch (const ASException&) {
  }
  return 0;
}
