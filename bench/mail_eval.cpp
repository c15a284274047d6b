// mail_eval - cross-validation of mail filters over a labelled corpus.
//
//   mail_eval folds --corpus DIR --seed S [--folds K] --out DIR
//       Stratified K-fold split of every message file under DIR (a folder
//       whose name contains "spam" holds spam, every other folder ham):
//       writes DIR/fold<i>/{train-ham,train-spam,test}.list.
//   mail_eval metrics [--label NAME] FILE...
//       Reads lines "<1 spam|0 ham> <score> [S|U|H verdict]" (one FILE per
//       seed, each holding every held-out message of its K folds) and prints
//       the verdict counts and ranking figures as ranges over the files.
//   mail_eval tune --corpus DIR [--seeds LIST] [--folds K] [--train-size N] [--tok KEY=N]... MODEL...
//       The same cross-validation in one process, for the engine's models,
//       so candidates can be compared quickly (--train-size: each model
//       trained on a stratified random N of its training folds, as in the
//       learning curve; its log-odds rank, not the printed score). MODEL is "bayes",
//       "lr:key=value,..." or "fused:key=value,..." (keys: rate, passes,
//       bits, folds, clues, norm (0/1), cut (the threshold's log-odds),
//       grid=RATExPASSES/...; rate or passes make a one-point grid) or "nested:MODEL|MODEL|..."
//       (each outer fold picks the candidate whose linear model has the
//       lowest 1-ROCA in an inner cross-validation of that fold's training
//       part; only the pick is trained on it and sees the outer test fold).
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "analyzer.h"
#include "bayes.h"
#include "eval_metrics.h"
#include "fused.h"
#include "rules.h"

