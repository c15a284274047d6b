// module_dir.cpp - where the tools find the plug-in modules.
//
// The installed layout is compiled in by tools/CMakeLists.txt:
// ASCORE_MODULES_FROM_BINDIR is the modules directory relative to the
// directory the programs are installed in, ASCORE_INSTALLED_MODULES_DIR the
// same directory under the configured prefix.
#include "module_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace astool {

const char kModulesEnv[] = "ASCORE_MODULES";

namespace {

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

std::string ChooseModulesDir(const std::string& option, const char* env, const std::string& program_dir) {
  if (!option.empty()) return option;
  if (env && *env) return env;
  if (!program_dir.empty()) {
    std::string installed = program_dir + "/" ASCORE_MODULES_FROM_BINDIR;
    if (IsDir(installed)) return installed;
    std::string build_tree = program_dir + "/../modules";
    if (IsDir(build_tree)) return build_tree;
  }
  return ASCORE_INSTALLED_MODULES_DIR;
}

std::string ProgramDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0 || n >= static_cast<ssize_t>(sizeof buf - 1)) return std::string(); // none, or cut short
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

std::string ModulesDir(const std::string& option) {
  return ChooseModulesDir(option, std::getenv(kModulesEnv), ProgramDir());
}

} // namespace astool
