// walk.cpp - the directory walker shared by the tools.
#include "walk.h"

#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace astools {
namespace {

// Deeper than any real mail store; keeps the recursion bounded.
const int kMaxDepth = 64;

const char* SpecialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "not a regular file";
}

class Walker {
 public:
  Walker(const WalkOptions& o, const std::function<void(Input)>& sink) : o_(o), sink_(sink) {}

  void Root(const std::string& path) {
    if (path == "-") {
      sink_(Input{Input::kStdin, path, ""});
      return;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return Error(path, std::string("cannot open: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return Directory(path, st, 0);
    if (S_ISREG(st.st_mode) || o_.read_special) return sink_(Input{Input::kFile, path, ""});
    Error(path, std::string("not read: ") + SpecialKind(st.st_mode) + " (use --read-special to read it)");
  }

 private:
  void Error(const std::string& path, std::string why) { sink_(Input{Input::kError, path, std::move(why)}); }

  void Directory(const std::string& path, const struct stat& st, int depth) {
    if (!visited_.insert({st.st_dev, st.st_ino}).second) return;  // a loop or a second link
    if (depth > kMaxDepth) return Error(path, "not read: folders nested too deeply");
    std::error_code ec;
    fs::directory_iterator it(path, ec);
    if (ec) return Error(path, "cannot list: " + ec.message());
    std::vector<std::string> names;
    for (; it != fs::directory_iterator(); it.increment(ec)) names.push_back(it->path().filename().string());
    if (ec) return Error(path, "cannot list: " + ec.message());
    std::sort(names.begin(), names.end());
    bool maildir = std::binary_search(names.begin(), names.end(), "cur") &&
                   std::binary_search(names.begin(), names.end(), "new");
    std::string prefix = path.back() == '/' ? path : path + "/";
    for (const std::string& name : names) Entry(prefix + name, name, maildir, depth);
  }

  void Entry(const std::string& full, const std::string& name, bool in_maildir, int depth) {
    struct stat st;
    if (::lstat(full.c_str(), &st) != 0) return Error(full, std::string("cannot open: ") + std::strerror(errno));
    bool link = S_ISLNK(st.st_mode);
    if (link && ::stat(full.c_str(), &st) != 0) return Error(full, std::string("cannot open: ") + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) {
      if (link && !o_.follow_links) return;
      if (in_maildir && name == "tmp") return;
      return Directory(full, st, depth + 1);
    }
    if (name[0] == '.') return;
    if (!o_.glob.empty() && fnmatch(o_.glob.c_str(), name.c_str(), 0) != 0) return;
    if (!S_ISREG(st.st_mode)) return Error(full, std::string("not read: ") + SpecialKind(st.st_mode));
    sink_(Input{Input::kFile, full, ""});
  }

  const WalkOptions& o_;
  const std::function<void(Input)>& sink_;
  std::set<std::pair<dev_t, ino_t>> visited_;
};

}  // namespace

void WalkPath(const std::string& path, const WalkOptions& options, const std::function<void(Input)>& sink) {
  Walker(options, sink).Root(path);
}

void ExpandPaths(const std::vector<std::string>& paths, const WalkOptions& options, std::vector<Input>& out) {
  std::function<void(Input)> sink = [&out](Input in) { out.push_back(std::move(in)); };
  Walker w(options, sink);
  for (const std::string& p : paths) w.Root(p);
}

}  // namespace astools
