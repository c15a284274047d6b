// config_test_util.h - in-process modules for the settings tests.
#pragma once

#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "ascore/ascore.h"
#include "blackbox.h"
#include "camodule.h"
#include "configurer.h"
#include "exceptions.h"
#include "temp_dir.h"

inline bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

inline std::string Str(const char* s) { return s ? s : "<null>"; }

// A module of any kind whose answers and calls the test controls and counts.
class TestModule : public CAModule {
public:
  TestModule(const std::string& name, uint32_t kind, std::vector<std::string>* journal = nullptr)
      : journal_(journal) {
    m_first_name = name.c_str();
    m_kind = kind;
  }
  void AddSession(uint64_t s) { m_sessions.Add((unsigned long)s, ASSessionEntry{nullptr, false}); }
  bool Flag(uint64_t s) {
    ASSessionEntry* e = FindSession(s);
    return e && e->enabled;
  }
  std::string Name() const { return GetDisplayName().c_str(); }

  int ApplySharedSettings() override {
    ++shared_calls;
    if (journal_) journal_->push_back("shared:" + Name());
    if (throw_on_shared) AS_THROW(ASException, "ASException - MESSAGE: module %s threw", Name().c_str());
    if (shared_result) _as_set_err(-7, "%s cannot read its settings", Name().c_str());
    return shared_result;
  }
  int ApplySessionSettings(uint64_t s) override {
    if (journal_) journal_->push_back("session:" + Name());
    if (session_result) _as_set_err(-7, "%s refused session %d", Name().c_str(), (int)s);
    return session_result;
  }
  bool IsEnabledForSession(uint64_t s) override {
    ++enabled_calls;
    return enabled.count(s) > 0;
  }
  // Answers the dependency question (key 25051) with its names (key 25052).
  int HandleGlobalRequest(CBlackBox* bb) override {
    bool* asked = static_cast<bool*>(bb->Get(25051, BB_TYPE_BOOL, 0, nullptr, 0));
    if (!asked || !*asked || deps.empty()) return 0;
    ascommon::CArray<ascommon::sstring, 64> names;
    for (const std::string& d : deps) names.Add(ascommon::sstring(d.c_str()));
    bb->Set(25052, BB_TYPE_STRING_ARRAY, 1, &names);
    return 0;
  }
  int HandleSessionRequest(uint64_t, CBlackBox* bb) override { return HandleGlobalRequest(bb); }

  std::vector<std::string> deps;
  std::set<uint64_t> enabled;
  int shared_result = 0, session_result = 0;
  bool throw_on_shared = false;
  int shared_calls = 0, enabled_calls = 0;

private:
  std::vector<std::string>* journal_;
};
