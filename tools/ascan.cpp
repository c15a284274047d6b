// ascan - scans mail with the core and the reference mail plug-ins, and
// trains the Bayes model they use. See ascan(1) (tools/man/ascan.1.scd) for
// the user's view; `ascan COMMAND --help` lists every option.
//
//   scan    files, mboxes, Maildirs and folders; one JSON line per message
//   check   one message on standard input; the verdict as exit code and line
//   filter  one message on standard input, the same message on standard
//           output with X-Spam-* header fields added
//   train   a model from folders of spam and ham
//   learn   corrections: messages learned as spam or ham, or forgotten,
//           through the core like any other host
//
// Every input is read through the shared tool library (tools/common): at
// most --max-size bytes per message, special files only when asked, one
// directory walker. The tool fails closed: a message it could not scan turns
// the exit status to 3, never to "clean".
#include <signal.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "analyzer.h"
#include "ascore/ascore.h"
#include "ascore/aseml.h"
#include "ascore/version.h"
#include "fused.h"
#include "model_store.h"
#include "engine.h"
#include "input.h"
#include "json.h"
#include "settings.h"
#include "spamheaders.h"
#include "walk.h"

namespace {

// Exit statuses (documented in --help and ascan(1)).
enum Exit { kClean = 0, kSpamFound = 1, kUsage = 2, kIncomplete = 3 };

const char kExitText[] =
    "Exit status: 0 no spam found (check: ham or empty), 1 spam found, 2 usage, settings or\n"
    "start-up error (nothing scanned), 3 some input could not be read or scanned (it has an\n"
    "\"error\" line; this wins over 0 and 1), 128+N stopped by signal N (a summary is printed).\n"
    "Settings: docs/mail-plugins.md and ascan(1); `ascan scan --help` lists the keys.";

struct Options {
  // engine
  std::string modules, config, model;
  std::vector<std::string> sets;
  size_t max_size = astools::kDefaultMaxMessageBytes;
  bool explain = false;
  // inputs
  std::vector<std::string> paths;
  std::string glob;
  bool follow_links = false, read_special = false, quiet = false;
  int jobs = 1;
  // train
  std::vector<std::string> spam_dirs, ham_dirs;
  std::string output;
  bool force = false;
  // learn
  bool learn_spam = false, learn_ham = false, forget = false;
};

std::atomic<int> g_signal{0};

extern "C" void OnSignal(int sig) {
  g_signal = sig;
  // A second Ctrl-C ends the run at once.
  signal(sig, SIG_DFL);
}

void CatchSignals() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void Error(const std::string& what) { std::fprintf(stderr, "ascan: %s\n", what.c_str()); }

// Settings from --config, then -s, then --model: later ones win.
bool BuildSettings(const Options& o, astools::Settings& s, std::string& err) {
  if (!o.config.empty() && !s.LoadIni(o.config, err)) return false;
  for (const std::string& kv : o.sets)
    if (!s.AddKeyValue(kv, err)) return false;
  if (!o.model.empty() && !s.Add("EmlBayesFilter/ModelPath", o.model, "--model", err)) return false;
  return true;
}

bool StartEngine(const Options& o, astools::Engine& engine) {
  astools::Settings settings;
  std::string err;
  if (!BuildSettings(o, settings, err) || !engine.Start(astools::ModulesDir(o.modules), settings, err)) {
    Error(err);
    return false;
  }
  return true;
}

std::string ResultLine(const std::string& name, const astools::ScanResult& r, bool truncated, double ms,
                       bool explain) {
  astools::JsonLine j;
  j.AddPath("path", name);
  if (r.verdict == astools::ScanResult::kError) {
    j.Add("error", r.error);
  } else {
    j.Add("verdict", r.VerdictText());
    j.Add("score", r.score, 10);  // enough digits to rank scores near 0 or 1
  }
  if (truncated) j.Add("truncated", true);
  if (explain && r.verdict != astools::ScanResult::kError) {
    j.Add("header_score", r.header_score, 4);
    j.Add("rules", r.rules);
    j.Add("list_score", r.list_score, 4);
    j.Add("list_hits", r.list_hits);
    j.Add("bayes_score", r.bayes_score, 6);
    j.Add("bayes_status", r.bayes_status);
    j.Add("tokens", r.tokens);
  }
  if (ms >= 0) j.Add("time_ms", ms, 3);
  return j.Line();
}

std::string ErrorLine(const std::string& name, const std::string& error) {
  astools::JsonLine j;
  j.AddPath("path", name);
  j.Add("error", error);
  return j.Line();
}

// ---------------------------------------------------------------------------
// scan

// The folder walker's options as the command line gave them.
astools::WalkOptions WalkOptionsOf(const Options& o) {
  astools::WalkOptions wo;
  wo.glob = o.glob;
  wo.follow_links = o.follow_links;
  wo.read_special = o.read_special;
  return wo;
}

struct Totals {
  std::atomic<size_t> messages{0}, spam{0}, ham{0}, empty{0}, unsure{0}, errors{0}, truncated{0}, inputs_done{0};
};

int Scan(const Options& o) {
  astools::Engine engine;
  if (!StartEngine(o, engine)) return kUsage;
  const astools::WalkOptions wo = WalkOptionsOf(o);
  std::vector<astools::Input> inputs;
  astools::ExpandPaths(o.paths, wo, inputs);

  Totals t;
  std::mutex out_mu;
  std::atomic<size_t> next{0};
  std::string fatal;
  auto start = std::chrono::steady_clock::now();

  // One line at a time, flushed, so a run that is killed loses nothing
  // already decided.
  auto emit = [&](const std::string& line) {
    if (o.quiet) return;
    std::lock_guard<std::mutex> lock(out_mu);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  };

  auto worker = [&]() {
    astools::Session session;
    std::string err;
    if (!session.Open(err)) {
      std::lock_guard<std::mutex> lock(out_mu);
      fatal = err;
      return;
    }
    astools::Message m;
    while (!g_signal) {
      size_t i = next.fetch_add(1);
      if (i >= inputs.size()) break;
      const astools::Input& in = inputs[i];
      int fd = in.kind == astools::Input::kStdin ? STDIN_FILENO : -1;
      std::string why = in.error;
      if (in.kind == astools::Input::kFile) fd = astools::OpenInputFile(in.path, o.read_special, why);
      if (fd < 0) {
        ++t.errors;
        emit(ErrorLine(in.path, why));
        ++t.inputs_done;
        continue;
      }
      astools::MessageReader reader(fd, o.max_size);
      while (!g_signal && reader.Next(m)) {
        std::string name = m.index == 1 && m.last ? in.path : in.path + "#" + std::to_string(m.index);
        auto t0 = std::chrono::steady_clock::now();
        astools::ScanResult r = session.Scan(m.bytes.data(), m.bytes.size(), o.explain);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        ++t.messages;
        if (m.truncated) ++t.truncated;
        switch (r.verdict) {
          case astools::ScanResult::kSpam: ++t.spam; break;
          case astools::ScanResult::kHam: ++t.ham; break;
          case astools::ScanResult::kEmpty: ++t.empty; break;
          case astools::ScanResult::kUnsure: ++t.unsure; break;
          default: ++t.errors; break;
        }
        emit(ResultLine(name, r, m.truncated, ms, o.explain));
      }
      if (!reader.error().empty()) {
        ++t.errors;
        emit(ErrorLine(in.path, reader.error()));
      }
      if (fd != STDIN_FILENO) ::close(fd);
      ++t.inputs_done;
    }
  };

  // The workers run with SIGINT and SIGTERM blocked, so the signal reaches
  // this thread even while a worker waits on a slow pipe.
  std::atomic<int> active{o.jobs};
  std::vector<std::thread> threads;
  {
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    for (int j = 0; j < o.jobs; ++j)
      threads.emplace_back([&] {
        worker();
        --active;
      });
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  bool tty = isatty(STDERR_FILENO) && !o.quiet;
  while (active > 0 && !g_signal) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!tty) continue;
    size_t done = t.inputs_done, total = inputs.size();
    int width = 40, fill = total ? static_cast<int>(width * std::min(done, total) / total) : width;
    std::fprintf(stderr, "\r[%s%s] %zu/%zu", std::string(static_cast<size_t>(fill), '#').c_str(),
                 std::string(static_cast<size_t>(width - fill), ' ').c_str(), done, total);
  }
  if (tty) std::fprintf(stderr, "\r\033[K");
  // Interrupted: the workers stop after the message in hand; one stuck on a
  // read is left behind after a grace period.
  auto grace = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (active > 0 && std::chrono::steady_clock::now() < grace)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  bool stuck = active > 0;
  std::unique_lock<std::mutex> out_lock(out_mu);  // no line is cut by the summary
  if (!stuck) {
    out_lock.unlock();
    for (auto& th : threads) th.join();
    out_lock.lock();
  }
  if (!fatal.empty()) {
    Error(fatal);
    return kUsage;
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::fprintf(stderr,
               "ascan: %zu messages: %zu spam, %zu ham, %zu empty, %zu unsure, %zu errors, %zu truncated in %.2f s "
               "(%.0f messages/s, %d threads)%s\n",
               t.messages.load(), t.spam.load(), t.ham.load(), t.empty.load(), t.unsure.load(), t.errors.load(), t.truncated.load(),
               secs, secs > 0 ? static_cast<double>(t.messages) / secs : 0.0, o.jobs,
               g_signal ? "; interrupted, the rest was not scanned" : "");
  if (stuck) {
    std::fflush(stdout);
    std::_Exit(128 + g_signal);  // the stuck worker still holds the core
  }
  for (auto& th : threads)
    if (th.joinable()) th.join();
  if (g_signal) return 128 + g_signal;
  if (t.errors > 0) return kIncomplete;
  return t.spam > 0 ? kSpamFound : kClean;
}

// ---------------------------------------------------------------------------
// check and filter: one message on standard input

int Check(const Options& o) {
  std::string head, err;
  bool truncated = false;
  if (!astools::ReadBounded(STDIN_FILENO, o.max_size, head, truncated, err)) {
    std::fputs(ErrorLine("-", err).c_str(), stdout);
    return kIncomplete;
  }
  astools::Engine engine;
  if (!StartEngine(o, engine)) return kUsage;
  astools::Session session;
  if (!session.Open(err)) {
    Error(err);
    return kUsage;
  }
  astools::ScanResult r = session.Scan(head.data(), head.size(), o.explain);
  std::fputs(ResultLine("-", r, truncated, -1, o.explain).c_str(), stdout);
  if (r.verdict == astools::ScanResult::kError) return kIncomplete;
  return r.verdict == astools::ScanResult::kSpam ? kSpamFound : kClean;
}

// Writes the message through unchanged: what `filter` does whenever it
// cannot add its verdict.
int PassThrough(const std::string& head, const std::string& extra, int status) {
  bool ok = astools::WriteAll(STDOUT_FILENO, head.data(), head.size()) &&
            astools::WriteAll(STDOUT_FILENO, extra.data(), extra.size()) &&
            astools::CopyRest(STDIN_FILENO, STDOUT_FILENO);
  if (!ok) Error("cannot pass the message on to standard output");
  std::fprintf(stderr, "ascan: the message was passed on unchanged, without a verdict\n");
  return status;
}

int Filter(const Options& o) {
  std::string head, extra, err;
  bool truncated = false;
  if (!astools::ReadBounded(STDIN_FILENO, o.max_size, head, truncated, err, &extra)) {
    Error("standard input: " + err);
    return PassThrough(head, extra, kIncomplete);
  }
  try {
    astools::Engine engine;
    if (!StartEngine(o, engine)) return PassThrough(head, extra, kUsage);
    astools::Session session;
    if (!session.Open(err)) {
      Error(err);
      return PassThrough(head, extra, kUsage);
    }
    astools::ScanResult r = session.Scan(head.data(), head.size(), true);
    if (r.verdict == astools::ScanResult::kError) {
      Error("the message could not be scanned: " + r.error);
      return PassThrough(head, extra, kIncomplete);
    }
    std::string out = astools::AddSpamHeaders(head, !truncated, r);
    if (!astools::WriteAll(STDOUT_FILENO, out.data(), out.size()) ||
        !astools::WriteAll(STDOUT_FILENO, extra.data(), extra.size()) ||
        !astools::CopyRest(STDIN_FILENO, STDOUT_FILENO)) {
      Error("cannot write the message to standard output");
      return kIncomplete;
    }
    return kClean;
  } catch (const std::exception& e) {
    Error(std::string("internal error: ") + e.what());
    return PassThrough(head, extra, kIncomplete);
  }
}

// ---------------------------------------------------------------------------
// train

// Reads every training message first: the fused model trains in several
// passes over them in a shuffled order, after an inner cross-validation that
// chooses its learning rate, how its parts are weighed and its threshold.
int Train(const Options& o) {
  const astools::WalkOptions wo = WalkOptionsOf(o);
  struct Sample {
    eml::TokenSet tokens;
    uint64_t digest;
    bool spam;
  };
  std::vector<std::unique_ptr<Sample>> read;
  size_t counts[2] = {0, 0}, errors = 0;
  eml::Analysis a;
  astools::Message m;
  for (int spam = 0; spam < 2 && !g_signal; ++spam) {
    std::vector<astools::Input> inputs;
    astools::ExpandPaths(spam ? o.spam_dirs : o.ham_dirs, wo, inputs);
    for (const astools::Input& in : inputs) {
      if (g_signal) break;
      std::string why = in.error;
      int fd = in.kind == astools::Input::kStdin ? STDIN_FILENO : -1;
      if (in.kind == astools::Input::kFile) fd = astools::OpenInputFile(in.path, o.read_special, why);
      astools::MessageReader reader(fd, o.max_size);
      while (fd >= 0 && !g_signal && reader.Next(m)) {
        eml::Analyze(m.bytes, a);
        read.push_back(std::make_unique<Sample>(Sample{a.tokens, eml::MessageDigest(m.bytes), spam != 0}));
        ++counts[spam];
      }
      if (fd >= 0 && !reader.error().empty()) why = reader.error();
      if (fd > STDIN_FILENO) ::close(fd);
      if (fd < 0 || !reader.error().empty()) {
        Error(in.path + ": " + why);
        ++errors;
      }
    }
  }
  if (g_signal) {
    Error("interrupted; no model written");
    return 128 + g_signal;
  }
  if (counts[0] == 0 || counts[1] == 0) {
    Error("training needs both spam and ham messages (got " + std::to_string(counts[1]) + " spam, " +
          std::to_string(counts[0]) + " ham)");
    return kUsage;
  }
  // A message given twice (or under both labels) is learned once, with its
  // last label, as the learning verbs would.
  eml::LearnedMessages learned;
  std::vector<eml::TrainSample> samples;
  for (auto it = read.rbegin(); it != read.rend(); ++it) {
    eml::Label seen;
    if (learned.Find((*it)->digest, seen)) continue;
    learned.Set((*it)->digest, (*it)->spam ? eml::Label::kSpam : eml::Label::kHam);
    samples.push_back(eml::TrainSample{&(*it)->tokens, (*it)->digest, (*it)->spam});
  }
  eml::FusedModel model;
  eml::TrainReport report;
  eml::TrainFused(samples, eml::TrainOptions(), model, &report);
  std::string err;
  if (!eml::WriteModelFile(o.output, model, learned, o.force, err)) {
    Error(err + (o.force ? "" : " (--force replaces it)"));
    return kUsage;
  }
  std::fprintf(stderr,
               "ascan: trained on %zu spam and %zu ham messages, %zu unreadable -> %s\n"
               "ascan: learning rate %g, %u passes; fusion %.3g * tokens + %.3g * raw grams + %.3g * text grams + "
               "%.3g * Bayes / 10 %+.3g; "
               "held out while fitting: %zu of %zu ham over the threshold, %zu of %zu spam caught\n",
               counts[1], counts[0], errors, o.output.c_str(), report.chosen.rate, report.chosen.passes,
               model.fusion().linear, model.fusion().grams, model.fusion().text, model.fusion().bayes,
               model.fusion().bias,
               report.held_out_fp, report.held_out_ham, report.held_out_caught, report.held_out_spam);
  return errors ? kIncomplete : kClean;
}

// ---------------------------------------------------------------------------
// learn: through the core, as a mail server or a webmail button would

int Learn(const Options& o) {
  astools::Settings settings;
  astools::Engine engine;
  std::string err;
  if (!BuildSettings(o, settings, err) || !engine.Start(astools::ModulesDir(o.modules), settings, err, true)) {
    Error(err);
    return kUsage;
  }
  const char* model_setting = as_core_setting_get(nullptr, "/eml/EmlBayesFilter/ModelPath");
  if (!model_setting || !*model_setting) {
    Error("learn needs a model file: --model FILE, or EmlBayesFilter/ModelPath in --config");
    return kUsage;
  }
  const std::string model = model_setting;
  astools::Session session;
  if (!session.Open(err)) {
    Error(err);
    return kUsage;
  }
  uint32_t verb = o.learn_spam ? ASEML_VERB_LEARN_SPAM : o.learn_ham ? ASEML_VERB_LEARN_HAM : ASEML_VERB_FORGET;
  const astools::WalkOptions wo = WalkOptionsOf(o);
  std::vector<astools::Input> inputs;
  astools::ExpandPaths(o.paths, wo, inputs);

  const char* const kOutcomes[] = {"learned", "relearned", "unchanged", "forgotten", "not learned"};
  size_t counts[5] = {0, 0, 0, 0, 0}, errors = 0;
  astools::LearnResult last;
  auto emit = [&](const std::string& line) {
    if (o.quiet) return;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  };
  astools::Message m;
  for (const astools::Input& in : inputs) {
    if (g_signal) break;
    std::string why = in.error;
    int fd = in.kind == astools::Input::kStdin ? STDIN_FILENO : -1;
    if (in.kind == astools::Input::kFile) fd = astools::OpenInputFile(in.path, o.read_special, why);
    if (fd < 0) {
      ++errors;
      emit(ErrorLine(in.path, why));
      continue;
    }
    astools::MessageReader reader(fd, o.max_size);
    while (!g_signal && reader.Next(m)) {
      std::string name = m.index == 1 && m.last ? in.path : in.path + "#" + std::to_string(m.index);
      astools::LearnResult r = session.Learn(m.bytes.data(), m.bytes.size(), verb);
      if (!r.ok) {
        ++errors;
        emit(ErrorLine(name, r.error));
        continue;
      }
      last = r;
      for (size_t k = 0; k < 5; ++k) counts[k] += r.outcome == kOutcomes[k];
      astools::JsonLine j;
      j.AddPath("path", name);
      j.Add("learn", r.outcome);
      if (m.truncated) j.Add("truncated", true);
      emit(j.Line());
    }
    if (!reader.error().empty()) {
      ++errors;
      emit(ErrorLine(in.path, reader.error()));
    }
    if (fd != STDIN_FILENO) ::close(fd);
  }
  size_t done = counts[0] + counts[1] + counts[2] + counts[3] + counts[4];
  std::string holds = last.ok ? "; the model holds " + std::to_string(last.spam) + " spam and " +
                                    std::to_string(last.ham) + " ham messages"
                              : "";
  std::fprintf(stderr,
               "ascan: %zu messages: %zu learned, %zu relearned, %zu unchanged, %zu forgotten, %zu not learned, "
               "%zu errors%s (%s)%s\n",
               done + errors, counts[0], counts[1], counts[2], counts[3], counts[4], errors, holds.c_str(),
               model.c_str(), g_signal ? "; interrupted, the rest was not learned" : "");
  if (g_signal) return 128 + g_signal;
  return errors ? kIncomplete : kClean;
}

// ---------------------------------------------------------------------------
// The command line

void EngineOptions(CLI::App* c, Options& o) {
  c->add_option("--modules", o.modules,
                "plug-in directory (default: $ASCORE_MODULES, else the modules of this installation or build)")
      ->type_name("DIR");
  c->add_option("--config", o.config, "ini file of settings ([EmlBayesFilter] then ModelPath = FILE)")
      ->type_name("FILE");
  c->add_option("-s,--set", o.sets, "one setting KEY=VALUE (repeatable; overrides --config)")->type_name("KEY=VALUE");
  c->add_option("--model", o.model, "model file written by `ascan train`; a model that cannot be used is an error")
      ->type_name("FILE");
  c->add_option("--max-size", o.max_size,
                "bytes of a message that are read and analysed, at most 32M (suffixes k, M); a longer "
                "message is scanned on its first bytes and marked \"truncated\"")
      ->transform(CLI::AsSizeValue(false).description(""))
      ->check(CLI::Range(size_t{1}, astools::kMaxMessageBytesLimit).description(""))
      ->default_str("16M")
      ->type_name("SIZE");
}

void InputOptions(CLI::App* c, Options& o) {
  c->add_option("--glob", o.glob, "read only files whose names match this pattern (e.g. '*.eml')")
      ->type_name("PATTERN");
  c->add_flag("--follow-links", o.follow_links,
              "walk links to folders too (each folder once: link loops end)");
  c->add_flag("--read-special", o.read_special,
              "read FIFOs and devices named on the command line (inside folders they are never read)");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"ascan - scans mail for spam with the ascore core and the mail plug-ins", "ascan"};
  app.set_version_flag("--version", std::string("ascan ") + ASCORE_VERSION_STRING);
  app.require_subcommand(1);
  app.footer(kExitText);

