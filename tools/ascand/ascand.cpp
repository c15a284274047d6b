// ascand - the mail filter daemon: scans each message a mail server hands
// over through the milter protocol, adds the X-Spam-* headers, and rejects
// what scores at or above the reject score.
//
// Lifecycle: read the configuration, take the PID file, start the core and
// its sessions, open the socket, then serve until SIGTERM or SIGINT. SIGHUP
// re-reads the configuration, the settings file and the model without
// closing a connection. Everything is logged, one line per event.
//
// Signals: SIGHUP, SIGTERM and SIGINT are blocked in every thread and taken
// by the main thread alone, with sigwaitinfo(). libmilter would start a
// thread of its own that waits for the same three in sigwait() and stops the
// filter on any of them, SIGHUP included, and it has no switch to turn that
// off; so ascand provides the sigwait() libmilter calls (below), which parks
// that thread for good without taking a signal.
#include <libmilter/mfapi.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ascore/version.h"
#include "config.h"
#include "log.h"
#include "milter.h"
#include "process.h"
#include "scan_pool.h"

#ifndef ASCAND_DEFAULT_CONFIG
#define ASCAND_DEFAULT_CONFIG "/etc/ascand/ascand.conf"
#endif

namespace {

using ascand::Config;
using ascand::Log;
using ascand::LogLevel;

const char kHelp[] =
    "usage: ascand [-c FILE] [-o KEY=VALUE]... [--check]\n"
    "\n"
    "Mail filter daemon: scans each message a mail server (Postfix, Sendmail)\n"
    "hands over through the milter protocol, adds X-Spam-Flag, X-Spam-Score and\n"
    "X-Spam-Status headers, and rejects messages at or above the reject score.\n"
    "Runs in the foreground; stop it with SIGTERM, reload it with SIGHUP.\n"
    "\n"
    "options:\n"
    "  -c, --config FILE   configuration file (default " ASCAND_DEFAULT_CONFIG
    ",\n"
    "                      read when it exists)\n"
    "  -o KEY=VALUE        set a configuration key after reading the file\n"
    "                      (for example -o log=stderr -o log_level=debug)\n"
    "  -t, --check         check the configuration, the settings file and the\n"
    "                      model, print the result and exit\n"
    "  -h, --help          this text\n"
    "  -V, --version       print the version\n"
    "\n"
    "configuration keys (defaults): socket (unix:/run/ascand/ascand.sock),\n"
    "socket_mode (0660), socket_group, pid_file, log (stderr|syslog),\n"
    "log_level (info), syslog_facility (mail), modules, settings, model,\n"
    "workers (2), max_message_size (16M), reject_score (off),\n"
    "on_error (tempfail|accept), timeout (300), stop_timeout (60).\n"
    "See ascand(8) and the example ascand.conf.\n"
    "\n"
    "exit status: 0 stopped cleanly (or --check passed), 1 failed while\n"
    "running, 2 usage, configuration or start-up error.\n";

struct Options {
  std::string config_path;
  bool config_given = false;
  std::vector<std::string> overrides;
  bool check = false;
};

int Usage(const std::string& why) {
  std::fprintf(stderr, "ascand: %s\nTry 'ascand --help'.\n", why.c_str());
  return 2;
}

// 0 to go on, otherwise the exit status.
int ParseArgs(int argc, char** argv, Options& o) {
  o.config_path = ASCAND_DEFAULT_CONFIG;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "-c" || a == "--config") {
      if (!value(o.config_path)) return Usage("option " + a + " needs a file");
      o.config_given = true;
    } else if (a == "-o") {
      if (!value(v)) return Usage("option -o needs KEY=VALUE");
      o.overrides.push_back(v);
    } else if (a == "-t" || a == "--check") {
      o.check = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return -1;
    } else if (a == "-V" || a == "--version") {
      std::printf("ascand %s\n", ASCORE_VERSION_STRING);
      return -1;
    } else {
      return Usage("unknown argument '" + a + "'");
    }
  }
  return 0;
}

// Reads the file (when given or present) and the overrides into a new Config.
bool LoadConfig(const Options& o, Config& config, std::string& error) {
  struct stat st;
  if ((o.config_given || stat(o.config_path.c_str(), &st) == 0) &&
      !ascand::ReadConfigFile(o.config_path, config, error))
    return false;
  if (!ascand::ApplyOverrides(o.overrides, config, error)) return false;
  return true;
}

// ---------------------------------------------------------------------------
// Signals

ascand::ScanPool* g_pool = nullptr;
ascand::Milter* g_milter = nullptr;
std::atomic<bool> g_milter_ended{false};

// SIGUSR1 from the milter thread to the main thread: smfi_main returned.
const int kWaitedSignals[] = {SIGHUP, SIGTERM, SIGINT, SIGUSR1};

