// eml_plugin.cpp - the reference mail plug-in library (aseml.mdl).
//
// Seven modules over one entity type (ASEML_ENTITY_MAIL, see aseml.h):
//   EmlStreamer          turns a file path or a buffer into an EmlStream
//   EmlBreaker           opens the stream level by level (below)
//   EmlDispatcher        runs the filters and the performer by display name
//   EmlHeaderFilter      header heuristics
//   EmlUrlFilter         link and sender domains against lists from settings
//   EmlBayesFilter       the statistical token filter; also learns and
//                        forgets messages (the learning verbs)
//   EmlVerdictPerformer  combines the filter results into a score and verdict
//
// Breaker indexes, each built from the raw bytes on demand:
//   0 raw bytes; 1 the message's header fields; 2 the MIME tree with every
//   text part transfer-decoded and converted to UTF-8; 3 the plain text
//   (HTML reduced), subject and links; 4 the token set.
// A level's data stays in the stream until the level is released; a commit
// (a module changed the content at that level) drops what was derived from it.
//
// Written against the plug-in SDK only. No exception leaves a module slot:
// failures become the calling thread's error code and message.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "as_errno.h"
#include "ascore/aseml.h"
#include "model.h"
#include "model_store.h"
#include "blackbox.h"
#include "cadispmgr.h"
#include "mime.h"
#include "plugin_sdk.h"
#include "rules.h"
#include "text.h"
#include "tokens.h"
#include "trace.h"

namespace {

const size_t kMaxMessageBytes = 32u << 20;

// ---------------------------------------------------------------------------
// The stream: the message bytes and the data of each opened level.

class EmlStream : public CAStream {
public:
  std::string raw;
  bool headers_parsed = false;  // msg holds at least the root header fields
  bool tree_parsed = false;     // msg holds the whole MIME tree
  bool text_ready = false;
  bool tokens_ready = false;
  eml::Message msg;
  std::vector<std::string> decoded_parts;  // level 2: text parts in UTF-8
  eml::TextContent text;
  eml::TokenSet tokens;

