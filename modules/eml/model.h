// model.h - the token model behind EmlBayesFilter, and the model file.
//
// A token model scores a message's features and learns from labelled
// messages. Every model kind implements TokenModel; the file format, the
// record of which messages were learned with which label, locking and
// reloading are common to all kinds and live outside the model (this file
// and model_store.h).
//
// Model file, little-endian:
//   "ASEMLMDL", u32 format version (2), u32 model kind, u32 payload version,
//   u32 reserved (0), u64 learned-message count, u64 payload length,
//   the learned messages sorted by digest (u64 digest, u32 label, u32 0),
//   the payload (the model kind's own bytes), then a u64 checksum (binio.h) of
//   all preceding bytes.
// A file that fails any check is refused as a whole, with a message that
// says which check failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tokens.h"

namespace eml {

enum class Label : uint8_t { kHam = 0, kSpam = 1 };

inline const char* LabelName(Label l) { return l == Label::kSpam ? "spam" : "ham"; }

// Settings of the count-based model (BayesModel). Defaults chosen by
// cross-validation on the training mail, folds taken as contiguous runs in
// arrival order so the held-out mail is newer than most of what the model
// learned from.
struct BayesParams {
  double s = 0.2;         // strength of the prior
  double x = 0.5;         // prior probability of an unknown token
  double min_dev = 0.1;   // tokens closer than this to 0.5 are ignored
  size_t max_tokens = 15; // keep only the most extreme N tokens; 0 = all
  uint32_t min_count = 1; // tokens seen in fewer training messages are ignored
  // > 0: score = logistic(log_ratio / ratio_scale); 0: the classic
  // (1 + S - H) / 2, which sits at 0.5 whenever both tests saturate.
  double ratio_scale = 10;
};

// How a host wants a message scored: the settings of each model kind (a
// kind reads only its own) and how many deciding features to report.
struct ScoreOptions {
  BayesParams bayes;
  size_t top = 0;
};

// One feature that weighed in a score, and what the model made of it (for
// the count-based model, the token's spam probability f(w)).
struct Evidence {
  std::string text;
  double value;
};

struct ModelScore {
  double score = 0.5;          // 0 surely ham .. 1 surely spam
  size_t used = 0;             // features that entered the score
  std::vector<Evidence> top;   // the most decisive features, strongest first
  // Models calibrated for the verdict give their evidence in log-odds on its
  // scale (CombineLogOdds in rules.h); the others leave has_log_odds false
  // and the verdict derives it from `score`.
  bool has_log_odds = false;
  double log_odds = 0;
};

// Model kinds, as written in the model file.
const uint32_t kModelBayes = 1;
const uint32_t kModelFused = 2;  // FusedModel (fused.h)
const uint32_t kDefaultModelKind = kModelFused;

// The interface every model kind implements. Scoring is const and may run in
// any number of threads at once; Learn and Forget change the model and need
// exclusive use (ModelStore applies them to a copy and swaps it in).
class TokenModel {
 public:
  virtual ~TokenModel() = default;

  virtual uint32_t kind() const = 0;
  // Version of the payload layout of this kind; a file with another one is
  // refused.
  virtual uint32_t payload_version() const = 0;
  virtual std::unique_ptr<TokenModel> Clone() const = 0;

  // Messages learned with each label and not forgotten.
  virtual uint64_t messages(Label label) const = 0;

  virtual ModelScore Score(const TokenSet& tokens, const ScoreOptions& opt) const = 0;

  // Learns one message. `digest` (MessageDigest of its bytes) names the
  // message, for models that keep something per message; `opt` is what
  // scans use, for models that learn until the message scores right.
  virtual void Learn(const TokenSet& tokens, uint64_t digest, Label label, const ScoreOptions& opt) = 0;
  // Undoes an earlier Learn with the same tokens, digest and label, exactly:
  // the model afterwards scores and saves as if that Learn never happened.
  // The caller guarantees that the Learn happened (ModelStore keeps the
  // record); Forget of something never learned is undefined.
  virtual void Forget(const TokenSet& tokens, uint64_t digest, Label label) = 0;

  // Appends the payload bytes.
  virtual void SavePayload(std::string& out) const = 0;
  // Replaces the model with the payload (of this kind and payload_version());
  // on failure the model is empty and `error` says what is wrong.
  virtual bool LoadPayload(std::string_view payload, std::string& error) = 0;
};

// A new empty model of `kind`; null when this build has no such kind.
std::unique_ptr<TokenModel> NewModel(uint32_t kind = kDefaultModelKind);

// Which messages the model has learned, and with which label.
class LearnedMessages {
 public:
  struct Entry {
    uint64_t digest;
    Label label;
  };
  // The label `digest` was learned with; false when it was never learned (or
  // was forgotten).
  bool Find(uint64_t digest, Label& label) const;
  void Set(uint64_t digest, Label label);
  void Erase(uint64_t digest);
  const std::vector<Entry>& entries() const { return entries_; }
  size_t size() const { return entries_.size(); }

 private:
  std::vector<Entry> entries_;  // sorted by digest, unique
};

// Everything a model file holds.
struct ModelData {
  std::unique_ptr<TokenModel> model;
  LearnedMessages learned;
};

std::string SerializeModelFile(const TokenModel& model, const LearnedMessages& learned);
// Fills `out` from the bytes of a model file; false with `error` set (and
// `out` unchanged) when any check fails.
bool ParseModelFile(std::string_view data, ModelData& out, std::string& error);

// Names a message for the learned-message record: a 64-bit hash of its bytes
// with a leading mbox "From " line, carriage returns before line feeds and
// trailing white space left out, so the same message read from an mbox, a
// Maildir file or an SMTP buffer gets the same digest. Never 0.
uint64_t MessageDigest(std::string_view raw);

}  // namespace eml
