// config.h - ascand's own configuration file.
//
// One "key = value" per line; "#" or ";" starts a comment line; blank lines
// are ignored; a key given twice keeps its last value. Every key, its default
// and its range is listed in ascand.conf(5) terms in the manual page and in
// the example file ascand.conf. Scanning settings (thresholds, lists, the
// model) are not here: they live in the settings file that `settings` names,
// the same file `ascan --config` reads.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "log.h"

namespace ascand {

enum class ErrorAction { kAccept, kTempfail };

struct Config {
  std::string socket = "unix:/run/ascand/ascand.sock";  // libmilter syntax, see NormalizeSocket
  int socket_mode = 0660;                               // Unix socket only
  std::string socket_group;                             // empty: the daemon's group
  std::string pid_file;                                 // empty: none
  bool log_syslog = false;
  int syslog_facility = 0;  // set by the constructor: LOG_MAIL
  LogLevel log_level = LogLevel::kInfo;
  std::string modules;   // empty: next to the binary
  std::string settings;  // empty: modules keep their defaults
  std::string model;     // empty: whatever the settings file says
  int workers = 2;       // concurrent scans, one core session each
  size_t max_message_size = 16u << 20;
  double reject_score = 0;  // 0 = never reject
  ErrorAction on_error = ErrorAction::kTempfail;
  int timeout = 300;      // seconds of silence from the mail server per milter step
  int stop_timeout = 60;  // seconds SIGTERM waits for messages in progress

  Config();
};

// Largest accepted max_message_size: what the mail engine analyses at most.
constexpr size_t kMaxMessageSizeLimit = 32u << 20;

// Sets one key from its text. False with `error` ("unknown key 'x'",
// "socket_mode: ...") when the key is unknown or the value is refused.
bool SetConfigKey(Config& config, const std::string& key, const std::string& value, std::string& error);

// Reads a configuration file over `config` (keys not in the file keep their
// values). False with `error` naming the file and line.
bool ReadConfigFile(const std::string& path, Config& config, std::string& error);

// "key=value" overrides from the command line, applied after the file.
bool ApplyOverrides(const std::vector<std::string>& overrides, Config& config, std::string& error);

// Checks and completes a socket address in libmilter's syntax:
//   unix:/abs/path or local:/abs/path  -> unix:/abs/path
//   inet:PORT                          -> inet:PORT@127.0.0.1 (loopback, never all addresses)
//   inet:PORT@HOST, inet6:PORT@HOST    -> unchanged
// False with `error` for anything else.
bool NormalizeSocket(const std::string& address, std::string& normalized, std::string& error);

// The path of a unix: socket address, empty for the others.
std::string SocketPath(const std::string& normalized);

}  // namespace ascand
