// linear.h - the online logistic-regression token model.
//
// A message is a set of binary features: the tokenizer's tokens and the byte
// 4-grams of its first few thousand bytes (TokenSet::grams). Each feature
// hashes to one slot of a table of 2^table_bits weights; the message's
// log-odds of being spam is the sum of its slots' weights plus a bias.
// Learning one message is one step of gradient ascent on the log-likelihood:
// every slot of the message and the bias move by the same amount,
// rate * (label - p), where p is the model's current spam probability.
//
// Weights are fixed-point integers (1/65536 units), and the model keeps, per
// learned message (keyed by the digest of its bytes), the total step it
// applied. Forgetting subtracts exactly that step from the same slots, so
// learn then forget restores every weight bit for bit, whatever was learned
// in between: integer sums do not depend on order the way floating-point sums
// do. Slot arithmetic wraps modulo 2^32 so that this holds even at extremes
// no real training reaches (a slot would need tens of thousands of units).
//
// Thread safety: const members may run in any number of threads at once;
// the others need exclusive access.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "large_alloc.h"
#include "tokens.h"

namespace eml {

// The feature hashes of a message: its tokens, then its raw bytes' grams
// (each list is unique, and the two never share a hash: grams are tagged).
void LinearFeatures(const TokenSet& tokens, std::vector<uint64_t>& out);
// One view of them: the tokens and the raw bytes' grams (what a model with
// one linear model weighs), the tokens alone, the raw bytes' grams alone, or
// the decoded text's grams alone.
enum class FeatureView { kAll, kTokens, kGrams, kTextGrams };
void LinearFeatures(const TokenSet& tokens, FeatureView view, std::vector<uint64_t>& out);

struct LinearParams {
  double rate = 0.02;   // size of one gradient step
  unsigned passes = 1;  // passes over the training mail when training from folders
};

class LinearModel {
 public:
  static constexpr int kScaleBits = 16;
  static constexpr unsigned kMinTableBits = 10, kMaxTableBits = 26;
  static constexpr unsigned kDefaultTableBits = 20;

  explicit LinearModel(unsigned table_bits = kDefaultTableBits);

  // Log-odds that the message is spam (0 for an empty model).
  double Margin(const std::vector<uint64_t>& features) const;
  // Normalised: every feature of a message with n features (and the bias)
  // counts 1/sqrt(n), so each message's vector has length about 1 and a long
  // message weighs no more than a short one, in its score as in its steps.
  bool normalized() const { return normalized_; }
  void set_normalized(bool on) { normalized_ = on; }
  // The same for LinearFeatures(tokens, view), without building the list.
  double Margin(const TokenSet& tokens, FeatureView view = FeatureView::kAll) const;

  // One gradient step for the message labelled `spam`, added to its record
  // (created if needed). Returns the step in fixed-point units.
  int32_t Step(uint64_t digest, const std::vector<uint64_t>& features, bool spam, double rate);
  // The same with the spam probability `p` given (a user's correction steps
  // by the fused model's probability: see fused.h).
  int32_t StepAt(uint64_t digest, const std::vector<uint64_t>& features, bool spam, double rate, double p);
  // Undoes every step recorded for the message; false if there is none.
  bool Forget(uint64_t digest, const std::vector<uint64_t>& features);
  bool Known(uint64_t digest) const { return steps_.count(digest) != 0; }

  unsigned table_bits() const { return bits_; }
  size_t records() const { return steps_.size(); }
  size_t nonzero_weights() const;
  // Exact comparison of weights, bias and records.
  bool SameState(const LinearModel& o) const;

  void Save(std::string& out) const;
  // Reads what Save wrote from the front of `in`, advancing it; on failure
  // the model is empty and `error` says why.
  bool Load(std::string_view& in, std::string& error);

 private:
  void Apply(const std::vector<uint64_t>& features, uint32_t step);
  size_t Slot(uint64_t h) const { return static_cast<size_t>(h >> (64 - bits_)); }

  double Scale(size_t n) const { return normalized_ && n ? 1.0 / std::sqrt(static_cast<double>(n)) : 1.0; }

  unsigned bits_;
  bool normalized_ = false;
  std::vector<uint32_t, LargeAllocator<uint32_t>> w_;  // two's-complement fixed-point weights; empty while all are 0
  uint32_t bias_ = 0;
  std::unordered_map<uint64_t, uint32_t> steps_;  // digest -> total step (wrapping)
};

}  // namespace eml
