// Where the tools look for the modules: option, environment, the layout
// around the program (installed or build tree), and the compiled-in prefix.
#include "module_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "temp_dir.h"

namespace {

// Makes every directory of `path` below the temporary root.
void MakeDirs(const TempDir& root, const std::string& path) {
  std::string at = root.path;
  size_t start = 0;
  while (start <= path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    at += "/" + path.substr(start, slash - start);
    mkdir(at.c_str(), 0755);
    start = slash + 1;
  }
}

} // namespace

TEST(ModulesDir, FirstMatchWins) {
  TempDir root;
  const std::string installed = std::string("/bin/") + ASCORE_MODULES_FROM_BINDIR;
  for (const char* layout : {"inst", "both"}) MakeDirs(root, layout + installed);
  for (const char* layout : {"tree", "both"}) MakeDirs(root, std::string(layout) + "/modules");
  for (const char* layout : {"inst", "tree", "both", "none"}) MakeDirs(root, std::string(layout) + "/bin");

  struct Case {
    const char* what;
    std::string option;
    const char* env;
    std::string program_dir;
    std::string expected;
  } cases[] = {
      {"option over everything", "/opt/m", "/env/m", root / "both/bin", "/opt/m"},
      {"environment over the layouts", "", "/env/m", root / "both/bin", "/env/m"},
      {"empty environment ignored", "", "", root / "inst/bin", root / "inst" + installed},
      {"installed layout", "", nullptr, root / "inst/bin", root / "inst" + installed},
      {"build tree", "", nullptr, root / "tree/bin", root / "tree/bin/../modules"},
      {"installed layout before build tree", "", nullptr, root / "both/bin", root / "both" + installed},
      {"neither: the configured prefix", "", nullptr, root / "none/bin", ASCORE_INSTALLED_MODULES_DIR},
      {"program directory unknown", "", nullptr, "", ASCORE_INSTALLED_MODULES_DIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.expected, astool::ChooseModulesDir(c.option, c.env, c.program_dir));
  }
}

TEST(ModulesDir, ProgramDirIsThisTestsDirectory) {
  std::string dir = astool::ProgramDir();
  ASSERT_FALSE(dir.empty());
  struct stat st;
  EXPECT_EQ(0, stat((dir + "/module_dir_test").c_str(), &st)) << dir;
}