  void EnsureHeaders() {
    if (headers_parsed) return;
    eml::ParseLimits lim;
    lim.headers_only = true;
    eml::ParseMessage(raw, msg, lim);
    headers_parsed = true;
  }
  void EnsureTree() {
    if (tree_parsed) return;
    eml::ParseMessage(raw, msg);
    headers_parsed = tree_parsed = true;
  }
  void EnsureLevel(uint32_t level) {
    if (level >= 1) EnsureHeaders();
    if (level == 2 && decoded_parts.empty()) {
      EnsureTree();
      for (const eml::MimePart& p : msg.parts) {
        if (p.type != "text") continue;
        decoded_parts.emplace_back();
        eml::DecodePartText(p, decoded_parts.back(), 2u << 20);
      }
    }
    if (level >= 3 && !text_ready) {
      EnsureTree();
      text = eml::TextContent();
      eml::ExtractText(msg, text);
      text_ready = true;
    }
    if (level >= 4 && !tokens_ready) {
      EnsureTree();
      tokens.Clear();
      eml::Tokenize(msg, text, tokens);
      tokens_ready = true;
    }
  }
  void DropMessage() {
    msg = eml::Message();
    headers_parsed = tree_parsed = false;
  }
  void Release(uint32_t level, const ASItem* item) {
    switch (level) {
      case 1:
      case 2:
        if (level == 2) std::vector<std::string>().swap(decoded_parts);
        if (!item->states[level == 1 ? 2 : 1].open) DropMessage();
        break;
      case 3:
        text = eml::TextContent();
        text_ready = false;
        break;
      case 4:
        tokens.Clear();
        tokens_ready = false;
        break;
      default:
        break;
    }
  }
  // Content changed at `level`: everything derived from it is stale.
  void Commit(uint32_t level) {
    if (level < 4) {
      tokens.Clear();
      tokens_ready = false;
    }
    if (level < 3) {
      text = eml::TextContent();
      text_ready = false;
    }
    if (level < 2) decoded_parts.clear();
    if (level < 1) DropMessage();
  }
};

EmlStream* StreamOf(ASItem* item) {
  return item && item->stream ? dynamic_cast<EmlStream*>(item->stream) : nullptr;
}

// Runs `fn` and turns any exception into the calling thread's error state.
template <typename Fn>
int Guarded(const char* where, Fn&& fn) {
  try {
    return fn();
  } catch (const std::bad_alloc&) {
    return _as_set_err(-102, "%s: out of memory", where);
  } catch (const std::exception& e) {
    return _as_set_err(-104, "%s: %s", where, e.what());
  } catch (...) {
    return _as_set_err(-104, "%s: unexpected exception", where);
  }
}

// ---------------------------------------------------------------------------
// Settings helpers

bool ParseNumber(const char* text, double lo, double hi, bool lo_open, bool hi_open, double& out) {
  if (!text) return false;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  while (end && (*end == ' ' || *end == '\t')) ++end;
  if (end == text || !end || *end != '\0' || !std::isfinite(v)) return false;
  if (lo_open ? v <= lo : v < lo) return false;
  if (hi_open ? v >= hi : v > hi) return false;
  out = v;
  return true;
}

// Reads the module setting "/eml/<module>/<name>"; absent leaves `value` as
// is, a bad value records -101 naming the key and returns false.
template <class M>
bool NumberSetting(M* module, const char* name, double lo, double hi, bool lo_open, bool hi_open,
                   double& value) {
  std::string key = std::string("/eml/") + module->GetDisplayName().c_str() + "/" + name;
  CAConfigurer* c = module->GetConfigurer();
  const char* text = c ? c->GetSetting(key.c_str(), 0) : nullptr;
  if (!text || !*text) return true;
  if (ParseNumber(text, lo, hi, lo_open, hi_open, value)) return true;
  _as_set_err(-101, "invalid value '%s' for setting %s: expected a number in %c%g, %g%c", text, key.c_str(),
              lo_open ? '(' : '[', lo, hi, hi_open ? ')' : ']');
  AS_TRACE(2, "invalid value '%s' for setting %s", text, key.c_str());
  return false;
}

template <class M>
std::string TextSetting(M* module, const char* name) {
  std::string key = std::string("/eml/") + module->GetDisplayName().c_str() + "/" + name;
  CAConfigurer* c = module->GetConfigurer();
  const char* text = c ? c->GetSetting(key.c_str(), 0) : nullptr;
  return text ? std::string(text) : std::string();
}

// ---------------------------------------------------------------------------
// Module base: per-session switch and declared dependencies.

template <class Interface>
class EmlModule : public ascore_sdk::CModule<Interface> {
public:
  EmlModule(const char* name, std::vector<const char*> deps)
      : ascore_sdk::CModule<Interface>(name), deps_(std::move(deps)) {}

