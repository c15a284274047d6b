// engine.cpp - the core instance, its sessions and the checks on start.
#include "engine.h"

#include <sys/stat.h>

#include <cerrno>
#include <string_view>

#include "ascore/ascore.h"
#include "ascore/aseml.h"
#include "model_store.h"
#include "module_dir.h"

namespace astools {
namespace {

const char kModelKey[] = "/eml/EmlBayesFilter/ModelPath";
// A small real message: scanning it shows whether the Bayes filter could
// load the model the settings name.
const char kProbe[] = "From: probe@localhost\nSubject: settings check\n\nsettings check\n";

// The core reports refused settings as a header line, then per module a
// "[Disabled ...]" line and the module's own message indented by eight
// spaces. The modules' messages name the key and the allowed range.
std::string ApplyError(const char* text) {
  std::string_view t = text ? text : "";
  std::string out;
  size_t pos = 0;
  while (pos < t.size()) {
    size_t nl = t.find('\n', pos);
    std::string_view line = t.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? t.size() : nl + 1;
    if (line.substr(0, 8) != "        ") continue;
    line.remove_prefix(line.find_first_not_of(' '));
    if (!out.empty()) out += "; ";
    out += line;
  }
  if (!out.empty()) return out;
  return std::string(t.substr(0, t.find('\n')));
}

std::vector<std::string> Strings(as_blackbox_t* bb, uint32_t key) {
  std::vector<std::string> out;
  size_t n = 0;
  if (!as_blackbox_get(bb, key, BB_TYPE_STRING_ARRAY, static_cast<const char**>(nullptr), &n) || n == 0) return out;
  std::vector<const char*> p(n, nullptr);
  as_blackbox_get(bb, key, BB_TYPE_STRING_ARRAY, p.data(), &n);
  for (size_t i = 0; i < n; ++i)
    if (p[i] && *p[i]) out.emplace_back(p[i]);
  return out;
}

double Double(as_blackbox_t* bb, uint32_t key, double def) {
  double v = def;
  as_blackbox_get(bb, key, BB_TYPE_DOUBLE, &v, def);
  return v;
}

}  // namespace

std::string ModulesDir(const std::string& given) { return astool::ModulesDir(given); }

const char* ScanResult::VerdictText() const {
  switch (verdict) {
    case kHam: return "ham";
    case kSpam: return "spam";
    case kEmpty: return "empty";
    case kUnsure: return "unsure";
    default: return "error";
  }
}

Engine::~Engine() {
  if (started_) as_core_instance_release();
}

bool Engine::Start(const std::string& modules_dir, const Settings& settings, std::string& error,
                   bool model_may_be_missing) {
  if (as_core_instance_init(modules_dir.c_str(), AS_PRODUCT_EML) != 0) {
    error = "cannot start the core over '" + modules_dir + "': " + as_core_errmsg();
    return false;
  }
  started_ = true;
  if (!Apply(settings, Settings(), model_may_be_missing, error)) {
    as_core_instance_release();
    started_ = false;
    return false;
  }
  applied_ = settings;
  return true;
}

bool Engine::Reload(const Settings& settings, std::string& error) {
  if (!started_) {
    error = "the core is not started";
    return false;
  }
  if (Apply(settings, applied_, false, error)) {
    applied_ = settings;
    return true;
  }
  std::string again;
  if (!Apply(applied_, settings, false, again)) error += "; and the previous settings now fail too: " + again;
  return false;
}

bool Engine::Apply(const Settings& next, const Settings& previous, bool model_may_be_missing, std::string& error) {
  for (const Setting& s : previous.items())
    if (!next.Find(s.key) && as_core_setting_set(nullptr, s.key.c_str(), "") != 0) {
      error = "setting " + s.key + ": " + as_core_errmsg();
      return false;
    }
  for (const Setting& s : next.items())
    if (as_core_setting_set(nullptr, s.key.c_str(), s.value.c_str()) != 0) {
      error = "setting " + s.key + ": " + as_core_errmsg();
      return false;
    }
  if (as_core_settings_apply(nullptr) != 0) {
    error = ApplyError(as_core_errmsg());
    return false;
  }
  return Probe(model_may_be_missing, error);
}

// Modules apply their shared settings when the first session needs them, so
// refusals show up when a session opens; a scan shows whether the Bayes
// filter could load the model the settings name.
bool Engine::Probe(bool model_may_be_missing, std::string& error) {
  ScanResult probe;
  {
    Session first;
    if (!first.Open(error)) return false;
    probe = first.Scan(kProbe, sizeof kProbe - 1, true);
  }
  if (probe.verdict == ScanResult::kError) {
    error = "the plug-ins cannot scan: " + probe.error;
    return false;
  }
  const char* model = as_core_setting_get(nullptr, kModelKey);
  struct stat st;
  bool missing = model && *model && ::stat(model, &st) != 0 && errno == ENOENT;
  if (model && *model && probe.bayes_status != "ok" && !(model_may_be_missing && missing)) {
    error = "model '" + std::string(model) + "' is not usable: " + probe.bayes_status;
    return false;
  }
  return true;
}

bool CheckModelFile(const std::string& path, std::string& error) {
  eml::ModelData data;
  eml::FileStamp stamp;
  return eml::ReadModelFile(path, data, stamp, error);
}

Session::~Session() {
  if (session_) as_core_session_release(session_);
}

bool Session::Open(std::string& error) {
  session_ = as_core_session_create();
  if (!session_) {
    error = std::string("cannot create a session: ") + as_core_errmsg();
    return false;
  }
  if (as_core_settings_apply(session_) != 0) {
    error = ApplyError(as_core_errmsg());
    as_core_session_release(session_);
    session_ = nullptr;
    return false;
  }
  return true;
}

bool Session::Reapply(std::string& error) {
  if (!session_) {
    error = "no session";
    return false;
  }
  if (as_core_settings_apply(session_) != 0) {
    error = ApplyError(as_core_errmsg());
    return false;
  }
  return true;
}

// The descriptor of a message held in memory, for the mail streamer.
static as_item_descriptor_t MailInBuffer(const char* data, size_t size) {
  as_item_descriptor_t d{};
  d.stream_param1 = reinterpret_cast<int64_t>(data);
  d.stream_param2 = static_cast<int64_t>(size);
  d.entity_type = ASEML_ENTITY_MAIL;
  d.entity_subtype = ASEML_SOURCE_BUFFER;
  return d;
}

ScanResult Session::Scan(const char* data, size_t size, bool explain) {
  ScanResult r;
  const as_item_descriptor_t d = MailInBuffer(data, size);
  as_item_t* item = session_ ? as_core_item_create(session_, &d) : nullptr;
  if (!item) {
    r.error = session_ ? as_core_errmsg() : "no session";
    return r;
  }
  as_blackbox_t* bb = as_blackbox_create();
  int rc = bb ? as_core_item_process(session_, item, ASEML_VERB_SCAN, bb) : as_core_err();
  if (rc != 0) r.error = as_core_errmsg();
  as_core_item_release(session_, item);
  if (!bb) return r;
  int verdict = -1;
  if (rc == 0) as_blackbox_get(bb, ASEML_BB_VERDICT, BB_TYPE_INT, &verdict, -1);
  if (verdict >= ScanResult::kHam && verdict <= ScanResult::kUnsure) {
    r.verdict = static_cast<ScanResult::Verdict>(verdict);
    r.score = Double(bb, ASEML_BB_SCORE, 0);
    r.threshold = Double(bb, ASEML_BB_THRESHOLD, 0);
  } else if (r.error.empty()) {
    r.error = "the plug-ins gave no verdict";
  }
  if (explain) {
    r.header_score = Double(bb, ASEML_BB_HEADER_SCORE, 0);
    r.list_score = Double(bb, ASEML_BB_LIST_SCORE, 0);
    r.bayes_score = Double(bb, ASEML_BB_BAYES_SCORE, 0.5);
    const char* status = static_cast<const char*>(
        as_blackbox_get(bb, ASEML_BB_BAYES_STATUS, BB_TYPE_STRING, static_cast<const char**>(nullptr)));
    r.bayes_status = status ? status : "";
    r.rules = Strings(bb, ASEML_BB_HEADER_RULES);
    r.list_hits = Strings(bb, ASEML_BB_LIST_HITS);
    r.tokens = Strings(bb, ASEML_BB_BAYES_TOKENS);
  }
  as_blackbox_release(bb);
  return r;
}

LearnResult Session::Learn(const char* data, size_t size, uint32_t verb) {
  LearnResult r;
  const as_item_descriptor_t d = MailInBuffer(data, size);
  as_blackbox_t* bb = session_ ? as_blackbox_create() : nullptr;
  if (!bb) {
    r.error = session_ ? as_core_errmsg() : "no session";
    return r;
  }
  if (as_core_item_process_alt(session_, &d, verb, bb) != 0) {
    r.error = as_core_errmsg();
  } else {
    const char* outcome = static_cast<const char*>(
        as_blackbox_get(bb, ASEML_BB_LEARN_RESULT, BB_TYPE_STRING, static_cast<const char**>(nullptr)));
    r.ok = outcome != nullptr;
    r.outcome = outcome ? outcome : "";
    if (!r.ok) r.error = "the plug-ins did not say what they learned";
    as_blackbox_get(bb, ASEML_BB_LEARNED_SPAM, BB_TYPE_ULONG, &r.spam, uint64_t{0});
    as_blackbox_get(bb, ASEML_BB_LEARNED_HAM, BB_TYPE_ULONG, &r.ham, uint64_t{0});
  }
  as_blackbox_release(bb);
  return r;
}

}  // namespace astools
