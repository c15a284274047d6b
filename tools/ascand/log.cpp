// log.cpp - see log.h.
#include "log.h"

#include <syslog.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace ascand {
namespace {

std::mutex g_mu;
bool g_syslog = false;
bool g_syslog_open = false;
LogLevel g_level = LogLevel::kInfo;

const char* const kLevelNames[] = {"error", "warning", "info", "debug"};
const int kSyslogPriority[] = {LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG};

}  // namespace

bool ParseLogLevel(const std::string& text, LogLevel& level) {
  for (int i = 0; i < 4; ++i) {
    if (text == kLevelNames[i]) {
      level = static_cast<LogLevel>(i);
      return true;
    }
  }
  return false;
}

bool ParseSyslogFacility(const std::string& text, int& facility) {
  static const struct {
    const char* name;
    int value;
  } kFacilities[] = {{"mail", LOG_MAIL},     {"daemon", LOG_DAEMON}, {"user", LOG_USER},     {"local0", LOG_LOCAL0},
                     {"local1", LOG_LOCAL1}, {"local2", LOG_LOCAL2}, {"local3", LOG_LOCAL3}, {"local4", LOG_LOCAL4},
                     {"local5", LOG_LOCAL5}, {"local6", LOG_LOCAL6}, {"local7", LOG_LOCAL7}};
  for (const auto& f : kFacilities) {
    if (text == f.name) {
      facility = f.value;
      return true;
    }
  }
  return false;
}

void LogConfigure(bool to_syslog, int facility, LogLevel level) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (g_syslog_open) closelog();
  g_syslog_open = false;
  if (to_syslog) {
    openlog("ascand", LOG_PID | LOG_NDELAY, facility);
    g_syslog_open = true;
  }
  g_syslog = to_syslog;
  g_level = level;
}

void Log(LogLevel level, const char* format, ...) {
  char text[2048];
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);

  std::lock_guard<std::mutex> lock(g_mu);
  if (level > g_level) return;
  int index = static_cast<int>(level);
  if (g_syslog) {
    syslog(kSyslogPriority[index], "%s: %s", kLevelNames[index], text);
    return;
  }
  // Under systemd the journal reads standard error: a "<N>" prefix gives it
  // the priority, and it stamps the time itself.
  bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
  char stamp[40] = "";
  if (journal) {
    std::snprintf(stamp, sizeof stamp, "<%d>", kSyslogPriority[index]);
  } else {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03ld ", now.tv_nsec / 1000000);
  }
  char line[2200];
  int n = std::snprintf(line, sizeof line, "%sascand[%d]: %s: %s\n", stamp, static_cast<int>(getpid()),
                        kLevelNames[index], text);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1;
  if (len > 0 && line[len - 1] != '\n') line[len - 1] = '\n';
  ssize_t ignored = write(STDERR_FILENO, line, len);
  (void)ignored;
}

}  // namespace ascand
