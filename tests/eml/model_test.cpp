// Tests of the linear and fused token models: exact forgetting, the payload
// round trip and refusals, and a trained model separating two plain classes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analyzer.h"
#include "fused.h"
#include "linear.h"

using namespace eml;

namespace {

// Two obviously different kinds of mail, varied by `i` so that every message
// is distinct.
std::string Mail(bool spam, int i) {
  std::string n = std::to_string(i);
  if (spam)
    return "From: deals" + n + "@promo.example\r\nSubject: CHEAP pills offer " + n +
           "\r\n\r\nBuy cheap pills now, limited discount " + n + "! Click http://pills.example/buy?id=" + n +
           " to order viagra today.\r\n";
  return "From: alice@work.example\r\nSubject: minutes of meeting " + n +
         "\r\n\r\nHi team, the quarterly review meeting " + n +
         " moves to Tuesday. Please read the attached agenda and the notes.\r\n";
}

struct Corpus {
  std::vector<Analysis> an;
  std::vector<std::string> raw;
  std::vector<TrainSample> samples;
  explicit Corpus(int per_class, int first = 0, const TokenizerOptions& topt = TokenizerOptions())
      : an(static_cast<size_t>(2 * per_class)) {
    for (int i = 0; i < 2 * per_class; ++i) raw.push_back(Mail(i % 2 == 1, first + i));
    for (size_t i = 0; i < raw.size(); ++i) {
      Analyze(raw[i], an[i], topt);
      samples.push_back(TrainSample{&an[i].tokens, HashToken(raw[i]), i % 2 == 1});
    }
  }
};

std::string Payload(const FusedModel& m) {
  std::string s;
  m.SavePayload(s);
  return s;
}

}  // namespace

TEST(FusedModel, ForgetUndoesLearnBitForBit) {
  TokenizerOptions raw_only;
  raw_only.text_gram_bytes = 0;
  const struct {
    const char* name;
    bool normalize, split;
    TokenizerOptions topt;
  } kinds[] = {{"plain, one linear model", false, false, TokenizerOptions()},
               {"normalised, one linear model", true, false, TokenizerOptions()},
               {"normalised, tokens and raw grams apart", true, true, raw_only},
               {"normalised, tokens, raw and text grams apart", true, true, TokenizerOptions()}};
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.name);
    const bool normalize = kind.normalize;
    Corpus train(12, 0, kind.topt), extra(3, 100, kind.topt);
    TrainOptions opt;
    opt.table_bits = 12;  // small table: slots shared by many features
    opt.normalize = normalize;
    opt.split = kind.split;
    if (!normalize) opt.grid = {{0.02, 1}};
    FusedModel m(opt.table_bits);
    TrainFused(train.samples, opt, m);
    const std::string before = Payload(m);
    BayesParams bp;
    struct Case {
      const char* name;
      std::vector<size_t> learn;   // indexes into `extra`, learned in order
      std::vector<size_t> forget;  // then forgotten in this order
    } cases[] = {
        {"one message", {0}, {0}},
        {"interleaved, forgotten in learning order", {0, 1, 2}, {0, 1, 2}},
        {"interleaved, forgotten in reverse", {2, 0, 1}, {1, 0, 2}},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      FusedModel copy = m;
      for (size_t i : c.learn) copy.Learn(extra.an[i].tokens, extra.samples[i].digest, i % 2 == 1, bp);
      EXPECT_NE(Payload(copy), before);
      for (size_t i : c.forget) copy.Forget(extra.an[i].tokens, extra.samples[i].digest, i % 2 == 1);
      EXPECT_EQ(Payload(copy), before);
      EXPECT_TRUE(copy.SameState(m));
    }
    // A correction moves the message to the side it was learned as.
    FusedModel copy = m;
    const TokenSet& ham = extra.an[0].tokens;
    copy.Learn(ham, extra.samples[0].digest, true, bp);
    EXPECT_GE(copy.Evaluate(ham, bp).z, FusedModel::kLearnMargin);
  }
}