  // "/eml/<module>/Enabled" = 0 switches the module off for a session.
  bool IsEnabledForSession(uint64_t session) override {
    CAConfigurer* c = this->GetConfigurer();
    if (!c) return true;
    std::string key = std::string("/eml/") + this->GetDisplayName().c_str() + "/Enabled";
    return c->GetSettingInt(key.c_str(), 1, session) != 0;
  }
  int HandleGlobalRequest(CBlackBox* bb) override { return AnswerDependencies(bb); }

protected:
  // Records the outcome of ApplySharedSettings: after a refusal the module
  // fails items instead of deciding with its previous or default values.
  int Settled(int rc) {
    refused_ = rc != 0;
    return rc;
  }
  int CheckSettled() const {
    if (!refused_) return 0;
    return _as_set_err(-101, "%s: its settings were refused, it scans nothing until they are fixed",
                       this->GetDisplayName().c_str());
  }

public:
  int HandleSessionRequest(uint64_t, CBlackBox* bb) override { return AnswerDependencies(bb); }

private:
  int AnswerDependencies(CBlackBox* bb) {
    if (!bb || deps_.empty()) return 0;
    bool* asked = static_cast<bool*>(bb->Get(BB_ID_DEPENDENCY_REQUEST, BB_TYPE_BOOL, BB_FLAGS_RAW,
                                             static_cast<bool*>(nullptr), 0));
    if (!asked || !*asked) return 0;
    return bb->Set(BB_ID_DEPENDENCIES, BB_TYPE_STRING_ARRAY, BB_FLAGS_RAW, deps_.data(), deps_.size());
  }
  std::vector<const char*> deps_;
  bool refused_ = false;
};

void SetDouble(CBlackBox* bb, unsigned key, double v) { bb->Set(key, BB_TYPE_DOUBLE, BB_FLAGS_RAW, v); }

void SetStrings(CBlackBox* bb, unsigned key, const std::vector<std::string>& v) {
  std::vector<const char*> p;
  p.reserve(v.size());
  for (const std::string& s : v) p.push_back(s.c_str());
  static const char* const kNone[1] = {""};  // an empty array still needs a valid pointer
  bb->Set(key, BB_TYPE_STRING_ARRAY, BB_FLAGS_RAW, p.empty() ? kNone : p.data(), p.size());
}

double GetDouble(CBlackBox* bb, unsigned key, double def) {
  double v = def;
  bb->Get(key, BB_TYPE_DOUBLE, BB_FLAGS_RAW, &v, def);
  return v;
}

// ---------------------------------------------------------------------------
// Streamer

class EmlStreamer : public EmlModule<CAStreamer> {
public:
  EmlStreamer() : EmlModule("EmlStreamer", {}) {}
  uint32_t GetEntityType() override { return ASEML_ENTITY_MAIL; }

  CAStream* CreateStream(uint64_t, int64_t p1, int64_t p2, uint32_t subtype) override {
    CAStream* result = nullptr;
    Guarded("EmlStreamer", [&]() -> int {
      std::unique_ptr<EmlStream> s(new EmlStream());
      if (subtype == ASEML_SOURCE_FILE) {
        const char* path = reinterpret_cast<const char*>(p1);
        if (!path) return _as_set_err(-101, "no file path given for the message");
        if (!ReadFile(path, s->raw)) return -101;
      } else if (subtype == ASEML_SOURCE_BUFFER) {
        const char* data = reinterpret_cast<const char*>(p1);
        if (p2 < 0 || (!data && p2 > 0))
          return _as_set_err(-101, "invalid message buffer (pointer %p, length %lld)", static_cast<const void*>(data),
                             static_cast<long long>(p2));
        size_t n = static_cast<size_t>(p2) < kMaxMessageBytes ? static_cast<size_t>(p2) : kMaxMessageBytes;
        s->raw.assign(data ? data : "", n);
      } else {
        return _as_set_err(-101, "unknown mail source subtype %u", subtype);
      }
      result = s.release();
      return 0;
    });
    return result;
  }

private:
  static bool ReadFile(const char* path, std::string& out) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path, "rb"), &std::fclose);
    if (!f) {
      _as_set_err(-101, "cannot open '%s': %s", path, std::strerror(errno));
      return false;
    }
    char buf[1 << 16];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
      size_t room = kMaxMessageBytes - out.size();
      out.append(buf, n < room ? n : room);
      if (out.size() >= kMaxMessageBytes) break;  // the rest is not analysed
    }
    if (std::ferror(f.get())) {
      _as_set_err(-101, "cannot read '%s': %s", path, std::strerror(errno));
      return false;
    }
    return true;
  }
};

// ---------------------------------------------------------------------------
// Breaker

class EmlBreaker : public EmlModule<CABreaker> {
public:
  EmlBreaker() : EmlModule("EmlBreaker", {"EmlStreamer"}) {}

