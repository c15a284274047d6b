// bayes.h - the count-based token model (Robinson's f(w), Fisher combining).
//
// Each token's spam probability follows Robinson's f(w): the ratio of its
// relative frequencies in spam and ham, pulled toward the prior x with
// strength s so rare tokens count little. The tokens that stand out by at
// least min_dev from 0.5 are combined with Fisher's method: H and S are the
// chi-square survival values of -2*sum(ln f) and -2*sum(ln(1-f)) with 2n
// degrees of freedom. The score compares the two in log space: the log of
// how much less likely the tokens are under "ham" than under "spam", mapped
// to [0, 1]; the classic (1 + S - H) / 2 is kept as an option.
//
// The model is a flat open-addressing table of slots holding a 64-bit token
// hash and its spam and ham message counts (one cache line answers a
// look-up). A hash's home slot grows with its value, so the sorted entries of
// a model file fill the table front to back when it is read. The table is
// read-only while scanning, so any number of threads may classify against
// one model at once; learning is not thread-safe.
//
// The payload in the model file (model.h), little-endian: u64 spam messages,
// u64 ham messages, u64 entry count, then the entries sorted by hash (u64
// hash, u32 spam count, u32 ham count). Counts are exact, so Forget undoes
// Learn exactly (unless a count reached 2^32 - 1, where it saturates).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "large_alloc.h"
#include "model.h"
#include "tokens.h"

namespace eml {

struct BayesToken {
  std::string text;
  double prob;  // f(w)
};

struct BayesResult {
  double score = 0.5;     // see BayesParams::ratio_scale
  double hamminess = 0;   // 1 - Q(-2 sum ln f): evidence for ham
  double spamminess = 0;  // 1 - Q(-2 sum ln(1-f)): evidence for spam
  // ln Q(-2 sum ln f) - ln Q(-2 sum ln(1-f)): how much more surprising the
  // tokens are under "this is ham" than under "this is spam", in log units.
  // Unlike the score it does not saturate when both tests are extreme.
  double log_ratio = 0;
  size_t used = 0;        // tokens that entered the combination
  std::vector<BayesToken> top;  // the most decisive tokens, strongest first
};

class BayesModel : public TokenModel {
 public:
  struct Counts {
    uint32_t spam = 0;
    uint32_t ham = 0;
  };

  // Counts every token of one message once.
  void Learn(const TokenSet& tokens, bool spam);
  // Takes one message's counts back out.
  void Forget(const TokenSet& tokens, bool spam);

  uint32_t kind() const override { return kModelBayes; }
  uint32_t payload_version() const override { return 1; }
  std::unique_ptr<TokenModel> Clone() const override { return std::make_unique<BayesModel>(*this); }
  uint64_t messages(Label l) const override { return l == Label::kSpam ? nspam_ : nham_; }
  ModelScore Score(const TokenSet& tokens, const ScoreOptions& opt) const override;
  void Learn(const TokenSet& tokens, uint64_t, Label label, const ScoreOptions&) override {
    Learn(tokens, label == Label::kSpam);
  }
  void Forget(const TokenSet& tokens, uint64_t, Label label) override { Forget(tokens, label == Label::kSpam); }
  void SavePayload(std::string& out) const override;
  bool LoadPayload(std::string_view payload, std::string& error) override;

  Counts Lookup(uint64_t hash) const;
  uint64_t spam_messages() const { return nspam_; }
  uint64_t ham_messages() const { return nham_; }
  size_t size() const { return used_; }
  bool empty() const { return nspam_ == 0 || nham_ == 0; }

  // f(w) for counts b (spam) and g (ham).
  double TokenProbability(Counts c, const BayesParams& p) const;

  BayesResult Classify(const TokenSet& tokens, const BayesParams& p, size_t top_n = 0) const;

 private:
  struct Slot {
    uint64_t key = 0;  // 0: empty
    Counts counts;
  };

  void Insert(uint64_t hash, Counts add);
  void Subtract(uint64_t hash, Counts sub);
  void Reserve(size_t entries);
  size_t Home(uint64_t hash) const {
    return static_cast<size_t>((static_cast<unsigned __int128>(hash) * slots_.size()) >> 64);
  }
  size_t Next(size_t i) const { return i + 1 == slots_.size() ? 0 : i + 1; }

  std::vector<Slot, LargeAllocator<Slot>> slots_;
  size_t used_ = 0;
  uint64_t nspam_ = 0;
  uint64_t nham_ = 0;
};

// Survival function of the chi-square distribution with `dof` (even)
// degrees of freedom at `x2`.
double ChiSquareQ(double x2, unsigned dof);
// Natural logarithm of ChiSquareQ, accurate where the value underflows.
double ChiSquareLogQ(double x2, unsigned dof);

}  // namespace eml
