// trace_log.h - starts the real trace log into a private directory and reads
// back what was written since a given point.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "temp_dir.h"
#include "tracer.h"

class TraceLog {
public:
  // (Re)starts tracing at the given level word ("debug", "alert", ...).
  explicit TraceLog(const char* level) {
    // One directory per process, removed when the process ends.
    static TempDir dir("ascore-trace");
    path_ = dir / "as2_debug.log";
    setenv("AS_TRACER_LEVEL", level, 1);
    setenv("AS_TRACER_PATH", dir.path.c_str(), 1);
    started_ = ascommon::as_tracer_start(nullptr) == 0;
    start_ = All().size();
  }
  bool started() const { return started_; }
  // Everything written since construction.
  std::string Since() const { return All().substr(start_); }
  // Number of lines written since construction that end with " - " + text.
  int Count(const std::string& text) const {
    std::istringstream in(Since());
    int n = 0;
    for (std::string line; std::getline(in, line);) {
      std::string tail = " - " + text;
      if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) ++n;
    }
    return n;
  }

private:
  std::string All() const {
    std::ifstream f(path_);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  std::string path_;
  size_t start_ = 0;
  bool started_ = false;
};
