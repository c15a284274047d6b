// ascan - scans mail with the core and the reference mail plug-ins, and
// trains the Bayes model they use.
//
//   ascan scan [--modules DIR] [-j N] [--config INI] [-s key=value]...
//              [--model FILE] [--glob PATTERN] [--quiet] PATH...
//   ascan train --spam DIR --ham DIR -o MODEL [--glob PATTERN]
//   ascan --version
//
// Without --modules, the modules directory is $ASCORE_MODULES, else the one
// of the installation or build tree ascan runs from (tools/common/module_dir.h).
//
// PATHs may be message files, mbox files, Maildirs or directories (walked
// recursively). Each worker thread has its own core session. One JSON line
// per message goes to standard output; the summary and the progress bar (on
// a terminal only) go to standard error. A message that cannot be read or
// analysed gets a line with "error" and the run goes on.
//
// Exit status: 0 nothing was spam, 1 something was, 2 usage or start-up error.
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "analyzer.h"
#include "ascore/ascore.h"
#include "ascore/aseml.h"
#include "ascore/version.h"
#include "bayes.h"
#include "model_store.h"
#include "mbox.h"
#include "module_dir.h"

namespace {

struct Options {
  std::string command;
  std::string modules;
  int jobs = 1;
  std::vector<std::pair<std::string, std::string>> settings;
  std::string glob;
  bool quiet = false;
  std::vector<std::string> paths;
  std::string spam_dir, ham_dir, output;
};

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "ascan: %s\n", why);
  std::fprintf(stderr,
               "usage: ascan scan [--modules DIR] [-j N] [--config INI] [-s key=value]... [--model FILE]\n"
               "                  [--glob PATTERN] [--quiet] PATH...\n"
               "       ascan train --spam DIR --ham DIR -o MODEL [--glob PATTERN]\n"
               "       ascan --version\n"
               "Without --modules: $%s, else the modules of this installation.\n",
               astool::kModulesEnv);
  return 2;
}

// "ModelPath"-style keys without a leading slash live under /eml/.
std::string SettingKey(std::string key) {
  if (!key.empty() && key[0] != '/') key = "/eml/" + key;
  return key;
}

bool AddSetting(Options& o, const std::string& kv) {
  size_t eq = kv.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  o.settings.emplace_back(SettingKey(kv.substr(0, eq)), kv.substr(eq + 1));
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n"), e = s.find_last_not_of(" \t\r\n");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// Ini file: "[section]" lines prefix the keys below them ("[EmlBayesFilter]"
// then "ModelPath = m.bin" gives /eml/EmlBayesFilter/ModelPath).
bool ReadConfig(Options& o, const std::string& path, std::string& err) {
  std::ifstream in(path);
  if (!in) {
    err = "cannot read config file '" + path + "'";
    return false;
  }
  std::string line, section;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    line = Trim(line);
    if (line.empty() || line[0] == ';' || line[0] == '#') continue;
    if (line[0] == '[') {
      size_t close = line.find(']');
      if (close == std::string::npos) {
        err = path + ":" + std::to_string(n) + ": unterminated section";
        return false;
      }
      section = Trim(line.substr(1, close - 1));
      continue;
    }
    size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      err = path + ":" + std::to_string(n) + ": expected key = value";
      return false;
    }
    std::string key = Trim(line.substr(0, eq));
    if (!section.empty()) key = section + "/" + key;
    o.settings.emplace_back(SettingKey(key), Trim(line.substr(eq + 1)));
  }
  return true;
}

bool ParseArgs(int argc, char** argv, Options& o, std::string& err) {
  if (argc < 2) {
    err = "no command";
    return false;
  }
  o.command = argv[1];
  if (o.command != "scan" && o.command != "train") {
    err = "unknown command '" + o.command + "'";
    return false;
  }
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) {
        err = "option " + a + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--modules") {
      if (!value(o.modules)) return false;
    } else if (a == "-j" || a == "--jobs") {
      if (!value(v)) return false;
      char* end = nullptr;
      long j = std::strtol(v.c_str(), &end, 10);
      if (!end || *end || j < 1 || j > 256) {
        err = "-j needs a number from 1 to 256";
        return false;
      }
      o.jobs = static_cast<int>(j);
    } else if (a == "-s" || a == "--set") {
      if (!value(v)) return false;
      if (!AddSetting(o, v)) {
        err = "-s needs key=value, got '" + v + "'";
        return false;
      }
    } else if (a == "--config") {
      if (!value(v) || !ReadConfig(o, v, err)) return false;
    } else if (a == "--model") {
      if (!value(v)) return false;
      o.settings.emplace_back("/eml/EmlBayesFilter/ModelPath", v);
    } else if (a == "--glob") {
      if (!value(o.glob)) return false;
    } else if (a == "--quiet" || a == "-q") {
      o.quiet = true;
    } else if (a == "--spam") {
      if (!value(o.spam_dir)) return false;
    } else if (a == "--ham") {
      if (!value(o.ham_dir)) return false;
    } else if (a == "-o" || a == "--output") {
      if (!value(o.output)) return false;
    } else if (a == "--") {
      for (++i; i < argc; ++i) o.paths.push_back(argv[i]);
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      err = "unknown option '" + a + "'";
      return false;
    } else {
      o.paths.push_back(a);
    }
  }
  if (o.command == "scan" && o.paths.empty()) {
    err = "scan needs at least one PATH";
    return false;
  }
  if (o.command == "train" && (o.spam_dir.empty() || o.ham_dir.empty() || o.output.empty())) {
    err = "train needs --spam DIR, --ham DIR and -o MODEL";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Inputs

struct Source {
  std::string path;  // file to read
};

bool IsDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void Walk(const std::string& path, const std::string& glob, std::vector<Source>& out, int depth) {
  if (!IsDir(path)) {
    out.push_back(Source{path});
    return;
  }
  if (depth > 32) return;
  DIR* d = opendir(path.c_str());
  if (!d) {
    out.push_back(Source{path});  // reported as unreadable when scanned
    return;
  }
  std::vector<std::string> names;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == ".." || n == "tmp") continue;  // a Maildir's tmp holds unfinished deliveries
    names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    std::string full = path + (path.back() == '/' ? "" : "/") + n;
    if (IsDir(full)) Walk(full, glob, out, depth + 1);
    else if (n[0] != '.' && (glob.empty() || fnmatch(glob.c_str(), n.c_str(), 0) == 0)) out.push_back(Source{full});
  }
}