  CLI::App* scan = app.add_subcommand("scan", "scan files, mboxes, Maildirs and folders; one JSON line per message");
  EngineOptions(scan, o);
  InputOptions(scan, o);
  scan->add_option("-j,--jobs", o.jobs, "scanning threads")->check(CLI::Range(1, 256))->capture_default_str()->type_name("N");
  scan->add_flag("-q,--quiet", o.quiet, "no JSON lines and no progress bar; the summary and exit status only");
  scan->add_flag("--explain", o.explain, "add the evidence to each line: rules, domain list hits, Bayes tokens");
  scan->add_option("PATH", o.paths, "message file, mbox, Maildir or folder (walked); - is standard input")
      ->type_name("PATH")
      ->required();
  scan->footer(std::string("Output: {\"path\":..., \"verdict\":\"spam|ham|empty|unsure\", \"score\":0..1, \"time_ms\":...}\n"
                           "per message (\"#N\" after the path for the N-th message of an mbox), or {\"path\":...,\n"
                           "\"error\":...}. A path that is not UTF-8 is written with U+FFFD for the bad bytes\n"
                           "and comes again in full as hex in \"path_hex\". Summary on standard error.\n"
                           "Setting keys (-s, --config):\n") +
               astools::KnownSettingKeys() + kExitText);

