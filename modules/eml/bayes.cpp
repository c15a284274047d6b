// bayes.cpp - the count-based token model.
#include "bayes.h"

#include <algorithm>
#include <cmath>

namespace eml {
namespace {

const size_t kPayloadHeader = 8 + 8 + 8;
const size_t kEntryBytes = 16;
// Refuse absurd payloads before allocating for them.
const uint64_t kMaxEntries = 1ull << 28;

void Put(std::string& s, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint64_t Get(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace

double ChiSquareQ(double x2, unsigned dof) {
  if (x2 <= 0 || dof < 2) return 1.0;
  double m = x2 / 2.0;
  // sum_{i < dof/2} e^-m m^i / i!, computed in log space so large m does not
  // underflow before the terms are added.
  double log_term = -m;
  double sum = std::exp(log_term);
  double lm = std::log(m);
  for (unsigned i = 1; i < dof / 2; ++i) {
    log_term += lm - std::log(static_cast<double>(i));
    sum += std::exp(log_term);
  }
  return std::min(sum, 1.0);
}

double ChiSquareLogQ(double x2, unsigned dof) {
  if (x2 <= 0 || dof < 2) return 0.0;
  double m = x2 / 2.0;
  // log sum_{i < dof/2} e^-m m^i / i! = -m + log sum exp(t_i), with the
  // largest t_i factored out.
  double lm = std::log(m);
  unsigned k = dof / 2;
  double t = 0, best = 0;
  for (unsigned i = 1; i < k; ++i) {
    t += lm - std::log(static_cast<double>(i));
    best = std::max(best, t);
  }
  double sum = std::exp(-best);
  t = 0;
  for (unsigned i = 1; i < k; ++i) {
    t += lm - std::log(static_cast<double>(i));
    sum += std::exp(t - best);
  }
  return std::min(0.0, -m + best + std::log(sum));
}

// At most 3/4 of the slots are used; growing rebuilds the table at twice the
// entries it holds.
void BayesModel::Reserve(size_t entries) {
  size_t want = std::max<size_t>(1024, entries + entries / 3 + 1);
  if (want <= slots_.size()) return;
  std::vector<Slot, LargeAllocator<Slot>> old;
  old.swap(slots_);
  slots_.assign(want, Slot());
  used_ = 0;
  for (const Slot& s : old)
    if (s.key) Insert(s.key, s.counts);
}

void BayesModel::Insert(uint64_t hash, Counts add) {
  if ((used_ + 1) * 4 > slots_.size() * 3) Reserve(2 * (used_ + 1));
  size_t i = Home(hash);
  while (slots_[i].key && slots_[i].key != hash) i = Next(i);
  Slot& s = slots_[i];
  if (!s.key) {
    s.key = hash;
    ++used_;
  }
  uint64_t sp = static_cast<uint64_t>(s.counts.spam) + add.spam;
  uint64_t h = static_cast<uint64_t>(s.counts.ham) + add.ham;
  s.counts.spam = static_cast<uint32_t>(std::min<uint64_t>(sp, UINT32_MAX));
  s.counts.ham = static_cast<uint32_t>(std::min<uint64_t>(h, UINT32_MAX));
}

BayesModel::Counts BayesModel::Lookup(uint64_t hash) const {
  if (slots_.empty()) return Counts();
  for (size_t i = Home(hash); slots_[i].key; i = Next(i))
    if (slots_[i].key == hash) return slots_[i].counts;
  return Counts();
}

void BayesModel::Learn(const TokenSet& tokens, bool spam) {
  if (spam) ++nspam_;
  else ++nham_;
  Counts one;
  (spam ? one.spam : one.ham) = 1;
  for (const Token& t : tokens.tokens()) Insert(t.hash, one);
}

void BayesModel::Subtract(uint64_t hash, Counts sub) {
  if (slots_.empty()) return;
  size_t i = Home(hash);
  while (slots_[i].key != hash) {
    if (!slots_[i].key) return;
    i = Next(i);
  }
  Counts& c = slots_[i].counts;
  c.spam = c.spam > sub.spam ? c.spam - sub.spam : 0;
  c.ham = c.ham > sub.ham ? c.ham - sub.ham : 0;
  if (c.spam || c.ham) return;
  // Remove the slot and shift later members of its probe run back, so every
  // remaining key stays reachable without tombstones.
  slots_[i] = Slot();
  --used_;
  for (size_t j = Next(i); slots_[j].key; j = Next(j)) {
    size_t home = Home(slots_[j].key);
    // Move j into the hole when its home is not within (i, j] cyclically.
    bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    slots_[j] = Slot();
    i = j;
  }
}

void BayesModel::Forget(const TokenSet& tokens, bool spam) {
  uint64_t& n = spam ? nspam_ : nham_;
  if (n) --n;
  Counts one;
  (spam ? one.spam : one.ham) = 1;
  for (const Token& t : tokens.tokens()) Subtract(t.hash, one);
}

void BayesModel::SavePayload(std::string& out) const {
  std::vector<Slot> entries;
  entries.reserve(used_);
  for (const Slot& s : slots_)
    if (s.key) entries.push_back(s);
  std::sort(entries.begin(), entries.end(), [](const Slot& a, const Slot& b) { return a.key < b.key; });
  out.reserve(out.size() + kPayloadHeader + entries.size() * kEntryBytes);
  Put(out, nspam_, 8);
  Put(out, nham_, 8);
  Put(out, entries.size(), 8);
  for (const auto& e : entries) {
    Put(out, e.key, 8);
    Put(out, e.counts.spam, 4);
    Put(out, e.counts.ham, 4);
  }
}

bool BayesModel::LoadPayload(std::string_view d, std::string& error) {
  *this = BayesModel();
  if (d.size() < kPayloadHeader) {
    error = "Bayes model data too short";
    return false;
  }
  uint64_t nspam = Get(d.data(), 8), nham = Get(d.data() + 8, 8), count = Get(d.data() + 16, 8);
  if (count > kMaxEntries || d.size() != kPayloadHeader + count * kEntryBytes) {
    error = "Bayes model data size does not match its entry count";
    return false;
  }
  Reserve(static_cast<size_t>(count));
  const char* p = d.data() + kPayloadHeader;
  uint64_t prev = 0;
  for (uint64_t i = 0; i < count; ++i, p += kEntryBytes) {
    uint64_t h = Get(p, 8);
    Counts c{static_cast<uint32_t>(Get(p + 8, 4)), static_cast<uint32_t>(Get(p + 12, 4))};
    if (h == 0 || (i > 0 && h <= prev) || (c.spam == 0 && c.ham == 0)) {
      *this = BayesModel();
      error = "Bayes model entries are not sorted, repeated or empty";
      return false;
    }
    prev = h;
    Insert(h, c);
  }
  nspam_ = nspam;
  nham_ = nham;
  return true;
}

double BayesModel::TokenProbability(Counts c, const BayesParams& p) const {
  double n = static_cast<double>(c.spam) + c.ham;
  if (n == 0 || nspam_ == 0 || nham_ == 0) return p.x;
  double bad = static_cast<double>(c.spam) / static_cast<double>(nspam_);
  double good = static_cast<double>(c.ham) / static_cast<double>(nham_);
  double pw = bad / (bad + good);
  return (p.s * p.x + n * pw) / (p.s + n);
}

BayesResult BayesModel::Classify(const TokenSet& tokens, const BayesParams& p, size_t top_n) const {
  BayesResult r;
  if (empty()) return r;
  struct Scored {
    uint32_t index;
    double f;
  };
  std::vector<Scored> scored;
  scored.reserve(tokens.size());
  const auto& ts = tokens.tokens();
  // Each look-up is a miss in a table of megabytes: ask for the slots a few
  // tokens ahead.
  const size_t ahead = 8;
  for (size_t i = 0; i < ts.size() && i < ahead; ++i) __builtin_prefetch(&slots_[Home(ts[i].hash)]);
  for (size_t i = 0; i < ts.size(); ++i) {
    if (i + ahead < ts.size()) __builtin_prefetch(&slots_[Home(ts[i + ahead].hash)]);
    Counts c = Lookup(ts[i].hash);
    if (c.spam == 0 && c.ham == 0) continue;
    if (static_cast<uint64_t>(c.spam) + c.ham < p.min_count) continue;
    double f = TokenProbability(c, p);
    if (std::fabs(f - 0.5) < p.min_dev) continue;
    // Clamp so one token can never force ln(0).
    f = std::min(std::max(f, 1e-6), 1.0 - 1e-6);
    scored.push_back(Scored{static_cast<uint32_t>(i), f});
  }
  auto stronger = [](const Scored& a, const Scored& b) {
    double da = std::fabs(a.f - 0.5), db = std::fabs(b.f - 0.5);
    return da != db ? da > db : a.index < b.index;
  };
  if (p.max_tokens && scored.size() > p.max_tokens) {
    std::nth_element(scored.begin(), scored.begin() + static_cast<long>(p.max_tokens), scored.end(), stronger);
    scored.resize(p.max_tokens);
  }
  if (scored.empty()) return r;
  double ln_f = 0, ln_1f = 0;
  for (const Scored& s : scored) {
    ln_f += std::log(s.f);
    ln_1f += std::log(1.0 - s.f);
  }
  unsigned dof = static_cast<unsigned>(2 * scored.size());
  // Q(-2 sum ln f) stays near 1 when the tokens are spammy (all f near 1)
  // and falls toward 0 when they are hammy; Q(-2 sum ln(1-f)) mirrors it.
  double hq = ChiSquareQ(-2.0 * ln_f, dof);
  double sq = ChiSquareQ(-2.0 * ln_1f, dof);
  r.hamminess = 1.0 - hq;
  r.spamminess = 1.0 - sq;
  r.log_ratio = ChiSquareLogQ(-2.0 * ln_f, dof) - ChiSquareLogQ(-2.0 * ln_1f, dof);
  r.score = p.ratio_scale > 0 ? 1.0 / (1.0 + std::exp(-r.log_ratio / p.ratio_scale))
                              : (1.0 + r.spamminess - r.hamminess) / 2.0;
  r.used = scored.size();
  if (top_n) {
    size_t k = std::min(top_n, scored.size());
    std::partial_sort(scored.begin(), scored.begin() + static_cast<long>(k), scored.end(), stronger);
    for (size_t i = 0; i < k; ++i)
      r.top.push_back(BayesToken{std::string(tokens.Text(ts[scored[i].index])), scored[i].f});
  }
  return r;
}

ModelScore BayesModel::Score(const TokenSet& tokens, const ScoreOptions& opt) const {
  BayesResult r = Classify(tokens, opt.bayes, opt.top);
  ModelScore m;
  m.score = r.score;
  m.used = r.used;
  m.top.reserve(r.top.size());
  for (BayesToken& t : r.top) m.top.push_back(Evidence{std::move(t.text), t.prob});
  return m;
}

}  // namespace eml
