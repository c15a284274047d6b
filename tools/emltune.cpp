// emltune - k-fold cross-validation of the mail engine on a labelled
// training split, used to choose tokenizer features and Bayes parameters
// without looking at evaluation mail.
//
//   emltune --ham DIR --spam DIR [--folds K] [--glob PATTERN]
//           [--s LIST] [--x LIST] [--mindev LIST] [--clues LIST]
//           [--passes LIST] [--margin M] [--tok KEY=0|1]... [--thr LIST]
//           [--blocks] [--fit]
//
// Every message is analysed once; then, for each combination of the listed
// parameters (LIST = comma-separated values), K models are trained, each on
// all folds but one, and the held-out fold is classified. The line printed
// per combination gives, at several thresholds, the ham scored as spam and
// the share of spam caught, plus the spam caught above the highest ham score.
// --fit also fits the logistic combination of the Bayes log-odds with the
// header rules on the held-out scores of the first combination and prints
// the weights.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "analyzer.h"
#include "bayes.h"
#include "input.h"
#include "rules.h"
#include "walk.h"

namespace {

struct Sample {
  int fold = 0;
  eml::TokenSet tokens;
  std::vector<eml::RuleHit> rules;
  bool spam;
};

std::vector<double> List(const char* s) {
  std::vector<double> v;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) v.push_back(std::atof(item.c_str()));
  return v;
}

// Reads every message under `dir` through the shared walker and reader, the
// way ascan does. False when no message was found or an input was unreadable.
bool Load(const std::string& dir, const std::string& glob, bool spam, const eml::TokenizerOptions& opt,
          std::vector<Sample>& out) {
  astools::WalkOptions wo;
  wo.glob = glob;
  std::vector<astools::Input> inputs;
  astools::ExpandPaths({dir}, wo, inputs);
  eml::Analysis a;
  astools::Message m;
  size_t before = out.size();
  for (const astools::Input& in : inputs) {
    std::string why = in.error;
    int fd = in.kind == astools::Input::kFile ? astools::OpenInputFile(in.path, false, why) : -1;
    if (fd < 0) {
      std::fprintf(stderr, "emltune: %s: %s\n", in.path.c_str(), why.c_str());
      return false;
    }
    astools::MessageReader reader(fd, astools::kDefaultMaxMessageBytes);
    while (reader.Next(m)) {
      eml::Analyze(m.bytes, a, opt);
      Sample s;
      s.tokens = a.tokens;
      s.rules = eml::HeaderRules(a.msg, a.text);
      s.spam = spam;
      out.push_back(std::move(s));
    }
    ::close(fd);
    if (!reader.error().empty()) {
      std::fprintf(stderr, "emltune: %s: %s\n", in.path.c_str(), reader.error().c_str());
      return false;
    }
  }
  return out.size() > before;
}

// Logistic regression by gradient descent with a small L2 penalty; x rows
// hold the features, the last weight is the intercept.
std::vector<double> FitLogistic(const std::vector<std::vector<double>>& x, const std::vector<int>& y,
                                double l2) {
  size_t d = x.empty() ? 0 : x[0].size();
  std::vector<double> w(d + 1, 0.0);
  double lr = 0.5;
  for (int it = 0; it < 4000; ++it) {
    std::vector<double> g(d + 1, 0.0);
    for (size_t i = 0; i < x.size(); ++i) {
      double z = w[d];
      for (size_t j = 0; j < d; ++j) z += w[j] * x[i][j];
      double p = 1.0 / (1.0 + std::exp(-z));
      double e = p - y[i];
      for (size_t j = 0; j < d; ++j) g[j] += e * x[i][j];
      g[d] += e;
    }
    for (size_t j = 0; j <= d; ++j) {
      double reg = j < d ? l2 * w[j] : 0.0;
      w[j] -= lr * (g[j] / static_cast<double>(x.size()) + reg);
    }
  }
  return w;
}

}  // namespace

