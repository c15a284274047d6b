// settings.cpp - checking and reading the settings a user gives.
#include "settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "ascore/aseml.h"
#include "input.h"

namespace astools {
namespace {

// Read by the core itself (see ascore.h and the preset files).
const char* const kCoreKeys[] = {
    "/eml/global/SharedDataPath",
    "/eml/dispatcher/benchmark/LogFilterRunTime",
    "/core/configurer/ApplyOptimizedGlobalSettings",
};

const size_t kMaxConfigBytes = 1u << 20;

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

}  // namespace

std::string FullSettingKey(const std::string& key) {
  if (!key.empty() && key[0] == '/') return key;
  return "/eml/" + key;
}

bool IsKnownSettingKey(const std::string& full_key) {
  for (const char* k : kCoreKeys)
    if (full_key == k) return true;
  static const char* const kModules[] = ASEML_MODULE_NAMES;
  static const char* const kKeys[] = ASEML_SETTING_KEYS;
  for (const char* const* m = kModules; *m; ++m)
    if (full_key == std::string("/eml/") + *m + "/Enabled") return true;
  for (const char* const* k = kKeys; *k; ++k)
    if (full_key == std::string("/eml/") + *k) return true;
  return false;
}

std::string KnownSettingKeys() {
  static const char* const kKeys[] = ASEML_SETTING_KEYS;
  std::string out;
  for (const char* const* k = kKeys; *k; ++k) out += std::string("  ") + *k + "\n";
  out += "  <module>/Enabled (0 switches a module off)\n";
  for (const char* k : kCoreKeys) out += std::string("  ") + k + "\n";
  return out;
}

bool Settings::Add(const std::string& key, const std::string& value, const std::string& origin,
                   std::string& error) {
  std::string full = FullSettingKey(key);
  if (!IsKnownSettingKey(full)) {
    error = origin + ": unknown setting '" + key + "' (see --help for the keys)";
    return false;
  }
  for (Setting& s : items_) {
    if (s.key != full) continue;
    s.value = value;
    s.origin = origin;
    return true;
  }
  items_.push_back(Setting{full, value, origin});
  return true;
}

bool Settings::AddKeyValue(const std::string& kv, std::string& error) {
  size_t eq = kv.find('=');
  if (eq == std::string::npos || eq == 0) {
    error = "-s needs key=value, got '" + kv + "'";
    return false;
  }
  return Add(Trim(kv.substr(0, eq)), Trim(kv.substr(eq + 1)), "-s " + kv, error);
}

bool Settings::LoadIni(const std::string& path, std::string& error) {
  std::string why;
  int fd = OpenInputFile(path, true, why);
  if (fd < 0) {
    error = "config file '" + path + "': " + why;
    return false;
  }
  std::string text;
  bool truncated = false;
  bool ok = ReadBounded(fd, kMaxConfigBytes, text, truncated, why);
  ::close(fd);
  if (!ok) {
    error = "config file '" + path + "': " + why;
    return false;
  }
  if (truncated) {
    error = "config file '" + path + "' is larger than 1 MiB";
    return false;
  }
  std::string section;
  size_t start = 0;
  for (int n = 1; start < text.size(); ++n) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = Trim(text.substr(start, nl - start));
    start = nl + 1;
    std::string where = path + ":" + std::to_string(n);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) {
        error = where + ": unterminated section";
        return false;
      }
      section = Trim(line.substr(1, close - 1));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = where + ": expected key = value";
      return false;
    }
    std::string key = Trim(line.substr(0, eq));
    if (!section.empty()) key = section + "/" + key;
    if (!Add(key, Trim(line.substr(eq + 1)), where, error)) return false;
  }
  return true;
}

const std::string* Settings::Find(const std::string& full_key) const {
  for (const Setting& s : items_)
    if (s.key == full_key) return &s.value;
  return nullptr;
}

}  // namespace astools