  void BreakItem(uint64_t, uint32_t index, ASItem* item) override {
    Guarded("EmlBreaker", [&]() -> int {
      if (index >= AS_BREAKER_LEVELS) return _as_set_err(-101, "breaker index %u out of range", index);
      EmlStream* s = StreamOf(item);
      if (!s) return _as_set_err(-101, "the item carries no mail stream");
      s->EnsureLevel(index);
      item->states[index].open = 1;
      item->states[index].index = static_cast<uint8_t>(index);
      AS_TRACE(4, "mail item %p broken to level %u", static_cast<void*>(item), index);
      return 0;
    });
  }
  void ReleaseLevel(uint64_t, uint32_t index, ASItem* item) override {
    Guarded("EmlBreaker", [&]() -> int {
      EmlStream* s = StreamOf(item);
      if (!s || index >= AS_BREAKER_LEVELS) return 0;
      s->Release(index, item);
      item->states[index].open = 0;
      return 0;
    });
  }
  void CommitItem(uint64_t, uint32_t index, ASItem* item) override {
    Guarded("EmlBreaker", [&]() -> int {
      EmlStream* s = StreamOf(item);
      if (s && index < AS_BREAKER_LEVELS) s->Commit(index);
      return 0;
    });
  }
};

// ---------------------------------------------------------------------------
// Filters

const char* const kHeaderFilter = "EmlHeaderFilter";
const char* const kUrlFilter = "EmlUrlFilter";
const char* const kBayesFilter = "EmlBayesFilter";
const char* const kPerformer = "EmlVerdictPerformer";

class EmlHeaderFilter : public EmlModule<CAFilter> {
public:
  EmlHeaderFilter() : EmlModule(kHeaderFilter, {"EmlBreaker"}) {}
  int ApplySharedSettings() override {
    return Settled(Guarded(kHeaderFilter, [&]() -> int {
      double w = 1.0;
      if (!NumberSetting(this, "Weight", 0, 10, false, false, w)) return -101;
      weight_ = w;
      return 0;
    }));
  }
  int GetBreakerIndex(uint32_t) override { return 3; }
  int FilterItem(uint64_t, ASItem* item, uint32_t) override {
    return Guarded(kHeaderFilter, [&]() -> int {
      if (int rc = CheckSettled()) return rc;
      EmlStream* s = StreamOf(item);
      if (!s || !item->current_bb) return _as_set_err(-101, "EmlHeaderFilter: no mail stream or black box");
      double sum = 0;
      std::vector<std::string> names;
      for (const eml::RuleHit& h : eml::HeaderRules(s->msg, s->text, weight_)) {
        sum += h.weight;
        names.emplace_back(h.name);
      }
      SetDouble(item->current_bb, ASEML_BB_HEADER_SCORE, sum);
      SetStrings(item->current_bb, ASEML_BB_HEADER_RULES, names);
      return 0;
    });
  }
  int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }

private:
  double weight_ = 1.0;
};

