// settings.h - the settings a user gives a tool, checked before the core
// sees them.
//
// Keys are written "Module/Key" (taken as "/eml/Module/Key") or as a full
// path. Only keys that the mail plug-ins or the core read are accepted
// (ASEML_SETTING_KEYS and "<module>/Enabled" in aseml.h, and the core's own
// keys below), so a misspelt key is an error that names it. Values are
// checked by the module that reads them when the settings are applied: a
// refused value stops the tool (see Engine in engine.h).
//
// Config files are ini files: "[EmlBayesFilter]" then "ModelPath = m.bin"
// gives /eml/EmlBayesFilter/ModelPath; "#" and ";" start comment lines.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace astools {

struct Setting {
  std::string key;     // full path, e.g. "/eml/EmlVerdictPerformer/SpamThreshold"
  std::string value;
  std::string origin;  // where it came from, for messages: "-s", "FILE:LINE"
};

class Settings {
 public:
  // Adds key=value (from -s). False with `error` naming the problem.
  bool AddKeyValue(const std::string& key_value, std::string& error);
  // Adds one setting after checking its key. A later value of the same key
  // replaces an earlier one (command line after config file).
  bool Add(const std::string& key, const std::string& value, const std::string& origin, std::string& error);
  // Reads an ini file (at most 1 MiB). False with "FILE:LINE: why".
  bool LoadIni(const std::string& path, std::string& error);

  // The value given for a key, or nullptr.
  const std::string* Find(const std::string& full_key) const;
  const std::vector<Setting>& items() const { return items_; }

 private:
  std::vector<Setting> items_;
};

// "/eml/Module/Key" for "Module/Key"; a key with a leading slash unchanged.
std::string FullSettingKey(const std::string& key);

// True when a module or the core reads `full_key`.
bool IsKnownSettingKey(const std::string& full_key);

// The keys a tool accepts, one "  /eml/..." line each, for --help texts.
std::string KnownSettingKeys();

}  // namespace astools
