// log.h - ascand's log: one line per event, to standard error or to syslog.
//
// Lines below the configured level are dropped. Standard error lines carry a
// time stamp unless systemd's journal, which stamps them itself, is reading
// them. Safe to call from any thread; a line is written with one write so
// lines of different threads never interleave.
#pragma once

#include <string>

namespace ascand {

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// Parses "error", "warning", "info" or "debug". False for anything else.
bool ParseLogLevel(const std::string& text, LogLevel& level);
// Parses a syslog facility name ("mail", "daemon", "user", "local0".."local7").
bool ParseSyslogFacility(const std::string& text, int& facility);

// Switches the destination and level; may be called again (on reload). Until
// the first call, lines at info and above go to standard error.
void LogConfigure(bool to_syslog, int facility, LogLevel level);

// printf-style; a trailing newline is added.
void Log(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ascand