class EmlUrlFilter : public EmlModule<CAFilter> {
public:
  EmlUrlFilter() : EmlModule(kUrlFilter, {"EmlBreaker"}) {}
  int ApplySharedSettings() override {
    return Settled(Guarded(kUrlFilter, [&]() -> int {
      double w = 6.0;
      if (!NumberSetting(this, "Weight", 0, 100, false, false, w)) return -101;
      Lists fresh;
      const char* names[4] = {"BlockDomains", "AllowDomains", "BlockSenders", "AllowSenders"};
      eml::DomainList* lists[4] = {&fresh.block, &fresh.allow, &fresh.block_senders, &fresh.allow_senders};
      for (int i = 0; i < 4; ++i) {
        std::string err;
        if (!lists[i]->Parse(TextSetting(this, names[i]), err))
          return _as_set_err(-101, "setting /eml/%s/%s: %s", kUrlFilter, names[i], err.c_str());
      }
      fresh.weight = w;
      lists_ = std::make_shared<const Lists>(std::move(fresh));
      return 0;
    }));
  }
  int GetBreakerIndex(uint32_t) override { return 4; }
  int FilterItem(uint64_t, ASItem* item, uint32_t) override {
    return Guarded(kUrlFilter, [&]() -> int {
      if (int rc = CheckSettled()) return rc;
      EmlStream* s = StreamOf(item);
      if (!s || !item->current_bb) return _as_set_err(-101, "EmlUrlFilter: no mail stream or black box");
      std::shared_ptr<const Lists> l = lists_;
      std::vector<std::string> hits;
      double score = 0;
      if (l) {
        bool blocked = false;
        for (const std::string& u : s->text.urls) {
          std::string host = eml::UrlHost(u);
          if (host.empty() || l->allow.Matches(host) || !l->block.Matches(host)) continue;
          if (hits.size() < 16) hits.push_back("block:" + host);
          blocked = true;
        }
        std::string sender = eml::SenderDomain(s->msg);
        if (l->allow_senders.Matches(sender)) {
          hits.push_back("allow-sender:" + sender);
          score -= l->weight;
        } else if (l->block_senders.Matches(sender)) {
          hits.push_back("block-sender:" + sender);
          score += l->weight;
        }
        if (blocked) score += l->weight;
      }
      SetDouble(item->current_bb, ASEML_BB_LIST_SCORE, score);
      SetStrings(item->current_bb, ASEML_BB_LIST_HITS, hits);
      return 0;
    });
  }
  int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }

private:
  struct Lists {
    eml::DomainList block, allow, block_senders, allow_senders;
    double weight = 6.0;
  };
  std::shared_ptr<const Lists> lists_;
};

// Nothing but white space after an mbox separator line (a separator alone,
// a 0-byte file): there is nothing to judge or learn, and it is not spam.
bool IsEmpty(const eml::Message& m) {
  for (char c : m.raw)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
  return true;
}