TEST(LinearModel, NormalisedStepMovesAnyMessageByTheRate) {
  // One step from an empty model at rate r (p = 0.5) moves the message's own
  // margin by r/2 whatever its length (times (n + 1) / n: the bias counts as
  // a feature); without normalising, by r/2 per feature.
  for (size_t n : {3u, 400u}) {
    SCOPED_TRACE(n);
    std::vector<uint64_t> f;
    for (size_t i = 0; i < n; ++i) f.push_back((i + 1) * 0x9E3779B97F4A7C15ULL);
    LinearModel plain(16), norm(16);
    norm.set_normalized(true);
    plain.Step(1, f, true, 0.02);
    norm.Step(1, f, true, 2.0);
    EXPECT_NEAR(plain.Margin(f), 0.01 * static_cast<double>(n + 1), 1e-3 * static_cast<double>(n));
    EXPECT_NEAR(norm.Margin(f), 1.0 * static_cast<double>(n + 1) / static_cast<double>(n), 1e-3);
  }
}

TEST(FusedModel, PayloadRoundTripAndRefusals) {
  TokenizerOptions raw_only;
  raw_only.text_gram_bytes = 0;
  Corpus train(10), train_raw(10, 0, raw_only);
  TrainOptions opt;
  opt.table_bits = 14;
  opt.normalize = true;
  FusedModel m(opt.table_bits), two(opt.table_bits), single(opt.table_bits);
  TrainFused(train.samples, opt, m);
  TrainFused(train_raw.samples, opt, two);
  opt.split = false;
  TrainFused(train.samples, opt, single);
  BayesParams bp;
  const TokenSet& t = train.an[1].tokens;
  const struct {
    const char* name;
    const FusedModel* model;
    bool split, text;
  } models[] = {{"three linear models", &m, true, true},
                {"tokens and raw grams apart", &two, true, false},
                {"one linear model", &single, false, false}};
  for (const auto& c : models) {
    SCOPED_TRACE(c.name);
    FusedModel back;
    std::string err;
    ASSERT_TRUE(back.LoadPayload(Payload(*c.model), err)) << err;
    EXPECT_TRUE(back.SameState(*c.model));
    EXPECT_EQ(back.split(), c.split);
    EXPECT_EQ(back.text(), c.text);
    EXPECT_EQ(back.linear().table_bits(), 14u);
    EXPECT_TRUE(back.linear().normalized());
    EXPECT_EQ(back.linear().records(), train.samples.size());
    EXPECT_EQ(back.grams_linear().records(), c.split ? train.samples.size() : 0u);
    EXPECT_EQ(back.text_linear().records(), c.text ? train.samples.size() : 0u);
    FusedScore a = back.Evaluate(t, bp);
    EXPECT_EQ(a.z, c.model->Evaluate(t, bp).z);
    EXPECT_EQ(a.grams != 0.0, c.split) << "raw grams weighed apart only when split";
    EXPECT_EQ(a.text != 0.0, c.text) << "text grams weighed only by a model of their own";
  }
  // Scans weigh the token set directly, training its feature list: the same,
  // for every view. A model of one linear model never sees the text grams.
  ASSERT_LT(t.raw_grams(), t.grams().size());
  const struct {
    FeatureView view;
    size_t size;
  } views[] = {{FeatureView::kAll, t.size() + t.raw_grams()},
               {FeatureView::kTokens, t.size()},
               {FeatureView::kGrams, t.raw_grams()},
               {FeatureView::kTextGrams, t.grams().size() - t.raw_grams()}};
  for (const auto& v : views) {
    std::vector<uint64_t> features;
    LinearFeatures(t, v.view, features);
    EXPECT_EQ(features.size(), v.size);
    EXPECT_EQ(m.grams_linear().Margin(t, v.view), m.grams_linear().Margin(features));
  }
  std::string data = Payload(m), err, bayes;
  m.bayes().SavePayload(bayes);

  auto with = [&](size_t at, uint8_t byte) {
    std::string d = data;
    d[at] = static_cast<char>(byte);
    return d;
  };
  std::string not_a_number = with(7, 0x7f);  // a's exponent all ones
  not_a_number[6] = static_cast<char>(0xf8);
  struct Bad {
    const char* name;
    std::string data;
  } bad[] = {
      {"empty", ""},
      {"truncated in the weights", data.substr(0, 200)},
      {"one byte short", data.substr(0, data.size() - 1)},
      {"trailing byte", data + "x"},
      {"weight not a number", not_a_number},
      {"table bits too large", with(40, 40)},
      {"learning rate zero", std::string(data).replace(24, 8, 8, '\0')},
      {"unknown flag", with(36, 9)},
      {"text flag without the split flag", with(36, 5)},
      {"split flag on one linear model's data", Payload(single).replace(36, 1, 1, '\3')},
      {"text flag on two linear models' data", Payload(two).replace(36, 1, 1, '\7')},
      {"last weight cut off", data.substr(0, data.size() - bayes.size() - 8 - 4)},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    FusedModel r;
    err.clear();
    EXPECT_FALSE(r.LoadPayload(b.data, err));
    EXPECT_FALSE(err.empty());
    EXPECT_TRUE(r.bayes().empty());
    EXPECT_EQ(r.linear().records(), 0u);
  }
}