bool ReadWhole(const std::string& path, std::string& out, std::string& err) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    err = std::string("cannot open: ") + std::strerror(errno);
    return false;
  }
  char buf[1 << 16];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  bool bad = std::ferror(f);
  std::fclose(f);
  if (bad) err = std::string("cannot read: ") + std::strerror(errno);
  return !bad;
}

std::string JsonEscape(const std::string& s) {
  std::string r;
  r.reserve(s.size() + 8);
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      r.push_back('\\');
      r.push_back(static_cast<char>(c));
    } else if (c < 0x20) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", c);
      r += b;
    } else {
      r.push_back(static_cast<char>(c));
    }
  }
  return r;
}

// ---------------------------------------------------------------------------
// scan

struct Totals {
  std::atomic<size_t> messages{0}, spam{0}, ham{0}, errors{0}, files_done{0};
};

int Scan(const Options& o) {
  std::vector<Source> sources;
  for (const std::string& p : o.paths) Walk(p, o.glob, sources, 0);
  std::string modules = astool::ModulesDir(o.modules);

  if (as_core_instance_init(modules.c_str(), AS_PRODUCT_EML) != 0) {
    std::fprintf(stderr, "ascan: cannot start the core over '%s': %s\n", modules.c_str(), as_core_errmsg());
    return 2;
  }
  for (const auto& kv : o.settings) {
    if (as_core_setting_set(nullptr, kv.first.c_str(), kv.second.c_str()) != 0) {
      std::fprintf(stderr, "ascan: setting %s: %s\n", kv.first.c_str(), as_core_errmsg());
      as_core_instance_release();
      return 2;
    }
  }
  if (as_core_settings_apply(nullptr) != 0)
    std::fprintf(stderr, "ascan: warning: applying settings: %s\n", as_core_errmsg());

  Totals t;
  std::mutex out_mu;
  std::atomic<size_t> next{0};
  std::atomic<bool> fatal{false};
  std::string fatal_msg;
  auto start = std::chrono::steady_clock::now();

  auto emit = [&](const std::string& line) {
    if (o.quiet) return;
    std::lock_guard<std::mutex> lock(out_mu);
    std::fwrite(line.data(), 1, line.size(), stdout);
  };

  auto worker = [&]() {
    as_session_t* session = as_core_session_create();
    if (!session) {
      std::lock_guard<std::mutex> lock(out_mu);
      fatal = true;
      fatal_msg = std::string("cannot create a session: ") + as_core_errmsg();
      return;
    }
    if (as_core_settings_apply(session) != 0) {
      std::lock_guard<std::mutex> lock(out_mu);
      // Modules that refuse their settings are off; the others still run.
      std::fprintf(stderr, "ascan: warning: session settings: %s\n", as_core_errmsg());
    }
    std::string data, err;
    std::vector<eml::MboxMessage> parts;
    while (!fatal) {
      size_t i = next.fetch_add(1);
      if (i >= sources.size()) break;
      const std::string& path = sources[i].path;
      data.clear();
      err.clear();
      parts.clear();
      bool ok = ReadWhole(path, data, err);
      if (ok) eml::SplitMbox(data, parts);
      if (!ok) {
        ++t.errors;
        ++t.messages;
        emit("{\"path\":\"" + JsonEscape(path) + "\",\"error\":\"" + JsonEscape(err) + "\"}\n");
      }
      for (size_t k = 0; ok && k < parts.size(); ++k) {
        std::string name = parts.size() > 1 ? path + "#" + std::to_string(k + 1) : path;
        auto t0 = std::chrono::steady_clock::now();
        as_item_descriptor_t d;
        d.stream_param1 = reinterpret_cast<int64_t>(data.data() + parts[k].offset);
        d.stream_param2 = static_cast<int64_t>(parts[k].length);
        d.entity_type = ASEML_ENTITY_MAIL;
        d.entity_subtype = ASEML_SOURCE_BUFFER;
        std::string line;
        as_item_t* item = as_core_item_create(session, &d);
        as_blackbox_t* bb = item ? as_blackbox_create() : nullptr;
        int rc = item && bb ? as_core_item_process(session, item, ASEML_VERB_SCAN, bb) : as_core_err();
        std::string msg = rc != 0 || !item ? as_core_errmsg() : "";
        int verdict = -1;
        double score = 0;
        if (bb && rc == 0) {
          as_blackbox_get(bb, ASEML_BB_VERDICT, BB_TYPE_INT, &verdict, -1);
          as_blackbox_get(bb, ASEML_BB_SCORE, BB_TYPE_DOUBLE, &score, 0.0);
        }
        if (item) as_core_item_release(session, item);
        if (bb) as_blackbox_release(bb);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        ++t.messages;
        char tail[96];
        if (verdict < 0) {
          ++t.errors;
          if (msg.empty()) msg = "no verdict";
          std::snprintf(tail, sizeof tail, ",\"time_ms\":%.3f}\n", ms);
          line = "{\"path\":\"" + JsonEscape(name) + "\",\"error\":\"" + JsonEscape(msg) + "\"" + tail;
        } else {
          (verdict ? t.spam : t.ham)++;
          std::snprintf(tail, sizeof tail, "\",\"score\":%.6f,\"time_ms\":%.3f}\n", score, ms);
          line = "{\"path\":\"" + JsonEscape(name) + "\",\"verdict\":\"" + (verdict ? "spam" : "ham") + tail;
        }
        emit(line);
      }
      ++t.files_done;
    }
    as_core_session_release(session);
  };

  std::vector<std::thread> threads;
  for (int j = 0; j < o.jobs; ++j) threads.emplace_back(worker);
  bool tty = isatty(STDERR_FILENO);
  if (tty) {
    while (t.files_done < sources.size() && !fatal) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      size_t done = t.files_done, total = sources.size();
      int width = 40, fill = total ? static_cast<int>(width * done / total) : width;
      std::fprintf(stderr, "\r[%s%s] %zu/%zu", std::string(static_cast<size_t>(fill), '#').c_str(),
                   std::string(static_cast<size_t>(width - fill), ' ').c_str(), done, total);
    }
    std::fprintf(stderr, "\r\033[K");
  }
  for (auto& th : threads) th.join();
  std::fflush(stdout);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  as_core_instance_release();
  if (fatal) {
    std::fprintf(stderr, "ascan: %s\n", fatal_msg.c_str());
    return 2;
  }
  std::fprintf(stderr, "ascan: %zu messages: %zu spam, %zu ham, %zu errors in %.2f s (%.0f messages/s, %d threads)\n",
               t.messages.load(), t.spam.load(), t.ham.load(), t.errors.load(), secs,
               secs > 0 ? t.messages / secs : 0.0, o.jobs);
  return t.spam > 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// train