namespace {

using evalm::Metrics;

struct Entry {
  std::string path;
  bool spam;
};

std::vector<Entry> ListCorpus(const std::string& dir) {
  std::vector<Entry> out;
  DIR* d = opendir(dir.c_str());
  if (!d) return out;
  std::vector<std::string> folders;
  while (dirent* e = readdir(d)) {
    std::string n = e->d_name;
    struct stat st;
    if (n[0] != '.' && stat((dir + "/" + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) folders.push_back(n);
  }
  closedir(d);
  std::sort(folders.begin(), folders.end());
  for (const std::string& f : folders) {
    DIR* fd = opendir((dir + "/" + f).c_str());
    if (!fd) continue;
    std::vector<std::string> files;
    while (dirent* e = readdir(fd)) {
      std::string n = e->d_name;
      if (n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0) files.push_back(n);
    }
    closedir(fd);
    std::sort(files.begin(), files.end());
    for (const std::string& n : files) out.push_back(Entry{dir + "/" + f + "/" + n, f.find("spam") != std::string::npos});
  }
  return out;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> v;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, sep))
    if (!item.empty()) v.push_back(item);
  return v;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// ---------------------------------------------------------------------------
// folds

int Folds(const std::string& corpus, uint64_t seed, int k, const std::string& out) {
  std::vector<Entry> all = ListCorpus(corpus);
  if (all.empty()) {
    std::fprintf(stderr, "mail_eval: no *.txt message files under %s\n", corpus.c_str());
    return 2;
  }
  std::vector<int> fold = evalm::StratifiedFolds(all.size(), [&](size_t i) { return all[i].spam; }, k, seed);
  for (int f = 0; f < k; ++f) {
    std::string dir = out + "/fold" + std::to_string(f);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      std::fprintf(stderr, "mail_eval: cannot create %s: %s\n", dir.c_str(), std::strerror(errno));
      return 2;
    }
    std::ofstream th(dir + "/train-ham.list"), ts(dir + "/train-spam.list"), te(dir + "/test.list");
    for (size_t i = 0; i < all.size(); ++i) {
      if (fold[i] == f) te << (all[i].spam ? 1 : 0) << ' ' << all[i].path << '\n';
      else (all[i].spam ? ts : th) << all[i].path << '\n';
    }
    if (!th || !ts || !te) {
      std::fprintf(stderr, "mail_eval: cannot write the lists under %s\n", dir.c_str());
      return 2;
    }
  }
  return 0;
}

// ---------------------------------------------------------------------------
// metrics

int MetricsCmd(const std::string& label, const std::vector<std::string>& files) {
  std::vector<Metrics> per_seed;
  for (const std::string& f : files) {
    std::ifstream in(f);
    std::vector<evalm::Scored> s;
    std::string line;
    while (std::getline(in, line)) {
      int y;
      double sc;
      char v = 0;
      int fields = std::sscanf(line.c_str(), "%d %lf %c", &y, &sc, &v);
      if (fields < 2 || (y != 0 && y != 1)) {
        std::fprintf(stderr, "mail_eval: %s: bad line '%s'\n", f.c_str(), line.c_str());
        return 2;
      }
      s.push_back(evalm::Scored{sc, y == 1, fields == 3 ? v : '\0'});
    }
    if (s.empty()) {
      std::fprintf(stderr, "mail_eval: no scores in %s\n", f.c_str());
      return 2;
    }
    per_seed.push_back(evalm::Compute(s));
  }
  std::printf("%s\n", evalm::FormatRange(label, per_seed).c_str());
  return 0;
}

// ---------------------------------------------------------------------------
// tune

struct Sample {
  std::string raw;
  eml::TokenSet tokens;
  uint64_t digest;
  bool spam;
};

// "bayes", "lr:..." (the linear model alone, no fusion), "fused:..." (what
// ascan train builds). Keys: rate, passes, bits, folds, clues, s, x, mindev
// (the Bayes counts' settings), norm, cut, grid.
struct Candidate {
  std::string text;
  enum { kBayes, kLinear, kFused } kind = kFused;
  eml::TrainOptions opt;
};

bool ParseCandidate(const std::string& text, Candidate& c) {
  c.text = text;
  std::string kind = text.substr(0, text.find(':'));
  if (kind == "bayes") c.kind = Candidate::kBayes;
  else if (kind == "lr") c.kind = Candidate::kLinear;
  else if (kind == "fused") c.kind = Candidate::kFused;
  else return false;
  size_t colon = text.find(':');
  eml::LinearParams point;
  bool one_point = false;
  for (const std::string& kv : Split(colon == std::string::npos ? "" : text.substr(colon + 1), ',')) {
    size_t eq = kv.find('=');
    if (eq == std::string::npos) return false;
    std::string k = kv.substr(0, eq);
    double v = std::atof(kv.c_str() + eq + 1);
    if (k == "rate") point.rate = v, one_point = true;
    else if (k == "passes") point.passes = static_cast<unsigned>(v), one_point = true;
    else if (k == "bits") c.opt.table_bits = static_cast<unsigned>(v);
    else if (k == "folds") c.opt.folds = static_cast<unsigned>(v);
    else if (k == "clues") c.opt.bayes.max_tokens = static_cast<size_t>(v);
    else if (k == "s") c.opt.bayes.s = v;
    else if (k == "x") c.opt.bayes.x = v;
    else if (k == "mindev") c.opt.bayes.min_dev = v;
    else if (k == "norm") c.opt.normalize = v != 0;
    else if (k == "split") c.opt.split = v != 0;
    else if (k == "cut") c.opt.cut_log_odds = v;
    else if (k == "grid") {
      // grid=RATExPASSES/RATExPASSES/...
      c.opt.grid.clear();
      for (const std::string& g : Split(kv.substr(eq + 1), '/')) {
        eml::LinearParams lp;
        lp.rate = std::atof(g.c_str());
        size_t x = g.find('x');
        lp.passes = x == std::string::npos ? 1 : static_cast<unsigned>(std::atoi(g.c_str() + x + 1));
        c.opt.grid.push_back(lp);
      }
    }
    else return false;
  }
  if (one_point) c.opt.grid = {point};
  if (c.kind != Candidate::kFused && c.opt.grid.size() != 1) return false;
  return true;
}

// Trains on `train` and scores `test` (log-odds, 0 = the model's threshold).
void RunCandidate(const Candidate& c, const std::vector<Sample>& all, const std::vector<size_t>& train,
                  const std::vector<size_t>& test, uint64_t seed, std::vector<double>& score) {
  std::vector<eml::TrainSample> ts;
  for (size_t i : train)
    ts.push_back(eml::TrainSample{&all[i].tokens, all[i].digest, all[i].spam});
  eml::TrainOptions opt = c.opt;
  opt.seed = seed;
  if (c.kind != Candidate::kFused) opt.folds = 0;  // no fusion fit: z = linear margin
  eml::FusedModel m;
  eml::TrainReport rep;
  eml::TrainFused(ts, opt, m, &rep);
  if (std::getenv("MAIL_EVAL_VERBOSE"))
    std::fprintf(stderr, "    %s: rate %g passes %u, fusion %.4f %.4f %.4f %.4f %.4f, held out fp %zu/%zu caught %zu/%zu\n",
                 c.text.c_str(), rep.chosen.rate, rep.chosen.passes, m.fusion().linear, m.fusion().grams,
                 m.fusion().text, m.fusion().bayes,
                 m.fusion().bias, rep.held_out_fp, rep.held_out_ham, rep.held_out_caught, rep.held_out_spam);
  for (size_t i : test) {
    eml::FusedScore r = m.Evaluate(all[i].tokens, opt.bayes);
    score[i] = c.kind == Candidate::kBayes ? r.bayes.log_ratio : r.z;
  }
}

// --train-size: each training set cut to this many messages (0 = all).
size_t g_train_size = 0;

// A stratified random share of `n` messages of `train` (the learning curve).
std::vector<size_t> Shrink(const std::vector<Sample>& all, const std::vector<size_t>& train, size_t n, uint64_t seed) {
  if (n == 0 || n >= train.size()) return train;
  std::vector<size_t> by[2];
  for (size_t i : train) by[all[i].spam].push_back(i);
  size_t keep_s = (n * by[1].size() + train.size() / 2) / train.size();
  size_t keep[2] = {n - keep_s, keep_s};
  std::vector<size_t> out;
  for (int c = 0; c < 2; ++c) {
    uint64_t s = seed * 2 + static_cast<uint64_t>(c);
    std::vector<size_t>& v = by[c];
    for (size_t i = v.size(); i > 1; --i) std::swap(v[i - 1], v[evalm::SplitMix(s) % i]);
    out.insert(out.end(), v.begin(), v.begin() + static_cast<long>(std::min(keep[c], v.size())));
  }
  std::sort(out.begin(), out.end());
  return out;
}

// K-fold cross-validation of one candidate over `subset`; scores by index.
void CrossValidate(const Candidate& c, const std::vector<Sample>& all, const std::vector<size_t>& subset, int k,
                   uint64_t seed, std::vector<double>& score) {
  std::vector<int> fold =
      evalm::StratifiedFolds(subset.size(), [&](size_t i) { return all[subset[i]].spam; }, k, seed);
  for (int f = 0; f < k; ++f) {
    std::vector<size_t> train, test;
    for (size_t i = 0; i < subset.size(); ++i) (fold[i] == f ? test : train).push_back(subset[i]);
    train = Shrink(all, train, g_train_size, seed * 7919 + static_cast<uint64_t>(f));
    RunCandidate(c, all, train, test, seed + static_cast<uint64_t>(f), score);
  }
}

Metrics Measure(const std::vector<Sample>& all, const std::vector<size_t>& subset, const std::vector<double>& score) {
  std::vector<evalm::Scored> s;
  for (size_t i : subset) s.push_back(evalm::Scored{score[i], all[i].spam, score[i] >= 0 ? 'S' : 'H'});
  return evalm::Compute(s);
}

int Tune(const std::string& corpus, const std::vector<uint64_t>& seeds, int k, const std::vector<std::string>& models,
         const eml::TokenizerOptions& topt) {
  std::vector<Entry> files = ListCorpus(corpus);
  if (files.empty()) {
    std::fprintf(stderr, "mail_eval: no *.txt message files under %s\n", corpus.c_str());
    return 2;
  }
  auto t0 = std::chrono::steady_clock::now();
  std::vector<Sample> all(files.size());
  eml::Analysis a;
  for (size_t i = 0; i < files.size(); ++i) {
    Sample& s = all[i];
    s.raw = ReadFile(files[i].path);
    s.spam = files[i].spam;
    eml::Analyze(s.raw, a, topt);
    s.tokens = a.tokens;
    s.digest = eml::HashToken(s.raw);
  }
  std::fprintf(stderr, "mail_eval: %zu messages analysed in %.1f s\n", all.size(),
               std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  std::vector<size_t> everything(all.size());
  std::iota(everything.begin(), everything.end(), 0);
  for (const std::string& model : models) {
    bool nested = model.compare(0, 7, "nested:") == 0;
    std::vector<Candidate> cands;
    for (const std::string& t : Split(nested ? model.substr(7) : model, '|')) {
      Candidate c;
      if (!ParseCandidate(t, c)) {
        std::fprintf(stderr, "mail_eval: bad model '%s'\n", t.c_str());
        return 2;
      }
      cands.push_back(c);
    }
    std::vector<Metrics> per_seed;
    std::map<std::string, int> picks;
    for (uint64_t seed : seeds) {
      std::vector<double> score(all.size(), 0);
      if (!nested) {
        CrossValidate(cands[0], all, everything, k, seed, score);
      } else {
        std::vector<int> fold =
            evalm::StratifiedFolds(all.size(), [&](size_t i) { return all[i].spam; }, k, seed);
        for (int f = 0; f < k; ++f) {
          std::vector<size_t> train, test;
          for (size_t i = 0; i < all.size(); ++i) (fold[i] == f ? test : train).push_back(i);
          train = Shrink(all, train, g_train_size, seed * 7919 + static_cast<uint64_t>(f));
          size_t best = 0;
          double best_roca = 1e9;
          for (size_t ci = 0; ci < cands.size(); ++ci) {
            std::vector<double> inner(all.size(), 0);
            // The inner folds compare the linear models alone (a fused
            // candidate would run a third level of folds for its fusion).
            Candidate lin = cands[ci];
            if (lin.kind == Candidate::kFused) lin.kind = Candidate::kLinear;
            CrossValidate(lin, all, train, k, seed * 31 + static_cast<uint64_t>(f), inner);
            double r = Measure(all, train, inner).one_minus_roca;
            if (r < best_roca) {
              best_roca = r;
              best = ci;
            }
          }
          ++picks[cands[best].text];
          RunCandidate(cands[best], all, train, test, seed + static_cast<uint64_t>(f), score);
        }
      }
      per_seed.push_back(Measure(all, everything, score));
      std::fprintf(stderr, "  seed %llu: %s\n", static_cast<unsigned long long>(seed),
                   evalm::Format(per_seed.back()).c_str());
    }
    std::printf("%s\n", evalm::FormatRange(model, per_seed).c_str());
    for (const auto& p : picks) std::printf("  picked %d times: %s\n", p.second, p.first.c_str());
    std::fflush(stdout);
  }
  return 0;
}

int Usage() {
  std::fprintf(stderr,
               "usage: mail_eval folds --corpus DIR --seed S [--folds K] --out DIR\n"
               "       mail_eval metrics [--label NAME] FILE...\n"
               "       mail_eval tune --corpus DIR [--seeds LIST] [--folds K] [--train-size N] [--tok KEY=N]... MODEL...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string cmd = argv[1], corpus, out, label = "scores";
  std::vector<uint64_t> seeds{1, 2, 3};
  uint64_t seed = 1;
  int k = 5;
  std::vector<std::string> rest;
  eml::TokenizerOptions topt;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "mail_eval: %s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--corpus") corpus = next();
    else if (a == "--out") out = next();
    else if (a == "--label") label = next();
    else if (a == "--seed") seed = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--folds") k = std::atoi(next().c_str());
    else if (a == "--train-size") g_train_size = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--tok") {
      std::string kv = next();
      size_t eq = kv.find('=');
      if (eq == std::string::npos || !eml::SetTokenizerOption(topt, kv.substr(0, eq), std::atol(kv.c_str() + eq + 1))) {
        std::fprintf(stderr, "mail_eval: bad tokenizer option '%s'\n", kv.c_str());
        return 2;
      }
    }
    else if (a == "--seeds") {
      seeds.clear();
      for (const std::string& s : Split(next(), ',')) seeds.push_back(std::strtoull(s.c_str(), nullptr, 10));
    } else rest.push_back(a);
  }
  if (k < 2) return Usage();
  if (cmd == "folds" && !corpus.empty() && !out.empty()) return Folds(corpus, seed, k, out);
  if (cmd == "metrics" && !rest.empty()) return MetricsCmd(label, rest);
  if (cmd == "tune" && !corpus.empty() && !rest.empty() && !seeds.empty()) return Tune(corpus, seeds, k, rest, topt);
  return Usage();
}