class EmlBayesFilter : public EmlModule<CAFilter> {
public:
  EmlBayesFilter() : EmlModule(kBayesFilter, {"EmlBreaker"}) {}
  // Settings are checked before the model is touched; a model that cannot be
  // read is no settings error: the filter stays on and says so per message.
  int ApplySharedSettings() override {
    return Settled(Guarded(kBayesFilter, [&]() -> int {
      eml::ScoreOptions opt;
      eml::BayesParams& p = opt.bayes;
      double top = 10, clues = static_cast<double>(p.max_tokens), reload = 1;
      if (!NumberSetting(this, "MinDeviation", 0, 0.5, false, true, p.min_dev) ||
          !NumberSetting(this, "Strength", 0, 1000, true, false, p.s) ||
          !NumberSetting(this, "Clues", 0, 100000, false, false, clues) ||
          !NumberSetting(this, "TopTokens", 0, 100, false, false, top) ||
          !NumberSetting(this, "ReloadSeconds", 0, 3600, false, false, reload))
        return -101;
      p.max_tokens = static_cast<size_t>(clues);
      opt.top = static_cast<size_t>(top);
      auto state = std::make_shared<State>();
      state->options = opt;
      std::string path = TextSetting(this, "ModelPath");
      auto interval = std::chrono::milliseconds(static_cast<int64_t>(reload * 1000));
      std::shared_ptr<const State> old = state_;
      if (path.empty()) {
        state->status = "no model configured (/eml/EmlBayesFilter/ModelPath)";
      } else if (old && old->store && old->store->path() == path) {
        state->store = old->store;  // same file: keep the model, look whether it changed
        state->store->set_refresh_interval(interval);
        state->store->Refresh(true);
      } else {
        state->store = std::make_shared<eml::ModelStore>(path, interval);
        state->store->Load();
      }
      if (state->store) {
        const std::string& st = state->store->Current()->status;
        if (st != "ok") AS_TRACE(2, "EmlBayesFilter: %s", st.c_str());
      }
      state_ = state;
      return 0;
    }));
  }
  int GetBreakerIndex(uint32_t) override { return 4; }
  int FilterItem(uint64_t, ASItem* item, uint32_t verb) override {
    return Guarded(kBayesFilter, [&]() -> int {
      if (int rc = CheckSettled()) return rc;
      EmlStream* s = StreamOf(item);
      CBlackBox* bb = item ? item->current_bb : nullptr;
      if (!s || !bb) return _as_set_err(-101, "EmlBayesFilter: no mail stream or black box");
      std::shared_ptr<const State> st = state_;
      if (verb == ASEML_VERB_LEARN_SPAM || verb == ASEML_VERB_LEARN_HAM || verb == ASEML_VERB_FORGET)
        return Learn(st.get(), *s, verb, bb);
      if (!st || !st->store) {
        bb->Set(ASEML_BB_BAYES_STATUS, BB_TYPE_STRING, BB_FLAGS_RAW,
                st ? st->status.c_str() : "settings not applied");
        return 0;
      }
      st->store->Refresh();
      std::shared_ptr<const eml::ModelStore::Snapshot> snap = st->store->Current();
      if (!snap->model) {
        bb->Set(ASEML_BB_BAYES_STATUS, BB_TYPE_STRING, BB_FLAGS_RAW, snap->status.c_str());
        return 0;
      }
      eml::ModelScore r = snap->model->Score(s->tokens, st->options);
      SetDouble(bb, ASEML_BB_BAYES_SCORE, r.score);
      if (r.has_log_odds) SetDouble(bb, ASEML_BB_TOKEN_LOGODDS, r.log_odds);
      bb->Set(ASEML_BB_BAYES_USED, BB_TYPE_INT, BB_FLAGS_RAW, static_cast<int>(r.used));
      std::vector<std::string> top;
      char buf[32];
      for (const eml::Evidence& t : r.top) {
        std::snprintf(buf, sizeof buf, "=%.4f", t.value);
        top.push_back(t.text + buf);
      }
      SetStrings(bb, ASEML_BB_BAYES_TOKENS, top);
      bb->Set(ASEML_BB_BAYES_STATUS, BB_TYPE_STRING, BB_FLAGS_RAW, "ok");
      return 0;
    });
  }
  int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }

private:
  // Replaced as a whole when settings are applied (items are not processed
  // then), read through a copied pointer while scanning. The store is shared
  // by every thread and is safe to use from all of them.
  struct State {
    eml::ScoreOptions options;
    std::string status;  // why there is no store
    std::shared_ptr<eml::ModelStore> store;
  };

  static int Learn(const State* st, const EmlStream& s, uint32_t verb, CBlackBox* bb) {
    if (!st || !st->store)
      return _as_set_err(-101, "EmlBayesFilter: cannot learn: %s", st ? st->status.c_str() : "settings not applied");
    if (IsEmpty(s.msg)) return _as_set_err(-101, "EmlBayesFilter: cannot learn an empty message");
    eml::ModelStore::Action action = verb == ASEML_VERB_LEARN_SPAM  ? eml::ModelStore::Action::kLearnSpam
                                     : verb == ASEML_VERB_LEARN_HAM ? eml::ModelStore::Action::kLearnHam
                                                                    : eml::ModelStore::Action::kForget;
    eml::ModelStore::Outcome outcome;
    std::string error;
    int rc = st->store->Apply(s.tokens, eml::MessageDigest(s.raw), action, st->options, outcome, error);
    if (rc != 0) return _as_set_err(rc, "EmlBayesFilter: %s", error.c_str());
    std::shared_ptr<const eml::ModelStore::Snapshot> snap = st->store->Current();
    bb->Set(ASEML_BB_LEARN_RESULT, BB_TYPE_STRING, BB_FLAGS_RAW, eml::OutcomeName(outcome));
    if (snap->model) {
      bb->Set(ASEML_BB_LEARNED_SPAM, BB_TYPE_ULONG, BB_FLAGS_RAW, snap->model->messages(eml::Label::kSpam));
      bb->Set(ASEML_BB_LEARNED_HAM, BB_TYPE_ULONG, BB_FLAGS_RAW, snap->model->messages(eml::Label::kHam));
    }
    AS_TRACE(3, "EmlBayesFilter: %s message %016llx (%s)", verb == ASEML_VERB_FORGET ? "forget" : "learn",
             static_cast<unsigned long long>(eml::MessageDigest(s.raw)), eml::OutcomeName(outcome));
    return 0;
  }

  std::shared_ptr<const State> state_;
};