int main(int argc, char** argv) {
  std::string ham, spam, glob = "*.txt";
  int folds = 4;
  std::vector<double> thresholds{0.5, 0.7, 0.8, 0.9, 0.95, 0.99};
  const eml::BayesParams defaults;
  std::vector<double> ss{defaults.s}, xs{defaults.x}, devs{defaults.min_dev},
      clues{static_cast<double>(defaults.max_tokens)}, passes{0}, mincounts{1};
  double margin = 0.0;
  bool fit = false;
  bool blocks = false;
  double ratio_scale = eml::BayesParams().ratio_scale;
  eml::TokenizerOptions opt;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "emltune: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--ham") ham = next();
    else if (a == "--spam") spam = next();
    else if (a == "--glob") glob = next();
    else if (a == "--folds") folds = std::atoi(next());
    else if (a == "--s") ss = List(next());
    else if (a == "--x") xs = List(next());
    else if (a == "--mindev") devs = List(next());
    else if (a == "--clues") clues = List(next());
    else if (a == "--passes") passes = List(next());
    else if (a == "--mincount") mincounts = List(next());
    else if (a == "--margin") margin = std::atof(next());
    else if (a == "--fit") fit = true;
    else if (a == "--thr") thresholds = List(next());
    else if (a == "--blocks") blocks = true;
    else if (a == "--ratio") ratio_scale = std::atof(next());
    else if (a == "--tok") {
      std::string kv = next();
      size_t eq = kv.find('=');
      std::string k = kv.substr(0, eq);
      int v = eq == std::string::npos ? 1 : std::atoi(kv.c_str() + eq + 1);
      if (!eml::SetTokenizerOption(opt, k, v)) {
        std::fprintf(stderr, "emltune: unknown tokenizer option '%s'\n", k.c_str());
        return 2;
      }
    } else {
      std::fprintf(stderr, "emltune: unknown argument '%s'\n", a.c_str());
      return 2;
    }
  }
  if (ham.empty() || spam.empty() || folds < 2) {
    std::fprintf(stderr, "usage: emltune --ham DIR --spam DIR [--folds K] [--s LIST] ...\n");
    return 2;
  }
  std::vector<Sample> all;
  if (!Load(ham, glob, false, opt, all) || !Load(spam, glob, true, opt, all)) {
    std::fprintf(stderr, "emltune: no messages found\n");
    return 2;
  }
  // Folds: every K-th message, or (--blocks) K contiguous runs of each class
  // in file order, which keeps later mail away from the earlier mail it is
  // tested against and so shows how the model ages.
  {
    size_t cls_n[2] = {0, 0}, cls_i[2] = {0, 0};
    for (const Sample& s : all) cls_n[s.spam]++;
    for (size_t i = 0; i < all.size(); ++i) {
      size_t c = all[i].spam, k = cls_i[c]++;
      all[i].fold = blocks ? static_cast<int>(k * static_cast<size_t>(folds) / cls_n[c])
                           : static_cast<int>(k % static_cast<size_t>(folds));
    }
  }
  size_t nham = 0, nspam = 0, ntok = 0;
  for (const Sample& s : all) {
    (s.spam ? nspam : nham)++;
    ntok += s.tokens.size();
  }
  std::printf("%zu ham, %zu spam, %.0f tokens per message, %d folds\n", nham, nspam,
              static_cast<double>(ntok) / static_cast<double>(all.size()), folds);
  bool first = true;
  for (double mc : mincounts)
  for (double p_pass : passes)
    for (double s : ss)
      for (double x : xs)
        for (double dev : devs)
          for (double cl : clues) {
            eml::BayesParams bp;
            bp.s = s;
            bp.x = x;
            bp.min_dev = dev;
            bp.max_tokens = static_cast<size_t>(cl);
            bp.ratio_scale = ratio_scale;
            bp.min_count = static_cast<uint32_t>(mc);
            std::vector<double> score(all.size(), 0.5);
            for (int f = 0; f < folds; ++f) {
              eml::BayesModel m;
              for (size_t i = 0; i < all.size(); ++i)
                if (all[i].fold != f) m.Learn(all[i].tokens, all[i].spam);
              // Train until no error: learn again each training message the
              // model still gets wrong (or right by less than the margin).
              for (int pass = 0; pass < static_cast<int>(p_pass); ++pass) {
                size_t learned = 0;
                for (size_t i = 0; i < all.size(); ++i) {
                  if (all[i].fold == f) continue;
                  double sc = m.Classify(all[i].tokens, bp).score;
                  bool wrong = all[i].spam ? sc < 0.5 + margin : sc > 0.5 - margin;
                  if (wrong) {
                    m.Learn(all[i].tokens, all[i].spam);
                    ++learned;
                  }
                }
                if (!learned) break;
              }
              for (size_t i = 0; i < all.size(); ++i)
                if (all[i].fold == f)
                  score[i] = m.Classify(all[i].tokens, bp).score;
            }
            double max_ham = 0;
            for (size_t i = 0; i < all.size(); ++i)
              if (!all[i].spam) max_ham = std::max(max_ham, score[i]);
            size_t above = 0;
            double ll = 0;
            for (size_t i = 0; i < all.size(); ++i) {
              if (all[i].spam && score[i] > max_ham) ++above;
              double p = std::min(std::max(score[i], 1e-4), 1 - 1e-4);
              ll -= std::log(all[i].spam ? p : 1 - p);
            }
            std::printf("mincount=%g passes=%g s=%g x=%g mindev=%g clues=%g |", mc, p_pass, s, x, dev, cl);
            for (double t : thresholds) {
              size_t fp = 0, tp = 0;
              for (size_t i = 0; i < all.size(); ++i) {
                if (score[i] < t) continue;
                (all[i].spam ? tp : fp)++;
              }
              std::printf(" %g:%zu/%.1f", t, fp, 100.0 * static_cast<double>(tp) / static_cast<double>(nspam));
            }
            std::printf(" | maxham=%.4f above=%.1f logloss=%.4f\n", max_ham,
                        100.0 * static_cast<double>(above) / static_cast<double>(nspam),
                        ll / static_cast<double>(all.size()));
            std::fflush(stdout);
            if (fit && first) {
              // Features: Bayes log-odds and one indicator per header rule.
              std::map<std::string, size_t> names;
              for (const Sample& sm : all)
                for (const eml::RuleHit& h : sm.rules) names.emplace(h.name, 0);
              size_t k = 1;
              for (auto& n : names) n.second = k++;
              std::vector<std::vector<double>> xv;
              std::vector<int> yv;
              for (size_t i = 0; i < all.size(); ++i) {
                std::vector<double> row(k, 0.0);
                double b = std::min(std::max(score[i], 1e-4), 1 - 1e-4);
                row[0] = std::log(b / (1 - b)) / 10.0;
                for (const eml::RuleHit& h : all[i].rules) row[names[h.name]] = 1.0;
                xv.push_back(row);
                yv.push_back(all[i].spam ? 1 : 0);
              }
              std::vector<double> w = FitLogistic(xv, yv, 1e-3);
              std::printf("fit: bayes-logit %.4f intercept %.4f\n", w[0] / 10.0, w[k]);
              for (auto& n : names) std::printf("fit: %-24s %.4f\n", n.first.c_str(), w[n.second]);
              std::printf("fit: combined |");
              for (double t : thresholds) {
                size_t fp = 0, tp = 0;
                for (size_t i = 0; i < all.size(); ++i) {
                  double z = w[k];
                  for (size_t j = 0; j < k; ++j) z += w[j] * xv[i][j];
                  if (1.0 / (1.0 + std::exp(-z)) < t) continue;
                  (all[i].spam ? tp : fp)++;
                }
                std::printf(" %g:%zu/%.1f", t, fp, 100.0 * static_cast<double>(tp) / static_cast<double>(nspam));
              }
              std::printf("\n");
            }
            first = false;
          }
  return 0;
}
