// engine.h - the core instance and the sessions a tool scans mail with.
//
// Engine owns the one core instance of the process (the core allows one):
// Start() loads the plug-ins, stores and applies the settings, and then
// checks them the way a user means them:
//   - a value a module refused is an error naming the key and the range the
//     module allows (the core would only switch that module off);
//   - a model file named by /eml/EmlBayesFilter/ModelPath that the Bayes
//     filter cannot use (missing, empty, corrupt, wrong version, too large)
//     is an error with the filter's reason, before any mail is scanned.
// Each scanning thread opens its own Session; sessions may scan in parallel.
//
// Threading: Start() and the destructor run alone; Session objects are used
// by one thread each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings.h"

struct as_session_s;

namespace astools {

// The directory the plug-in modules (*.mdl) are loaded from: `given` (a
// --modules value) when not empty, else $ASCORE_MODULES, else the modules of
// the installation or build tree the program runs from (module_dir.h, which
// keeps that choice in one place).
std::string ModulesDir(const std::string& given);

struct ScanResult {
  enum Verdict { kError = -1, kHam = 0, kSpam = 1, kEmpty = 2, kUnsure = 3 };
  Verdict verdict = kError;
  std::string error;       // why there is no verdict
  double score = 0;        // combined score 0..1
  double threshold = 0;    // the spam threshold it was compared with
  // The evidence (filled when asked for).
  double header_score = 0, list_score = 0, bayes_score = 0.5;
  std::string bayes_status;
  std::vector<std::string> rules, list_hits, tokens;

  const char* VerdictText() const;  // "ham", "spam", "empty" or "error"
};

// What a learning verb did to one message.
struct LearnResult {
  bool ok = false;
  std::string error;    // why it failed (the model is then unchanged)
  std::string outcome;  // "learned", "relearned", "unchanged", "forgotten", "not learned"
  uint64_t spam = 0, ham = 0;  // messages in the model afterwards
};

class Engine {
 public:
  Engine() = default;
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // See the top of this file. False with a one-line `error`; then no
  // instance is left behind. With `model_may_be_missing` a model file that
  // does not exist is no error (learning creates it); one that exists must
  // still be usable.
  bool Start(const std::string& modules_dir, const Settings& settings, std::string& error,
             bool model_may_be_missing = false);
  bool started() const { return started_; }

  // Replaces the settings of the started engine with `settings`, checked as
  // Start() checks them (a model file that changed on disk is read again).
  // Keys set before and absent now return to the modules' defaults. On
  // failure the previous settings are applied again, `error` says why, and
  // the engine goes on as before. Call while no session scans; every open
  // session must then Reapply() before its next scan.
  bool Reload(const Settings& settings, std::string& error);

 private:
  bool Apply(const Settings& next, const Settings& previous, bool model_may_be_missing, std::string& error);
  bool Probe(bool model_may_be_missing, std::string& error);

  bool started_ = false;
  Settings applied_;
};

// Reads and checks a model file the way the Bayes filter would, without
// touching a running engine: false with `error` naming the file and reason.
bool CheckModelFile(const std::string& path, std::string& error);

class Session {
 public:
  Session() = default;
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Opens a session of the started engine and applies its settings.
  bool Open(std::string& error);
  // Applies the engine's settings again, after Engine::Reload().
  bool Reapply(std::string& error);

  // Scans one message (the bytes are copied). `explain` also reads the
  // evidence into the result.
  ScanResult Scan(const char* data, size_t size, bool explain);

  // Learns the message as spam or ham, or forgets it: `verb` is
  // ASEML_VERB_LEARN_SPAM, ASEML_VERB_LEARN_HAM or ASEML_VERB_FORGET.
  LearnResult Learn(const char* data, size_t size, uint32_t verb);

 private:
  as_session_s* session_ = nullptr;
};

}  // namespace astools
