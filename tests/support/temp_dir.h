// temp_dir.h - a private directory under /tmp, removed with its content when
// the object goes.
#pragma once

#include <ftw.h>
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

struct TempDir {
  explicit TempDir(const std::string& prefix = "ascore-test") {
    std::string tmpl = "/tmp/" + prefix + "-XXXXXX";
    path = mkdtemp(tmpl.data()) ? tmpl : "/nonexistent";
  }
  ~TempDir() {
    nftw(path.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 8,
         FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  // Writes a file in the directory and answers its path.
  std::string Write(const std::string& name, const std::string& content = "") const {
    std::ofstream(*this / name, std::ios::binary) << content;
    return *this / name;
  }
  std::string Read(const std::string& name) const {
    std::ifstream f(*this / name, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string path;
};
