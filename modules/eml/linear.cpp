// linear.cpp - the online logistic-regression token model.
#include "linear.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "binio.h"

namespace eml {
namespace {

using binio::Get;
using binio::Put;

const double kScale = static_cast<double>(1 << LinearModel::kScaleBits);
// Refuse absurd records before allocating for them.
const uint64_t kMaxRecords = 1ull << 26;

inline int32_t AsSigned(uint32_t v) {
  int32_t s;
  std::memcpy(&s, &v, sizeof s);
  return s;
}

}  // namespace

void LinearFeatures(const TokenSet& tokens, std::vector<uint64_t>& out) {
  LinearFeatures(tokens, FeatureView::kAll, out);
}

namespace {

// The tokens and grams a view takes: tokens [0, *nt), grams [*g0, *g1).
// kAll leaves out the decoded text's grams: a model of one linear model was
// trained without them, and must score as it was trained.
void ViewRange(const TokenSet& tokens, FeatureView view, size_t* nt, size_t* g0, size_t* g1) {
  const size_t raw = tokens.raw_grams(), all = tokens.grams().size();
  *nt = view == FeatureView::kAll || view == FeatureView::kTokens ? tokens.size() : 0;
  *g0 = view == FeatureView::kTextGrams ? raw : 0;
  *g1 = view == FeatureView::kTextGrams ? all : view == FeatureView::kTokens ? 0 : raw;
}

}  // namespace

void LinearFeatures(const TokenSet& tokens, FeatureView view, std::vector<uint64_t>& out) {
  size_t nt = 0, g0 = 0, g1 = 0;
  ViewRange(tokens, view, &nt, &g0, &g1);
  out.clear();
  out.reserve(nt + g1 - g0);
  for (size_t i = 0; i < nt; ++i) out.push_back(tokens.tokens()[i].hash);
  out.insert(out.end(), tokens.grams().begin() + static_cast<long>(g0), tokens.grams().begin() + static_cast<long>(g1));
}

LinearModel::LinearModel(unsigned table_bits)
    : bits_(std::min(std::max(table_bits, kMinTableBits), kMaxTableBits)) {}

double LinearModel::Margin(const std::vector<uint64_t>& features) const {
  int64_t sum = AsSigned(bias_);
  if (!w_.empty())
    for (uint64_t h : features) sum += AsSigned(w_[Slot(h)]);
  return static_cast<double>(sum) / kScale * Scale(features.size());
}

double LinearModel::Margin(const TokenSet& tokens, FeatureView view) const {
  size_t nt = 0, g0 = 0, g1 = 0;
  ViewRange(tokens, view, &nt, &g0, &g1);
  const Token* ts = tokens.tokens().data();
  const uint64_t* gs = tokens.grams().data() + g0;
  const size_t ng = g1 - g0;
  int64_t sum = AsSigned(bias_);
  if (!w_.empty()) {
    // A miss per feature in a table of megabytes: ask for the weights a few
    // features ahead.
    const size_t ahead = 8;
    for (size_t i = 0; i < nt; ++i) {
      if (i + ahead < nt) __builtin_prefetch(&w_[Slot(ts[i + ahead].hash)]);
      else if (i + ahead - nt < ng) __builtin_prefetch(&w_[Slot(gs[i + ahead - nt])]);
      sum += AsSigned(w_[Slot(ts[i].hash)]);
    }
    for (size_t i = 0; i < ng; ++i) {
      if (i + ahead < ng) __builtin_prefetch(&w_[Slot(gs[i + ahead])]);
      sum += AsSigned(w_[Slot(gs[i])]);
    }
  }
  return static_cast<double>(sum) / kScale * Scale(nt + ng);
}

void LinearModel::Apply(const std::vector<uint64_t>& features, uint32_t step) {
  if (w_.empty()) w_.assign(size_t(1) << bits_, 0);
  bias_ += step;
  for (uint64_t h : features) w_[Slot(h)] += step;
}

int32_t LinearModel::Step(uint64_t digest, const std::vector<uint64_t>& features, bool spam, double rate) {
  return StepAt(digest, features, spam, rate, 1.0 / (1.0 + std::exp(-Margin(features))));
}

int32_t LinearModel::StepAt(uint64_t digest, const std::vector<uint64_t>& features, bool spam, double rate,
                            double p) {
  int32_t step =
      static_cast<int32_t>(std::lround(rate * ((spam ? 1.0 : 0.0) - p) * Scale(features.size()) * kScale));
  Apply(features, static_cast<uint32_t>(step));
  steps_[digest] += static_cast<uint32_t>(step);
  return step;
}

bool LinearModel::Forget(uint64_t digest, const std::vector<uint64_t>& features) {
  auto it = steps_.find(digest);
  if (it == steps_.end()) return false;
  Apply(features, 0u - it->second);
  steps_.erase(it);
  return true;
}

size_t LinearModel::nonzero_weights() const {
  return static_cast<size_t>(std::count_if(w_.begin(), w_.end(), [](uint32_t v) { return v != 0; }));
}

bool LinearModel::SameState(const LinearModel& o) const {
  if (bits_ != o.bits_ || normalized_ != o.normalized_ || bias_ != o.bias_ || steps_ != o.steps_) return false;
  if (w_.empty() || o.w_.empty()) return nonzero_weights() == 0 && o.nonzero_weights() == 0;
  return w_ == o.w_;
}

// Layout: u32 table bits, u32 bias, u64 non-zero weights, u64 records, then
// the weights (u32 slot ascending, u32 value), then the records (u64 digest
// ascending, u32 step).
void LinearModel::Save(std::string& out) const {
  size_t nz = nonzero_weights();
  std::vector<std::pair<uint64_t, uint32_t>> recs(steps_.begin(), steps_.end());
  std::sort(recs.begin(), recs.end());
  out.reserve(out.size() + 24 + nz * 8 + recs.size() * 12);
  Put(out, bits_, 4);
  Put(out, bias_, 4);
  Put(out, nz, 8);
  Put(out, recs.size(), 8);
  for (size_t i = 0; i < w_.size(); ++i) {
    if (!w_[i]) continue;
    Put(out, i, 4);
    Put(out, w_[i], 4);
  }
  for (const auto& r : recs) {
    Put(out, r.first, 8);
    Put(out, r.second, 4);
  }
}

bool LinearModel::Load(std::string_view& in, std::string& error) {
  decltype(w_)().swap(w_);
  bias_ = 0;
  steps_.clear();
  if (in.size() < 24) {
    error = "linear model truncated";
    return false;
  }
  uint64_t bits = Get(in.data(), 4), nz = Get(in.data() + 8, 8), nrec = Get(in.data() + 16, 8);
  if (bits < kMinTableBits || bits > kMaxTableBits || nz > (1ull << bits) || nrec > kMaxRecords ||
      in.size() - 24 < nz * 8 + nrec * 12) {
    error = "linear model size does not match its header";
    return false;
  }
  LinearModel m(static_cast<unsigned>(bits));
  m.bias_ = static_cast<uint32_t>(Get(in.data() + 4, 4));
  if (nz) m.w_.assign(size_t(1) << m.bits_, 0);
  const char* p = in.data() + 24;
  for (uint64_t i = 0; i < nz; ++i, p += 8) {
    uint64_t slot = Get(p, 4);
    uint32_t v = static_cast<uint32_t>(Get(p + 4, 4));
    if (slot >= m.w_.size() || m.w_[slot] || !v) {
      error = "linear model weights out of order";
      return false;
    }
    m.w_[slot] = v;
  }
  m.steps_.reserve(nrec);
  for (uint64_t i = 0; i < nrec; ++i, p += 12) {
    if (!m.steps_.emplace(Get(p, 8), static_cast<uint32_t>(Get(p + 8, 4))).second) {
      error = "linear model has two records for one message";
      return false;
    }
  }
  in.remove_prefix(static_cast<size_t>(p - in.data()));
  *this = std::move(m);
  return true;
}

}  // namespace eml