// ---------------------------------------------------------------------------
// Performer

class EmlVerdictPerformer : public EmlModule<CAPerformer> {
public:
  EmlVerdictPerformer() : EmlModule(kPerformer, {kHeaderFilter, kUrlFilter, kBayesFilter}) {}
  int ApplySharedSettings() override {
    return Settled(Guarded(kPerformer, [&]() -> int {
      double t = eml::kDefaultSpamThreshold, unsure = 0;
      if (!NumberSetting(this, "SpamThreshold", 0, 1, true, true, t) ||
          !NumberSetting(this, "UnsureThreshold", 0, 1, false, true, unsure))
        return -101;
      if (unsure > t)
        return _as_set_err(-101, "EmlVerdictPerformer: UnsureThreshold %g is above SpamThreshold %g", unsure, t);
      threshold_ = t;
      unsure_ = unsure;
      return 0;
    }));
  }
  // The filters before it need the token level; asking for the same one
  // spares a level change.
  int GetBreakerIndex(uint32_t) override { return 4; }
  int PerformItem(uint64_t, ASItem* item, uint32_t verb) override {
    return Guarded(kPerformer, [&]() -> int {
      if (int rc = CheckSettled()) return rc;
      EmlStream* s = StreamOf(item);
      CBlackBox* bb = item ? item->current_bb : nullptr;
      if (!s || !bb) return _as_set_err(-101, "EmlVerdictPerformer: no mail stream or black box");
      bb->Set(ASEML_BB_ANOMALIES, BB_TYPE_INT, BB_FLAGS_RAW, static_cast<int>(s->msg.anomalies));
      bb->Set(ASEML_BB_TOKEN_COUNT, BB_TYPE_INT, BB_FLAGS_RAW, static_cast<int>(s->tokens.size()));
      bb->Set(ASEML_BB_URLS, BB_TYPE_INT, BB_FLAGS_RAW, static_cast<int>(s->text.urls.size()));
      if (verb == ASEML_VERB_PARSE) return 0;
      SetDouble(bb, ASEML_BB_THRESHOLD, threshold_);
      if (IsEmpty(s->msg)) {
        SetDouble(bb, ASEML_BB_SCORE, 0.0);
        bb->Set(ASEML_BB_VERDICT, BB_TYPE_INT, BB_FLAGS_RAW, 2);
        bb->Set(ASEML_BB_VERDICT_TEXT, BB_TYPE_STRING, BB_FLAGS_RAW, "empty");
        return 0;
      }
      // A calibrated model's log-odds stand for the whole message and already
      // weigh what the header rules look at; the Bayes score gets the header
      // rules added.
      double token = GetDouble(bb, ASEML_BB_TOKEN_LOGODDS, std::nan(""));
      double header = GetDouble(bb, ASEML_BB_HEADER_SCORE, 0);
      if (std::isnan(token)) token = eml::BayesLogOdds(GetDouble(bb, ASEML_BB_BAYES_SCORE, 0.5));
      else header = 0;
      double score = eml::CombineLogOdds(token, header, GetDouble(bb, ASEML_BB_LIST_SCORE, 0));
      int verdict = score >= threshold_ ? 1 : unsure_ > 0 && score >= unsure_ ? 3 : 0;
      const char* text = verdict == 1 ? "spam" : verdict == 3 ? "unsure" : "ham";
      SetDouble(bb, ASEML_BB_SCORE, score);
      bb->Set(ASEML_BB_VERDICT, BB_TYPE_INT, BB_FLAGS_RAW, verdict);
      bb->Set(ASEML_BB_VERDICT_TEXT, BB_TYPE_STRING, BB_FLAGS_RAW, text);
      return 0;
    });
  }

private:
  double threshold_ = eml::kDefaultSpamThreshold;
  double unsure_ = 0;  // 0: no unsure band
};

