// A C++ host of an installed ascore, built with find_package(ascore): runs
// texts through the word-counting example plug-in of the plug-in guide
// (built out of the tree by ../plugin) and prints the counts.
//
//   cxx_host PLUGIN_DIR WORD TEXT...     prints "<count> <text>" per text
//
// It also checks that the package's ascore_MODULES_DIR names the installed
// reference modules. Exit status: 0 all went through, 1 otherwise, 2 usage.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "ascore/ascore.h"
#include "ascore/version.h"

namespace {

const uint32_t kExampleEntity = 0x4558; // the example plug-in's entity type
const uint32_t kExampleCount = 900001;  // where its filter writes the count

// Owns one core instance and one session over it.
class Core {
public:
  Core() = default;
  ~Core() {
    if (session_) as_core_session_release(session_);
    if (started_) as_core_instance_release();
  }
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // Starts the core over `modules` with the example filter counting `word`.
  bool Start(const char* modules, const char* word) {
    if (as_core_instance_init(modules, AS_PRODUCT_ALL) != AS_OK) return fail("start");
    started_ = true;
    if (as_core_setting_set(nullptr, "/example/filter/Word", word) != AS_OK) return fail("set the word");
    if (as_core_settings_apply(nullptr) != AS_OK) return fail("apply the settings");
    session_ = as_core_session_create();
    if (!session_) return fail("open a session");
    if (as_core_settings_apply(session_) != AS_OK) return fail("apply the session settings");
    return true;
  }

  const std::string& error() const { return error_; }

  // The count the filter wrote, or -1 with error() set.
  int Count(const std::string& text) {
    as_item_descriptor_t descriptor = {static_cast<int64_t>(reinterpret_cast<intptr_t>(text.c_str())), 0,
                                       kExampleEntity, 0};
    as_item_t* item = as_core_item_create(session_, &descriptor);
    if (!item) {
      fail("create an item");
      return -1;
    }
    as_blackbox_t* box = as_blackbox_create();
    int count = -1;
    if (box && as_core_item_process(session_, item, 0, box) == AS_OK)
      as_blackbox_get(box, kExampleCount, BB_TYPE_INT, &count, -1);
    else
      fail("process an item");
    as_blackbox_release(box);
    as_core_item_release(session_, item);
    return count;
  }

private:
  bool fail(const char* what) {
    error_ = std::string("cannot ") + what + ": " + as_core_errmsg();
    return false;
  }

  bool started_ = false;
  as_session_t* session_ = nullptr;
  std::string error_;
};

bool HasReferenceModule(const std::string& dir) {
  struct stat st;
  return stat((dir + "/aseml.mdl").c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: cxx_host PLUGIN_DIR WORD TEXT...\n");
    return 2;
  }
  uint32_t version[4] = {};
  as_core_version_get(version);
  if (version[0] != ASCORE_VERSION_MAJOR || version[1] != ASCORE_VERSION_MINOR) {
    std::fprintf(stderr, "cxx_host: library %u.%u, headers %s\n", version[0], version[1], ASCORE_VERSION_STRING);
    return 1;
  }
  if (!HasReferenceModule(INSTALLED_MODULES_DIR)) {
    std::fprintf(stderr, "cxx_host: no aseml.mdl in ascore_MODULES_DIR (%s)\n", INSTALLED_MODULES_DIR);
    return 1;
  }
  Core core;
  int status = core.Start(argv[1], argv[2]) ? 0 : 1;
  for (int i = 3; status == 0 && i < argc; ++i) {
    int count = core.Count(argv[i]);
    if (count < 0) status = 1;
    else std::printf("%d %s\n", count, argv[i]);
  }
  if (status != 0) std::fprintf(stderr, "cxx_host: %s\n", core.error().c_str());
  return status;
}
