// eval_metrics.h - fold assignment and ranking figures of a filter evaluation.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace evalm {

inline uint64_t SplitMix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

// Stratified K-fold assignment: each class is shuffled with `seed` and dealt
// round-robin, so every fold holds the same share of spam (within one).
template <typename IsSpam>
std::vector<int> StratifiedFolds(size_t n, IsSpam is_spam, int k, uint64_t seed) {
  std::vector<int> fold(n, 0);
  for (int cls = 0; cls < 2; ++cls) {
    std::vector<size_t> idx;
    for (size_t i = 0; i < n; ++i)
      if (static_cast<int>(is_spam(i)) == cls) idx.push_back(i);
    uint64_t s = seed * 2 + static_cast<uint64_t>(cls);
    for (size_t i = idx.size(); i > 1; --i) std::swap(idx[i - 1], idx[SplitMix(s) % i]);
    for (size_t j = 0; j < idx.size(); ++j) fold[idx[j]] = static_cast<int>(j % static_cast<size_t>(k));
  }
  return fold;
}

struct Scored {
  double score;  // higher = more likely spam
  bool spam;
  char verdict = 0;  // 'S' spam, 'U' unsure, 'H' ham; 0 = none given
};

struct Metrics {
  size_t ham = 0, spam = 0;
  size_t false_pos = 0, caught = 0, unsure_ham = 0, unsure_spam = 0;
  bool verdicts = false;
  double one_minus_roca = 0;  // percent
  double caught_at_01 = 0;    // percent of spam above every ham but 0.1 %
  double caught_at_1 = 0;     // same at 1 %
};

// Share of spam scored above the (floor(rate * ham) + 1)-th highest ham.
inline double CaughtAt(const std::vector<double>& ham_desc, const std::vector<double>& spam_scores, double rate) {
  size_t k = static_cast<size_t>(rate * static_cast<double>(ham_desc.size()) + 1e-9);
  if (spam_scores.empty()) return 0;
  if (k >= ham_desc.size()) return 100.0;
  double t = ham_desc[k];
  size_t n = 0;
  for (double s : spam_scores) n += s > t;
  return 100.0 * static_cast<double>(n) / static_cast<double>(spam_scores.size());
}

inline Metrics Compute(std::vector<Scored> s) {
  Metrics m;
  std::vector<double> hs, ss;
  for (const Scored& x : s) {
    (x.spam ? ss : hs).push_back(x.score);
    if (!x.verdict) continue;
    m.verdicts = true;
    if (x.spam) {
      m.caught += x.verdict == 'S';
      m.unsure_spam += x.verdict == 'U';
    } else {
      m.false_pos += x.verdict == 'S';
      m.unsure_ham += x.verdict == 'U';
    }
  }
  m.ham = hs.size();
  m.spam = ss.size();
  if (hs.empty() || ss.empty()) return m;
  // Area under the ROC curve: the chance that a random spam outscores a
  // random ham, ties counted half.
  std::sort(s.begin(), s.end(), [](const Scored& a, const Scored& b) { return a.score < b.score; });
  double wins = 0;
  size_t hams_below = 0;
  for (size_t i = 0; i < s.size();) {
    size_t j = i, h = 0, sp = 0;
    while (j < s.size() && s[j].score == s[i].score) {
      (s[j].spam ? sp : h)++;
      ++j;
    }
    wins += static_cast<double>(sp) * (static_cast<double>(hams_below) + 0.5 * static_cast<double>(h));
    hams_below += h;
    i = j;
  }
  double auc = wins / (static_cast<double>(hs.size()) * static_cast<double>(ss.size()));
  m.one_minus_roca = 100.0 * (1.0 - auc);
  std::sort(hs.begin(), hs.end(), [](double a, double b) { return a > b; });
  m.caught_at_01 = CaughtAt(hs, ss, 0.001);
  m.caught_at_1 = CaughtAt(hs, ss, 0.01);
  return m;
}

inline std::string Format(const Metrics& m) {
  char b[320];
  int n = 0;
  if (m.verdicts)
    n = std::snprintf(b, sizeof b, "fp %zu/%zu, caught %zu/%zu (%.1f%%), unsure %zu ham %zu spam, ", m.false_pos,
                      m.ham, m.caught, m.spam, 100.0 * static_cast<double>(m.caught) / static_cast<double>(m.spam),
                      m.unsure_ham, m.unsure_spam);
  std::snprintf(b + n, sizeof b - static_cast<size_t>(n), "1-ROCA %.4f%%, caught at 0.1%% fpr %.1f%%, at 1%% %.1f%%",
                m.one_minus_roca, m.caught_at_01, m.caught_at_1);
  return b;
}

// "label: lo-hi" ranges over seeds of each figure.
inline std::string FormatRange(const std::string& label, const std::vector<Metrics>& v) {
  if (v.empty()) return label + ": no data";
  auto range = [&](auto get, const char* fmt) {
    double lo = get(v[0]), hi = lo;
    for (const Metrics& m : v) {
      lo = std::min(lo, get(m));
      hi = std::max(hi, get(m));
    }
    char b[96];
    if (lo == hi) std::snprintf(b, sizeof b, fmt, lo);
    else {
      std::string f = std::string(fmt) + "-" + fmt;
      std::snprintf(b, sizeof b, f.c_str(), lo, hi);
    }
    return std::string(b);
  };
  std::string out = label + ":";
  if (v[0].verdicts) {
    out += " false positives " + range([](const Metrics& m) { return double(m.false_pos); }, "%.0f") + " of " +
           std::to_string(v[0].ham) + " ham;";
    out += " spam caught " +
           range([](const Metrics& m) { return 100.0 * double(m.caught) / double(m.spam); }, "%.1f") + " %;";
    out += " unsure " + range([](const Metrics& m) { return double(m.unsure_ham); }, "%.0f") + " ham, " +
           range([](const Metrics& m) { return double(m.unsure_spam); }, "%.0f") + " spam;";
  }
  out += " 1-ROCA " + range([](const Metrics& m) { return m.one_minus_roca; }, "%.4f") + " %;";
  out += " caught at <=0.1 % fpr " + range([](const Metrics& m) { return m.caught_at_01; }, "%.1f") + " %;";
  out += " at <=1 % " + range([](const Metrics& m) { return m.caught_at_1; }, "%.1f") + " %";
  return out;
}

}  // namespace evalm