  CLI::App* check = app.add_subcommand("check", "one message on standard input: verdict as exit status and a JSON line");
  EngineOptions(check, o);
  check->add_flag("--explain", o.explain, "add the evidence to the line");
  check->footer(
      "Exit status: 0 ham or empty, 1 spam, 2 usage, settings or start-up error, 3 the message could not\n"
      "be read or scanned.");

  CLI::App* filter = app.add_subcommand(
      "filter", "one message on standard input, written to standard output with X-Spam-Flag, X-Spam-Score and "
                "X-Spam-Status header fields added; the body is left byte for byte");
  EngineOptions(filter, o);
  filter->footer(
      "Exit status: 0 the message was written with the fields added (whatever the verdict); 2 usage,\n"
      "settings or start-up error and 3 scan or read failure: in both cases the message is written\n"
      "unchanged and the reason goes to standard error. Fields of those names already in the message\n"
      "are replaced.");

  CLI::App* train = app.add_subcommand("train", "build a model from folders of spam and ham");
  train->add_option("--spam", o.spam_dirs, "spam messages (file, mbox or folder; repeatable)")->required()->type_name("PATH");
  train->add_option("--ham", o.ham_dirs, "ham messages (file, mbox or folder; repeatable)")->required()->type_name("PATH");
  train->add_option("-o,--output", o.output, "model file to write")->required()->type_name("FILE");
  InputOptions(train, o);
  train->add_option("--max-size", o.max_size, "bytes of a message that are read, at most 32M (suffixes k, M)")
      ->transform(CLI::AsSizeValue(false).description(""))
      ->check(CLI::Range(size_t{1}, astools::kMaxMessageBytesLimit).description(""))
      ->default_str("16M")
      ->type_name("SIZE");
  train->add_flag("--force", o.force, "replace the model file when it exists (it is kept otherwise)");
  train->footer(
      "Exit status: 0 model written, 2 usage error, too little mail or the model file exists without\n"
      "--force (no model written), 3 model written but some input could not be read (listed on\n"
      "standard error). The model file is replaced whole (a new file renamed over it), under the\n"
      "same lock that learning takes, and records every message it learned, so a trained message\n"
      "can later be relearned or forgotten with `ascan learn`.");