int Train(const Options& o) {
  eml::BayesModel model;
  eml::LearnedMessages learned;
  size_t counts[2] = {0, 0}, errors = 0;
  for (int spam = 0; spam < 2; ++spam) {
    std::vector<Source> sources;
    Walk(spam ? o.spam_dir : o.ham_dir, o.glob, sources, 0);
    std::string data, err;
    std::vector<eml::MboxMessage> parts;
    eml::Analysis a;
    for (const Source& s : sources) {
      data.clear();
      parts.clear();
      if (!ReadWhole(s.path, data, err)) {
        std::fprintf(stderr, "ascan: %s: %s\n", s.path.c_str(), err.c_str());
        ++errors;
        continue;
      }
      eml::SplitMbox(data, parts);
      for (const auto& p : parts) {
        std::string_view raw = std::string_view(data).substr(p.offset, p.length);
        eml::Analyze(raw, a);
        eml::ModelStore::LearnInto(model, learned, a.tokens, eml::MessageDigest(raw),
                                   spam ? eml::ModelStore::Action::kLearnSpam : eml::ModelStore::Action::kLearnHam,
                                   eml::ScoreOptions());
        ++counts[spam];
      }
    }
  }
  if (counts[0] == 0 || counts[1] == 0) {
    std::fprintf(stderr, "ascan: training needs both spam and ham messages (got %zu spam, %zu ham)\n", counts[1],
                 counts[0]);
    return 2;
  }
  std::string err;
  if (!eml::WriteModelFile(o.output, model, learned, true, err)) {
    std::fprintf(stderr, "ascan: %s\n", err.c_str());
    return 2;
  }
  std::fprintf(stderr, "ascan: trained on %zu spam and %zu ham messages, %zu tokens, %zu unreadable -> %s\n",
               counts[1], counts[0], model.size(), errors, o.output.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  std::string err;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("ascan %s\n", ASCORE_VERSION_STRING);
    return 0;
  }
  if (!ParseArgs(argc, argv, o, err)) return Usage(err.c_str());
  return o.command == "scan" ? Scan(o) : Train(o);
}