TEST(FusedModel, TrainedOnFewMessagesSeparatesPlainClasses) {
  Corpus train(15), test(10, 500);
  TrainOptions opt;
  TrainReport report;
  FusedModel m;
  TrainFused(train.samples, opt, m, &report);
  EXPECT_EQ(report.held_out_ham + report.held_out_spam, train.samples.size());
  EXPECT_EQ(report.held_out_caught, report.held_out_spam);
  BayesParams bp;
  for (size_t i = 0; i < test.samples.size(); ++i) {
    SCOPED_TRACE(test.raw[i].substr(0, 40));
    double score = m.Evaluate(test.an[i].tokens, bp).score;
    if (test.samples[i].spam) EXPECT_GT(score, 0.5);
    else EXPECT_LT(score, 0.5);
  }
}

TEST(FusedModel, FusionFitReachesThePenalisedOptimum) {
  // Held-out scores of small training sets are often separable, and shifted
  // from 0: there a plain Newton step overshoots and the intercept runs off
  // (weights in the hundreds, intercepts beyond 1e9 before this was fixed).
  struct Case {
    const char* name;
    int ham, spam;
    double offset, gap, overlap;  // overlap: share of each class on the other side
  };
  const Case cases[] = {
      {"separable, shifted", 120, 11, -20.0, 1.0, 0.0},
      {"separable, centred", 60, 40, 0.0, 3.0, 0.0},
      {"separable, few spam", 40, 3, 8.0, 0.5, 0.0},
      {"overlapping", 80, 50, 5.0, 0.0, 0.2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<double>> x(2);
    std::vector<bool> y;
    for (int i = 0; i < c.ham + c.spam; ++i) {
      bool spam = i >= c.ham;
      double u = (i * 37 % 101) / 101.0;  // spread within the class
      bool crosses = u < c.overlap;
      double v = c.offset + ((spam != crosses) ? c.gap + 8 * u : -c.gap - 8 * u);
      x[0].push_back(v);
      x[1].push_back(0.3 * v + (i * 53 % 97) / 97.0 - 0.5);
      y.push_back(spam);
    }
    const double ridge = 1.0;
    std::vector<double> w = FitLogistic(x, y, ridge);
    ASSERT_EQ(w.size(), 3u);
    // At the optimum the gradient vanishes: per weight, the residuals times
    // its column equal ridge times the weight; the residuals sum to 0.
    double g[3] = {-ridge * w[0], -ridge * w[1], 0};
    for (size_t i = 0; i < y.size(); ++i) {
      double p = 1 / (1 + std::exp(-(w[0] * x[0][i] + w[1] * x[1][i] + w[2])));
      double e = (y[i] ? 1.0 : 0.0) - p;
      g[0] += e * x[0][i];
      g[1] += e * x[1][i];
      g[2] += e;
    }
    for (double gi : g) EXPECT_LT(std::fabs(gi), 1e-4);
  }
}
