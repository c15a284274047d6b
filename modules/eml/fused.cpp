// fused.cpp - the linear model and the Bayes counts, fused by their log-odds.
#include "fused.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>

#include "binio.h"
#include "rules.h"

namespace eml {
namespace {

uint64_t SplitMix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

void PutDouble(std::string& out, double v) {
  uint64_t u;
  std::memcpy(&u, &v, 8);
  binio::Put(out, u, 8);
}

double GetDouble(const char* p) {
  uint64_t u = binio::Get(p, 8);
  double v;
  std::memcpy(&v, &u, 8);
  return v;
}

// Area above the ROC curve of scores z for labels y (ties count half).
double AreaAboveRoc(const std::vector<double>& z, const std::vector<bool>& y) {
  std::vector<size_t> idx(z.size());
  for (size_t i = 0; i < idx.size(); ++i) idx[i] = i;
  std::sort(idx.begin(), idx.end(), [&](size_t a, size_t b) { return z[a] < z[b]; });
  double wins = 0, ham_below = 0, nham = 0, nspam = 0;
  for (size_t i = 0; i < idx.size();) {
    size_t j = i;
    double h = 0, sp = 0;
    for (; j < idx.size() && z[idx[j]] == z[idx[i]]; ++j) (y[idx[j]] ? sp : h) += 1;
    wins += sp * (ham_below + 0.5 * h);
    ham_below += h;
    nham += h;
    nspam += sp;
    i = j;
  }
  return nham > 0 && nspam > 0 ? 1.0 - wins / (nham * nspam) : 0.0;
}

// The features of a training message, stored as the high halves of their
// hashes (the table slot uses only high bits), rebuilt for each step.
struct Compact {
  std::vector<uint32_t> high;
  void From(const TokenSet& t, FeatureView view, std::vector<uint64_t>& scratch) {
    LinearFeatures(t, view, scratch);
    high.resize(scratch.size());
    for (size_t i = 0; i < scratch.size(); ++i) high[i] = static_cast<uint32_t>(scratch[i] >> 32);
  }
  const std::vector<uint64_t>& To(std::vector<uint64_t>& scratch) const {
    scratch.resize(high.size());
    for (size_t i = 0; i < high.size(); ++i) scratch[i] = static_cast<uint64_t>(high[i]) << 32;
    return scratch;
  }
};

}  // namespace

std::vector<double> FitLogistic(const std::vector<std::vector<double>>& x, const std::vector<bool>& y, double ridge) {
  const size_t d = x.size() + 1;
  std::vector<double> w(d, 0.0);
  if (d > 1) w[0] = 1.0;
  std::vector<double> xi(d), dw(d), next(d);
  // The penalised log-likelihood, log(1 + e^-t) computed without overflow.
  auto objective = [&](const std::vector<double>& v) {
    double l = 0;
    for (size_t i = 0; i < y.size(); ++i) {
      double z = v[d - 1];
      for (size_t a = 0; a + 1 < d; ++a) z += v[a] * x[a][i];
      double t = y[i] ? z : -z;
      l -= t > 0 ? std::log1p(std::exp(-t)) : std::log1p(std::exp(t)) - t;
    }
    for (size_t a = 0; a + 1 < d; ++a) l -= 0.5 * ridge * v[a] * v[a];
    return l;
  };
  double current = objective(w);
  for (int it = 0; it < 50; ++it) {
    std::vector<std::vector<double>> m(d, std::vector<double>(d + 1, 0.0));
    for (size_t i = 0; i < y.size(); ++i) {
      double z = 0;
      for (size_t a = 0; a < d; ++a) {
        xi[a] = a + 1 < d ? x[a][i] : 1.0;
        z += w[a] * xi[a];
      }
      double p = 1.0 / (1.0 + std::exp(-z));
      double e = (y[i] ? 1.0 : 0.0) - p, v = std::max(p * (1 - p), 1e-12);
      for (size_t a = 0; a < d; ++a) {
        m[a][d] += e * xi[a];
        for (size_t b = 0; b < d; ++b) m[a][b] += v * xi[a] * xi[b];
      }
    }
    for (size_t a = 0; a + 1 < d; ++a) {
      m[a][d] -= ridge * w[a];
      m[a][a] += ridge;
    }
    m[d - 1][d - 1] += 1e-9;
    // Solve for the Newton step (Gauss-Jordan with partial pivoting).
    for (size_t c = 0; c < d; ++c) {
      size_t piv = c;
      for (size_t r = c + 1; r < d; ++r)
        if (std::fabs(m[r][c]) > std::fabs(m[piv][c])) piv = r;
      std::swap(m[c], m[piv]);
      if (std::fabs(m[c][c]) < 1e-15) return w;
      for (size_t r = 0; r < d; ++r) {
        if (r == c) continue;
        double f = m[r][c] / m[c][c];
        for (size_t k = c; k <= d; ++k) m[r][k] -= f * m[c][k];
      }
    }
    for (size_t a = 0; a < d; ++a) dw[a] = m[a][d] / m[a][a];
    // Halve the step until the objective rises.
    double t = 1.0, value = current;
    for (int half = 0; half < 40; ++half, t /= 2) {
      for (size_t a = 0; a < d; ++a) next[a] = w[a] + t * dw[a];
      value = objective(next);
      if (value >= current) break;
    }
    if (!(value >= current)) break;  // no step rises: at the optimum
    double step = 0;
    for (size_t a = 0; a < d; ++a) step = std::max(step, std::fabs(next[a] - w[a]));
    w = next;
    current = value;
    if (step < 1e-7) break;
  }
  return w;
}

FusedScore FusedModel::Evaluate(const TokenSet& tokens, const BayesParams& bp, size_t top_n) const {
  FusedScore r;
  if (split_) {
    r.linear = linear_.Margin(tokens, FeatureView::kTokens);
    r.grams = grams_.Margin(tokens, FeatureView::kGrams);
    if (text_on_) r.text = text_.Margin(tokens, FeatureView::kTextGrams);
  } else {
    r.linear = linear_.Margin(tokens);
  }
  r.bayes = bayes_.Classify(tokens, bp, top_n);
  r.z = Z(r.linear, r.bayes.log_ratio, r.grams, r.text);
  r.score = 1.0 / (1.0 + std::exp(-r.z));
  r.verdict_log_odds = r.z + std::log(kDefaultSpamThreshold / (1.0 - kDefaultSpamThreshold));
  return r;
}

ModelScore FusedModel::Score(const TokenSet& tokens, const ScoreOptions& opt) const {
  FusedScore f = Evaluate(tokens, opt.bayes, opt.top);
  ModelScore r;
  r.score = f.score;
  r.used = tokens.size() + tokens.grams().size();
  for (BayesToken& t : f.bayes.top) r.top.push_back(Evidence{std::move(t.text), t.prob});
  r.has_log_odds = true;
  r.log_odds = f.verdict_log_odds;
  return r;
}

int FusedModel::Parts(LinearModel* model[3], FeatureView view[3]) {
  int n = 0;
  model[n] = &linear_;
  view[n++] = split_ ? FeatureView::kTokens : FeatureView::kAll;
  if (split_) {
    model[n] = &grams_;
    view[n++] = FeatureView::kGrams;
  }
  if (split_ && text_on_) {
    model[n] = &text_;
    view[n++] = FeatureView::kTextGrams;
  }
  return n;
}

void FusedModel::Learn(const TokenSet& tokens, uint64_t digest, bool spam, const BayesParams& bp) {
  bayes_.Learn(tokens, spam);
  double bayes_ratio = bayes_.Classify(tokens, bp).log_ratio;
  LinearModel* model[3];
  FeatureView view[3];
  const int n = Parts(model, view);
  std::vector<uint64_t> f[3];
  for (int i = 0; i < n; ++i) LinearFeatures(tokens, view[i], f[i]);
  auto z = [&] {
    double m[3] = {0, 0, 0};
    for (int i = 0; i < n; ++i) m[i] = model[i]->Margin(f[i]);
    return Z(m[0], bayes_ratio, m[1], m[2]);
  };
  // At least one step, so that every learned message has a record.
  // Each step is sized by the fused probability, which the message must
  // move, not a linear model's own (already sure once the Bayes counts or
  // the intercept are what holds the message on the wrong side).
  double now = z();
  for (unsigned step = 0; step < kMaxLearnSteps; ++step) {
    const double p = 1.0 / (1.0 + std::exp(-now));
    for (int i = 0; i < n; ++i) model[i]->StepAt(digest, f[i], spam, params_.rate, p);
    now = z();
    if (spam ? now >= kLearnMargin : now <= -kLearnMargin) break;
  }
}

void FusedModel::Forget(const TokenSet& tokens, uint64_t digest, bool spam) {
  bayes_.Forget(tokens, spam);
  LinearModel* model[3];
  FeatureView view[3];
  const int n = Parts(model, view);
  std::vector<uint64_t> f;
  for (int i = 0; i < n; ++i) {
    LinearFeatures(tokens, view[i], f);
    model[i]->Forget(digest, f);
  }
}

bool FusedModel::SameState(const FusedModel& o) const {
  std::string a, b;
  bayes_.SavePayload(a);
  o.bayes_.SavePayload(b);
  return linear_.SameState(o.linear_) && split_ == o.split_ && (!split_ || grams_.SameState(o.grams_)) &&
         text_on_ == o.text_on_ && (!text_on_ || text_.SameState(o.text_)) && a == b &&
         fusion_.linear == o.fusion_.linear && fusion_.grams == o.fusion_.grams && fusion_.text == o.fusion_.text &&
         fusion_.bayes == o.fusion_.bayes && fusion_.bias == o.fusion_.bias;
}

// Payload: f64 a, b, c, f64 learning rate, u32 passes, u32 flags (1: the
// linear models are normalised, 2: split, 4: a text model, only with 2),
// the first linear model (linear.h), when split the raw grams' linear model
// and f64 g, with a text model the text grams' linear model and f64 t, then
// u64 length and the Bayes counts' bytes.
void FusedModel::SavePayload(std::string& out) const {
  PutDouble(out, fusion_.linear);
  PutDouble(out, fusion_.bayes);
  PutDouble(out, fusion_.bias);
  PutDouble(out, params_.rate);
  binio::Put(out, params_.passes, 4);
  const bool text = split_ && text_on_;
  binio::Put(out, (linear_.normalized() ? kNormalizedFlag : 0) | (split_ ? kSplitFlag : 0) | (text ? kTextFlag : 0),
             4);
  linear_.Save(out);
  if (split_) {
    grams_.Save(out);
    PutDouble(out, fusion_.grams);
  }
  if (text) {
    text_.Save(out);
    PutDouble(out, fusion_.text);
  }
  std::string b;
  bayes_.SavePayload(b);
  binio::Put(out, b.size(), 8);
  out += b;
}

bool FusedModel::LoadPayload(std::string_view in, std::string& error) {
  *this = FusedModel(linear_.table_bits());
  FusedModel m;
  if (in.size() < 40) {
    error = "fused model truncated";
    return false;
  }
  m.fusion_.linear = GetDouble(in.data());
  m.fusion_.bayes = GetDouble(in.data() + 8);
  m.fusion_.bias = GetDouble(in.data() + 16);
  m.params_.rate = GetDouble(in.data() + 24);
  m.params_.passes = static_cast<unsigned>(binio::Get(in.data() + 32, 4));
  uint64_t flags = binio::Get(in.data() + 36, 4);
  if (!std::isfinite(m.fusion_.linear) || !std::isfinite(m.fusion_.bayes) || !std::isfinite(m.fusion_.bias) ||
      !(m.params_.rate > 0 && m.params_.rate <= 1e3)) {
    error = "fused model has bad weights";
    return false;
  }
  in.remove_prefix(40);
  if ((flags & ~uint64_t(kNormalizedFlag | kSplitFlag | kTextFlag)) ||
      ((flags & kTextFlag) && !(flags & kSplitFlag))) {
    error = "fused model has unknown flags";
    return false;
  }
  if (!m.linear_.Load(in, error)) return false;
  m.linear_.set_normalized(flags & kNormalizedFlag);
  m.split_ = flags & kSplitFlag;
  m.text_on_ = flags & kTextFlag;
  // The further linear models, each followed by its fusion weight.
  const struct {
    bool on;
    LinearModel* model;
    double* weight;
  } more[] = {{m.split_, &m.grams_, &m.fusion_.grams}, {m.text_on_, &m.text_, &m.fusion_.text}};
  for (const auto& x : more) {
    if (!x.on) continue;
    if (!x.model->Load(in, error)) return false;
    if (x.model->table_bits() != m.linear_.table_bits()) {
      error = "fused model: its linear models differ in size";
      return false;
    }
    x.model->set_normalized(flags & kNormalizedFlag);
    if (in.size() < 8 || !std::isfinite(*x.weight = GetDouble(in.data()))) {
      error = "fused model has bad weights";
      return false;
    }
    in.remove_prefix(8);
  }
  if (in.size() < 8 || in.size() - 8 != binio::Get(in.data(), 8)) {
    error = "fused model: Bayes counts truncated";
    return false;
  }
  if (!m.bayes_.LoadPayload(in.substr(8), error)) return false;
  *this = std::move(m);
  return true;
}

void TrainFused(const std::vector<TrainSample>& samples, const TrainOptions& opt, FusedModel& out,
                TrainReport* report) {
  const size_t n = samples.size();
  // One linear model per view: all features, or the tokens and the grams
  // apart (opt.split).
  std::vector<FeatureView> views = {FeatureView::kAll};
  if (opt.split) {
    views = {FeatureView::kTokens, FeatureView::kGrams};
    // The decoded text's grams, when the tokenizer made them, in a third.
    for (const TrainSample& t : samples)
      if (t.tokens->raw_grams() < t.tokens->grams().size()) {
        views.push_back(FeatureView::kTextGrams);
        break;
      }
  }
  const size_t nv = views.size();
  std::vector<std::vector<Compact>> feats(nv, std::vector<Compact>(n));
  std::vector<uint64_t> scratch;
  for (size_t v = 0; v < nv; ++v)
    for (size_t i = 0; i < n; ++i) feats[v][i].From(*samples[i].tokens, views[v], scratch);
  std::vector<size_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = i;
  uint64_t s = opt.seed;
  for (size_t i = n; i > 1; --i) std::swap(order[i - 1], order[SplitMix(s) % i]);

  // A linear model of view v and the Bayes counts on the samples `use`
  // accepts.
  auto train_linear = [&](const std::function<bool(size_t)>& use, size_t v, const LinearParams& p,
                          LinearModel& lm) {
    for (unsigned pass = 0; pass < std::max(1u, p.passes); ++pass)
      for (size_t i : order)
        if (use(i)) lm.Step(samples[i].digest, feats[v][i].To(scratch), samples[i].spam, p.rate);
  };
  auto train_bayes = [&](const std::function<bool(size_t)>& use, BayesModel& bm) {
    for (size_t i : order)
      if (use(i)) bm.Learn(*samples[i].tokens, samples[i].spam);
  };

  std::vector<LinearParams> grid = opt.grid;
  if (grid.empty()) grid.push_back(LinearParams());
  size_t best = 0;
  Fusion fusion;
  size_t nspam = 0;
  for (const TrainSample& t : samples) nspam += t.spam;
  const size_t k = opt.folds;
  if (report) *report = TrainReport();
  if (k >= 2 && nspam >= k && n - nspam >= k) {
    // Stratified inner folds: each class dealt round-robin in shuffled order.
    std::vector<unsigned> fold(n);
    size_t dealt[2] = {0, 0};
    for (size_t i : order) fold[i] = static_cast<unsigned>(dealt[samples[i].spam]++ % k);
    // Held-out margins per grid point and view.
    std::vector<std::vector<std::vector<double>>> lin(grid.size(),
                                                      std::vector<std::vector<double>>(nv, std::vector<double>(n)));
    std::vector<double> bay(n);
    for (unsigned f = 0; f < k; ++f) {
      auto use = [&](size_t i) { return fold[i] != f; };
      BayesModel bm;
      train_bayes(use, bm);
      for (size_t i = 0; i < n; ++i)
        if (fold[i] == f) bay[i] = bm.Classify(*samples[i].tokens, opt.bayes).log_ratio / 10.0;
      for (size_t g = 0; g < grid.size(); ++g)
        for (size_t v = 0; v < nv; ++v) {
          LinearModel lm(opt.table_bits);
          lm.set_normalized(opt.normalize);
          train_linear(use, v, grid[g], lm);
          for (size_t i = 0; i < n; ++i)
            if (fold[i] == f) lin[g][v][i] = lm.Margin(feats[v][i].To(scratch));
        }
    }
    std::vector<bool> y(n);
    for (size_t i = 0; i < n; ++i) y[i] = samples[i].spam;
    // The grid point whose fused held-out scores rank best.
    double best_area = 2;
    std::vector<double> z(n);
    auto fused = [&](const Fusion& w, size_t g, size_t i) {
      return w.linear * lin[g][0][i] + (nv > 1 ? w.grams * lin[g][1][i] : 0.0) +
             (nv > 2 ? w.text * lin[g][2][i] : 0.0) + w.bayes * bay[i] + w.bias;
    };
    for (size_t g = 0; g < grid.size(); ++g) {
      std::vector<std::vector<double>> x = lin[g];
      x.push_back(bay);
      std::vector<double> w = FitLogistic(x, y);
      Fusion fit;
      fit.linear = w[0];
      if (nv > 1) fit.grams = w[1];
      if (nv > 2) fit.text = w[2];
      fit.bayes = w[nv];
      fit.bias = 0;
      for (size_t i = 0; i < n; ++i) z[i] = fused(fit, g, i);
      double area = AreaAboveRoc(z, y);
      if (area < best_area) {
        best_area = area;
        best = g;
        fusion = fit;
        fusion.bias = w[nv + 1];
      }
    }
    for (size_t i = 0; i < n; ++i) z[i] = fused(fusion, best, i);
    // The fitted z is the held-out log-odds of spam; z = 0 goes where it
    // is cut_log_odds.
    const double cut = opt.cut_log_odds;
    fusion.bias -= cut;
    if (report) {
      report->fitted = true;
      report->held_out_area = best_area;
      for (size_t i = 0; i < n; ++i) {
        bool hit = z[i] - cut >= 0;
        if (y[i]) {
          ++report->held_out_spam;
          report->held_out_caught += hit;
        } else {
          ++report->held_out_ham;
          report->held_out_fp += hit;
        }
      }
    }
  }
  FusedModel m(opt.table_bits);
  m.set_params(grid[best]);
  m.set_fusion(fusion);
  m.set_split(opt.split);
  m.set_text(nv > 2);
  m.linear().set_normalized(opt.normalize);
  if (opt.split) m.grams_linear().set_normalized(opt.normalize);
  if (nv > 2) m.text_linear().set_normalized(opt.normalize);
  train_bayes([](size_t) { return true; }, m.bayes());
  train_linear([](size_t) { return true; }, 0, grid[best], m.linear());
  if (opt.split) train_linear([](size_t) { return true; }, 1, grid[best], m.grams_linear());
  if (nv > 2) train_linear([](size_t) { return true; }, 2, grid[best], m.text_linear());
  if (report) report->chosen = grid[best];
  out = std::move(m);
}

}  // namespace eml