  CLI::App* learn = app.add_subcommand(
      "learn", "learn messages as spam or ham, or forget them, into the model file (through the core)");
  CLI::Option_group* mode = learn->add_option_group("mode", "what to do with each message (exactly one)");
  mode->add_flag("--spam", o.learn_spam, "learn as spam (moves a message learned as ham over)");
  mode->add_flag("--ham", o.learn_ham, "learn as ham (moves a message learned as spam over)");
  mode->add_flag("--forget", o.forget, "take a message learned earlier back out, exactly");
  mode->require_option(1);
  EngineOptions(learn, o);
  InputOptions(learn, o);
  learn->add_flag("-q,--quiet", o.quiet, "no JSON lines: the summary and exit status only");
  learn->add_option("PATH", o.paths, "message file, mbox, Maildir or folder (walked); - is standard input")
      ->type_name("PATH")
      ->required();
  learn->footer(
      "The model file (--model, or EmlBayesFilter/ModelPath in --config) is created when missing; one\n"
      "that exists but is corrupt or of another version is refused and left as it is. Each message is\n"
      "saved as it is learned, so other processes (scanners, a daemon) see it at once, and learners in\n"
      "several processes may run together. Messages are known by their bytes: forget and relearn need\n"
      "the same message, not a copy with header fields added on the way.\n"
      "Output: {\"path\":..., \"learn\":\"learned|relearned|unchanged|forgotten|not learned\"} per\n"
      "message, or {\"path\":..., \"error\":...}; summary on standard error.\n"
      "Exit status: 0 every message was handled, 2 usage, settings or start-up error (nothing learned),\n"
      "3 some input could not be read or learned (it has an \"error\" line; the others were learned),\n"
      "128+N stopped by signal N.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::string sub = filter->parsed() ? "filter" : scan->parsed() ? "scan" : check->parsed() ? "check"
                      : train->parsed()  ? "train" : learn->parsed() ? "learn" : "";
    Error(std::string(e.what()) + " (see 'ascan " + (sub.empty() ? "" : sub + " ") + "--help')");
    // A filter never loses the message, even when called wrongly.
    if (filter->parsed()) return PassThrough("", "", kUsage);
    return kUsage;
  }
  if (check->parsed()) return Check(o);
  if (filter->parsed()) return Filter(o);
  CatchSignals();
  if (scan->parsed()) return Scan(o);
  if (learn->parsed()) return Learn(o);
  return Train(o);
}