sigset_t WaitedSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kWaitedSignals) sigaddset(&set, s);
  return set;
}

// The keys that only a restart changes.
void WarnRestartOnly(const Config& now, const Config& next) {
  auto warn = [](const char* key) {
    Log(LogLevel::kWarning, "reload: %s changed; it takes effect at the next start", key);
  };
  if (now.socket != next.socket) warn("socket");
  if (now.socket_mode != next.socket_mode) warn("socket_mode");
  if (now.socket_group != next.socket_group) warn("socket_group");
  if (now.pid_file != next.pid_file) warn("pid_file");
  if (now.modules != next.modules) warn("modules");
  if (now.workers != next.workers) warn("workers");
  if (now.timeout != next.timeout) warn("timeout");
}

void Reload(const Options& o, ascand::Milter& milter, ascand::ScanPool& pool) {
  ascand::NotifySystemd("RELOADING=1");
  Log(LogLevel::kInfo, "reloading");
  std::shared_ptr<const Config> now = milter.config();
  auto next = std::make_shared<Config>();
  std::string error;
  if (!LoadConfig(o, *next, error)) {
    Log(LogLevel::kError, "reload failed, keeping the running configuration: %s", error.c_str());
  } else if (!pool.Reload(*next, error)) {
    Log(LogLevel::kError, "reload failed, keeping the running configuration: %s", error.c_str());
  } else {
    WarnRestartOnly(*now, *next);
    // Restart-only keys keep their running values, so the next reload
    // compares against what is really in force.
    next->socket = now->socket;
    next->socket_mode = now->socket_mode;
    next->socket_group = now->socket_group;
    next->pid_file = now->pid_file;
    next->modules = now->modules;
    next->workers = now->workers;
    next->timeout = now->timeout;
    ascand::LogConfigure(next->log_syslog, next->syslog_facility, next->log_level);
    milter.SetConfig(next);
    Log(LogLevel::kInfo, "reloaded: settings=%s, model=%s, reject_score=%g, max_message_size=%zu, on_error=%s",
        next->settings.empty() ? "(none)" : next->settings.c_str(),
        next->model.empty() ? "(settings)" : next->model.c_str(), next->reject_score, next->max_message_size,
        next->on_error == ascand::ErrorAction::kAccept ? "accept" : "tempfail");
  }
  ascand::NotifySystemd("READY=1");
}

}  // namespace

// The sigwait() of this program, which only libmilter calls: its signal
// thread waits here for SIGHUP, SIGTERM and SIGINT, and is parked for good
// with them blocked, so that they always reach the main thread. Any other
// caller gets the C library's behaviour.
extern "C" __attribute__((visibility("default"))) int sigwait(const sigset_t* set, int* sig) {
  if (sigismember(set, SIGHUP) == 1)
    for (;;) pause();
  siginfo_t info;
  int r = sigwaitinfo(set, &info);
  if (r < 0) return errno;
  *sig = r;
  return 0;
}