// ---------------------------------------------------------------------------
// Dispatcher

class EmlDispatcher : public EmlModule<CADispatcher> {
public:
  EmlDispatcher()
      : EmlModule("EmlDispatcher", {"EmlStreamer", "EmlBreaker", kHeaderFilter, kUrlFilter, kBayesFilter, kPerformer}) {}
  uint32_t GetEntityType() override { return ASEML_ENTITY_MAIL; }

  int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* mgr) override {
    return Guarded("EmlDispatcher", [&]() -> int {
      if (!item || !mgr) return _as_set_err(-101, "EmlDispatcher: no item or dispatch manager");
      if (!item->current_bb) return _as_set_err(-101, "EmlDispatcher: no black box for the results");
      if (verb == ASEML_VERB_LEARN_SPAM || verb == ASEML_VERB_LEARN_HAM || verb == ASEML_VERB_FORGET) {
        int rc = mgr->PassToFilter(session, ascommon::sstring(kBayesFilter), item, verb, nullptr);
        if (_as_get_err()->GetCode() != 0) return _as_get_err()->GetCode();
        if (rc == AS_DISP_FILTER_NOT_FOUND) return _as_set_err(-104, "EmlDispatcher: cannot learn: %s is not loaded", kBayesFilter);
        if (rc != AS_DISP_FILTER_PASSED)
          return _as_set_err(-101, "EmlDispatcher: cannot learn: %s is off on this session (disabled, or its settings were refused)", kBayesFilter);
        return 0;
      }
      if (verb != ASEML_VERB_SCAN && verb != ASEML_VERB_PARSE)
        return _as_set_err(-101, "EmlDispatcher: unknown verb %u", verb);
      if (verb == ASEML_VERB_SCAN) {
        static const char* const kFilters[] = {kHeaderFilter, kUrlFilter, kBayesFilter};
        for (const char* name : kFilters) {
          int rc = mgr->PassToFilter(session, ascommon::sstring(name), item, verb, nullptr);
          if (rc == AS_DISP_FILTER_NOT_FOUND) AS_TRACE(3, "EmlDispatcher: filter %s is not loaded", name);
          if (_as_get_err()->GetCode() != 0) return _as_get_err()->GetCode();  // the filter failed
        }
      }
      int rc = mgr->PassToPerformer(session, ascommon::sstring(kPerformer), item, verb);
      if (rc == AS_DISP_NOT_FOUND) return _as_set_err(-104, "EmlDispatcher: performer %s is not loaded", kPerformer);
      return rc;
    });
  }
  int DispatchCommand(uint64_t, uint32_t verb, CBlackBox*, CADispManager*) override {
    return _as_set_err(-101, "EmlDispatcher: no command %u", verb);
  }
};

const ascore_sdk::ModuleEntry kModules[] = {
    {"EmlStreamer", &ascore_sdk::Create<EmlStreamer>},
    {"EmlBreaker", &ascore_sdk::Create<EmlBreaker>},
    {"EmlDispatcher", &ascore_sdk::Create<EmlDispatcher>},
    {"EmlHeaderFilter", &ascore_sdk::Create<EmlHeaderFilter>},
    {"EmlUrlFilter", &ascore_sdk::Create<EmlUrlFilter>},
    {"EmlBayesFilter", &ascore_sdk::Create<EmlBayesFilter>},
    {"EmlVerdictPerformer", &ascore_sdk::Create<EmlVerdictPerformer>},
};

}  // namespace

ASCORE_PLUGIN_MODULES(kModules)
