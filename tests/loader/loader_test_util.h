// loader_test_util.h - helpers shared by the loader tests: module names of a
// load, libraries still mapped, trace capture in a forked child, and an
// allocation hook that counts and fails on request.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

#include "astest_control.h"
#include "ascore/ascore.h"
#include "astest_paths.h"
#include "camodule.h"
#include "containers.h"
#include "hooks.h"
#include "loader.h"
#include "tracer.h"

namespace loader_test {

inline std::string Dir(const char* scenario) { return std::string(ASTEST_PLUGINS_ROOT) + "/" + scenario; }

// Display names of the modules a load returned, in order.
inline std::vector<std::string> Names(const ascommon::CArray<CAModule*, 64>* modules) {
  std::vector<std::string> out;
  if (!modules) return out;
  for (uint64_t i = 0; i < modules->GetCount(); ++i) {
    const char* name = (*modules)[i]->GetDisplayName().c_str();
    out.push_back(name ? name : "(null)");
  }
  return out;
}

// True while the library at path is mapped into the process.
inline bool IsMapped(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (!handle) return false;
  dlclose(handle);
  return true;
}

// Library tags whose GetClassFactory was called, in order.
inline std::vector<std::string> FactoryTags(int op = ASTEST_OP_FACTORY_GET) {
  std::vector<std::string> out;
  for (const astest_call& c : astest::Calls(op)) out.push_back(c.module);
  return out;
}

// The message part of the loader's own trace lines (file loader.cpp),
// exception lines prefixed with "EXCEPTION: ", pointers replaced by "PTR".
struct Trace {
  std::vector<std::string> loader;   // lines written by loader.cpp
  std::vector<std::string> all;      // every line's message, any file
  std::string raw;
};

// "0x..." pointers, whose values differ from run to run, become "PTR".
inline std::string MaskPointers(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "0x") == 0 && i + 2 < text.size() && std::isxdigit((unsigned char)text[i + 2])) {
      out += "PTR";
      i += 2;
      while (i < text.size() && std::isxdigit((unsigned char)text[i])) ++i;
    } else {
      out += text[i++];
    }
  }
  return out;
}

// Splits "[ANTISPAM          ] [TTTTTTTT][            file.cpp:12  ] - text".
inline Trace ParseTrace(const std::string& text) {
  Trace t;
  t.raw = text;
  const std::string ordinary = "[ANTISPAM          ] [";
  const std::string exception = "[ANTISPAM EXCEPTION] [";
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    bool is_exception = line.compare(0, exception.size(), exception) == 0;
    if (!is_exception && line.compare(0, ordinary.size(), ordinary) != 0) continue;
    size_t file_start = ordinary.size() + 8 + 2; // thread id, then "]["
    size_t colon = line.find(':', file_start);
    size_t dash = line.find("] - ", file_start);
    if (colon == std::string::npos || dash == std::string::npos || colon > dash) continue;
    std::string file = line.substr(file_start, colon - file_start);
    file.erase(0, file.find_first_not_of(' '));
    std::string message = MaskPointers(line.substr(dash + 4));
    if (is_exception) message = "EXCEPTION: " + message;
    t.all.push_back(message);
    if (file == "loader.cpp") t.loader.push_back(message);
  }
  return t;
}

// Runs body in a forked child with tracing on at the given level, written
// into a fresh directory. The child's exit status is body's result (or 99 if
// it threw, 98 if a gtest expectation failed in it). Returns the trace.
struct ChildResult {
  int status = -1;
  Trace trace;
  std::string output; // what the body wrote through ChildOut()
};

inline std::string& ChildOutPath() {
  static std::string path;
  return path;
}

// Lets the child hand a text back to the parent (for example an exception's what()).
inline void ChildOut(const std::string& text) {
  std::ofstream out(ChildOutPath(), std::ios::app);
  out << text;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline ChildResult RunTraced(const char* level, const std::function<int()>& body) {
  char tmpl[] = "/tmp/ascore-loader-XXXXXX";
  std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  ChildOutPath() = dir + "/out.txt";
  ChildResult result;
  pid_t pid = fork();
  if (pid == 0) {
    setenv("AS_TRACER_LEVEL", level, 1);
    setenv("AS_TRACER_PATH", dir.c_str(), 1);
    ascommon::as_tracer_start(nullptr);
    int rc = 99;
    try {
      rc = body();
    } catch (...) {
      rc = 99;
    }
    if (rc == 0 && testing::Test::HasFailure()) rc = 98;
    _exit(rc);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.trace = ParseTrace(ReadFile(dir + "/as2_debug.log"));
  result.output = ReadFile(ChildOutPath());
  std::remove((dir + "/as2_debug.log").c_str());
  std::remove(ChildOutPath().c_str());
  rmdir(dir.c_str());
  return result;
}

// Loads dir with mask, then unloads; hands back the exception text, if any,
// through ChildOut. Returns 0.
inline int LoadAndUnload(const std::string& dir, uint64_t mask) {
  CCoreLoader loader;
  try {
    loader.Load(dir.c_str(), mask);
  } catch (const AException& e) {
    ChildOut(e.what());
  }
  loader.CleanUp();
  return 0;
}

// An allocation hook that counts live blocks and fails on request.
struct CountingHeap {
  static inline long live = 0;
  static inline long calls = 0;
  static inline long fail_at = -1;  // fail the call with this number (from 0)
  static inline uint64_t fail_size = 0; // or: fail blocks of this size ...
  static inline long fail_size_nth = 0; // ... the n-th one (from 1)
  static inline long size_seen = 0;

  static void* New(uint64_t size, bool throwing) {
    long n = calls++;
    bool fail = n == fail_at;
    if (fail_size && size == fail_size && ++size_seen == fail_size_nth) fail = true;
    void* block = fail ? nullptr : std::malloc(size ? size : 1);
    if (!block) {
      if (throwing) throw std::bad_alloc();
      return nullptr;
    }
    ++live;
    return block;
  }
  static void Delete(void* block) {
    if (!block) return;
    --live;
    std::free(block);
  }
};

// Installs CountingHeap into the library's hooks for its lifetime.
class HeapScope {
public:
  HeapScope() : saved_new_(_as_new), saved_delete_(_as_delete) {
    CountingHeap::live = CountingHeap::calls = CountingHeap::size_seen = 0;
    CountingHeap::fail_at = -1;
    CountingHeap::fail_size = 0;
    CountingHeap::fail_size_nth = 0;
    _as_new = &CountingHeap::New;
    _as_delete = &CountingHeap::Delete;
  }
  ~HeapScope() {
    _as_new = saved_new_;
    _as_delete = saved_delete_;
  }

private:
  as_new_fn saved_new_;
  as_delete_fn saved_delete_;
};

} // namespace loader_test