int main(int argc, char** argv) {
  // Message buffers above this size are mapped and given back when done.
  // (Left alone, the C library raises the limit to the largest block freed,
  // and every thread's heap then keeps the high-water mark of the largest
  // message it has held.)
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  Options o;
  int rc = ParseArgs(argc, argv, o);
  if (rc != 0) return rc < 0 ? 0 : rc;

  auto config = std::make_shared<Config>();
  std::string error;
  if (!LoadConfig(o, *config, error)) {
    std::fprintf(stderr, "ascand: %s\n", error.c_str());
    return 2;
  }
  // --check reports to the terminal whatever the configured log says.
  ascand::LogConfigure(config->log_syslog && !o.check, config->syslog_facility, config->log_level);
  // A start that fails is also said on standard error when the log goes to
  // syslog, for whoever started the daemon by hand.
  auto start_error = [&](const std::string& why) {
    Log(LogLevel::kError, "cannot start: %s", why.c_str());
    if (config->log_syslog && !o.check) std::fprintf(stderr, "ascand: cannot start: %s\n", why.c_str());
    return 2;
  };

  // Taken first, so a second daemon gives up before loading anything.
  ascand::PidFile pid_file;
  if (!o.check && !config->pid_file.empty() && !pid_file.Create(config->pid_file, error)) return start_error(error);

  // Kept for the whole process and never destroyed: libmilter threads may
  // still be inside a callback when main returns.
  g_pool = new ascand::ScanPool;
  ascand::ScanPool* pool = g_pool;
  if (!pool->Start(*config, error)) return start_error(error);
  if (o.check) {
    pool->Stop();
    std::printf("ascand: configuration OK\n");
    return 0;
  }

  g_milter = new ascand::Milter(*pool, config);
  ascand::Milter* milter = g_milter;
  std::string path = ascand::SocketPath(config->socket);
  ascand::FileId socket_id;
  auto fail = [&](const std::string& why) {
    pool->Stop();
    ascand::RemoveIfSame(path, socket_id);
    return start_error(why);
  };
  if (!path.empty() && !ascand::CheckSocketPath(path, error)) return fail(error);
  std::string conn = config->socket;
  if (smfi_setconn(&conn[0]) != MI_SUCCESS) return fail("libmilter refused socket '" + config->socket + "'");
  smfi_settimeout(config->timeout);
  if (!milter->Register(error)) return fail(error);
  // The socket is created with the umask's mode: start closed, then open up.
  mode_t old_umask = umask(0177);
  int opened = smfi_opensocket(true);
  umask(old_umask);
  if (opened != MI_SUCCESS)
    return fail("cannot listen on '" + config->socket + "' (in use, or its folder is missing?)");
  socket_id = ascand::IdentifyFile(path);
  if (!path.empty() && !ascand::SetSocketAccess(path, config->socket_mode, config->socket_group, error))
    return fail(error);

  // Blocked before any thread starts, so every thread inherits the mask.
  sigset_t waited = WaitedSignals();
  pthread_sigmask(SIG_BLOCK, &waited, nullptr);
  pthread_t main_thread = pthread_self();
  std::thread milter_thread([main_thread] {
    int r = smfi_main();
    if (r != MI_SUCCESS) Log(LogLevel::kError, "libmilter stopped with an error");
    g_milter_ended = true;
    pthread_kill(main_thread, SIGUSR1);
  });

  Log(LogLevel::kInfo, "ready: socket=%s, workers=%d, modules=%s, settings=%s, reject_score=%g", config->socket.c_str(),
      config->workers, config->modules.c_str(), config->settings.empty() ? "(none)" : config->settings.c_str(),
      config->reject_score);
  ascand::NotifySystemd("READY=1");

  int status = 0;
  for (;;) {
    siginfo_t info;
    int sig = sigwaitinfo(&waited, &info);
    if (sig < 0) {
      if (errno == EINTR) continue;
      Log(LogLevel::kError, "waiting for signals failed: %s", std::strerror(errno));
      status = 1;
      break;
    }
    if (sig == SIGHUP) {
      Reload(o, *milter, *pool);
      continue;
    }
    if (sig == SIGUSR1) {
      if (!g_milter_ended) continue;  // not from the milter thread
      Log(LogLevel::kError, "libmilter stopped on its own; stopping");
      status = 1;
      break;
    }
    Log(LogLevel::kInfo, "%s received: stopping", sig == SIGTERM ? "SIGTERM" : "SIGINT");
    break;
  }

  ascand::NotifySystemd("STOPPING=1");
  // From here on new connections and new messages get a 4xx reply, while
  // libmilter still serves the messages under way; once they are done (or
  // stop_timeout has passed) libmilter is stopped, and with it the rest.
  milter->BeginStop();
  int waiting = milter->InProgress();
  if (waiting > 0 && !g_milter_ended) {
    Log(LogLevel::kInfo, "finishing %d message(s) in progress", waiting);
    if (!milter->WaitIdle(std::chrono::seconds(config->stop_timeout)))
      Log(LogLevel::kWarning,
          "stop_timeout reached with %d message(s) still in progress; the mail server applies its default action "
          "to them",
          milter->InProgress());
  }
  // smfi_stop() waits for a lock libmilter's listener holds while it polls
  // for connections (up to 5 s): a connection to our own socket wakes it.
  std::thread stopper([] { smfi_stop(); });
  while (!g_milter_ended) {
    ascand::PokeSocket(config->socket);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  stopper.join();
  milter_thread.join();
  ascand::RemoveIfSame(path, socket_id);
  pool->Stop();
  const ascand::MilterCounters& c = milter->counters();
  Log(LogLevel::kInfo,
      "stopped: %llu connections, %llu messages: %llu ham, %llu spam, %llu rejected, %llu not scanned (size), %llu "
      "errors, %llu aborted, %llu refused while stopping",
      static_cast<unsigned long long>(c.connections.load()), static_cast<unsigned long long>(c.messages.load()),
      static_cast<unsigned long long>(c.ham.load()), static_cast<unsigned long long>(c.spam.load()),
      static_cast<unsigned long long>(c.rejected.load()), static_cast<unsigned long long>(c.oversized.load()),
      static_cast<unsigned long long>(c.errors.load()), static_cast<unsigned long long>(c.aborted.load()),
      static_cast<unsigned long long>(c.refused.load()));
  pid_file.Remove();
  return status;
}
