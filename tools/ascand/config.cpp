// config.cpp - see config.h.
#include "config.h"

#include <syslog.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>

namespace ascand {
namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

bool ParseInt(const std::string& text, long lo, long hi, int base, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, base);
  if (errno || *end || v < lo || v > hi) return false;
  out = v;
  return true;
}

// "16M", "512K", "1048576".
bool ParseSize(const std::string& text, size_t& out) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (errno) return false;
  std::string unit = end;
  unsigned long long mult = 1;
  if (unit == "K" || unit == "k")
    mult = 1024;
  else if (unit == "M" || unit == "m")
    mult = 1024 * 1024;
  else if (!unit.empty())
    return false;
  if (v > (1ull << 40) / mult) return false;
  out = static_cast<size_t>(v * mult);
  return true;
}

bool ParsePort(const std::string& text) {
  long port;
  return ParseInt(text, 1, 65535, 10, port);
}

}  // namespace

Config::Config() : syslog_facility(LOG_MAIL) {}

bool NormalizeSocket(const std::string& address, std::string& normalized, std::string& error) {
  size_t colon = address.find(':');
  std::string kind = colon == std::string::npos ? std::string() : address.substr(0, colon);
  std::string rest = colon == std::string::npos ? std::string() : address.substr(colon + 1);
  if (kind == "unix" || kind == "local") {
    if (rest.empty() || rest[0] != '/') {
      error = "a unix socket needs an absolute path, got '" + address + "'";
      return false;
    }
    normalized = "unix:" + rest;
    return true;
  }
  if (kind == "inet" || kind == "inet6") {
    size_t at = rest.find('@');
    std::string port = rest.substr(0, at);
    if (!ParsePort(port)) {
      error = "'" + address + "' needs a port from 1 to 65535";
      return false;
    }
    if (at == std::string::npos) {
      normalized = kind + ":" + port + (kind == "inet" ? "@127.0.0.1" : "@::1");
      return true;
    }
    if (at + 1 == rest.size()) {
      error = "'" + address + "' has an empty host after '@'";
      return false;
    }
    normalized = address;
    return true;
  }
  error = "socket '" + address + "' must start with unix:, local:, inet: or inet6:";
  return false;
}

std::string SocketPath(const std::string& normalized) {
  return normalized.compare(0, 5, "unix:") == 0 ? normalized.substr(5) : std::string();
}

bool SetConfigKey(Config& c, const std::string& key, const std::string& value, std::string& error) {
  long n = 0;
  auto fail = [&](const std::string& why) {
    error = key + ": " + why + ", got '" + value + "'";
    return false;
  };
  if (key == "socket") {
    std::string norm, why;
    if (!NormalizeSocket(value, norm, why)) {
      error = "socket: " + why;
      return false;
    }
    c.socket = norm;
  } else if (key == "socket_mode") {
    if (!ParseInt(value, 0, 0777, 8, n)) return fail("expected an octal mode from 0 to 0777");
    c.socket_mode = static_cast<int>(n);
  } else if (key == "socket_group") {
    c.socket_group = value;
  } else if (key == "pid_file") {
    if (!value.empty() && value[0] != '/') return fail("expected an absolute path or nothing");
    c.pid_file = value;
  } else if (key == "log") {
    if (value != "stderr" && value != "syslog") return fail("expected stderr or syslog");
    c.log_syslog = value == "syslog";
  } else if (key == "log_level") {
    if (!ParseLogLevel(value, c.log_level)) return fail("expected error, warning, info or debug");
  } else if (key == "syslog_facility") {
    if (!ParseSyslogFacility(value, c.syslog_facility)) return fail("expected mail, daemon, user or local0 to local7");
  } else if (key == "modules") {
    c.modules = value;
  } else if (key == "settings") {
    c.settings = value;
  } else if (key == "model") {
    c.model = value;
  } else if (key == "workers") {
    if (!ParseInt(value, 1, 64, 10, n)) return fail("expected a number from 1 to 64");
    c.workers = static_cast<int>(n);
  } else if (key == "max_message_size") {
    size_t size = 0;
    if (!ParseSize(value, size) || size < 1024 || size > kMaxMessageSizeLimit)
      return fail("expected a size from 1K to 32M (a number of bytes, or with a K or M suffix)");
    c.max_message_size = size;
  } else if (key == "reject_score") {
    if (value == "off") {
      c.reject_score = 0;
    } else {
      char* end = nullptr;
      double d = std::strtod(value.c_str(), &end);
      if (value.empty() || *end || !std::isfinite(d) || d <= 0 || d > 1)
        return fail("expected off or a score above 0 and at most 1");
      c.reject_score = d;
    }
  } else if (key == "on_error") {
    if (value != "accept" && value != "tempfail") return fail("expected accept or tempfail");
    c.on_error = value == "accept" ? ErrorAction::kAccept : ErrorAction::kTempfail;
  } else if (key == "timeout") {
    if (!ParseInt(value, 1, 86400, 10, n)) return fail("expected seconds from 1 to 86400");
    c.timeout = static_cast<int>(n);
  } else if (key == "stop_timeout") {
    if (!ParseInt(value, 0, 3600, 10, n)) return fail("expected seconds from 0 to 3600");
    c.stop_timeout = static_cast<int>(n);
  } else {
    error = "unknown key '" + key + "'";
    return false;
  }
  return true;
}

bool ReadConfigFile(const std::string& path, Config& config, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read configuration file '" + path + "'";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    size_t eq = line.find('=');
    std::string why = "expected key = value";
    if (eq != std::string::npos && eq != 0 &&
        SetConfigKey(config, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), why))
      continue;
    error = path + ":" + std::to_string(number) + ": " + why;
    return false;
  }
  if (in.bad()) {
    error = "cannot read configuration file '" + path + "'";
    return false;
  }
  return true;
}

bool ApplyOverrides(const std::vector<std::string>& overrides, Config& config, std::string& error) {
  for (const std::string& kv : overrides) {
    size_t eq = kv.find('=');
    if (eq == std::string::npos || eq == 0) {
      error = "-o needs key=value, got '" + kv + "'";
      return false;
    }
    std::string why;
    if (!SetConfigKey(config, Trim(kv.substr(0, eq)), Trim(kv.substr(eq + 1)), why)) {
      error = "-o " + why;
      return false;
    }
  }
  return true;
}

}  // namespace ascand
