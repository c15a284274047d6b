// scan_pool.h - the core instance and the fixed set of core sessions that
// ascand scans with.
//
// Start() starts the core over the plug-in modules with the settings file
// and the model of the configuration, checks them, and opens one session per
// worker. Scan() borrows a free session for one message, so at most
// `workers` messages are scanned at once whatever the number of connections;
// the others wait their turn. Reload() re-reads the settings file and the
// model and applies them between two scans: every scan sees either the old
// state or the new one; if anything in the new state is refused, the old one
// stays and the reason is returned.
//
// Threading: Scan() from any number of threads; Start, Reload and Stop from
// one controlling thread.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config.h"

namespace ascand {

struct ScanOutcome {
  bool ok = false;
  std::string error;  // why there is no verdict
  bool spam = false;
  double score = 0;
  std::string verdict;  // "ham", "spam" or "empty", for the log
  // Header fields to add, in order, as (name, value).
  std::vector<std::pair<std::string, std::string>> headers;
};

class ScanPool {
 public:
  ScanPool();
  ~ScanPool();
  ScanPool(const ScanPool&) = delete;
  ScanPool& operator=(const ScanPool&) = delete;

  bool Start(const Config& config, std::string& error);
  bool Reload(const Config& config, std::string& error);
  ScanOutcome Scan(const std::string& message);
  // Waits for the scans in progress, then closes the sessions and the core.
  // Scan() fails from then on. Safe to call twice.
  void Stop();

 private:
  struct Impl;
  Impl* impl_;
};

}  // namespace ascand
