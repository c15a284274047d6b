// fused.h - the token model the filter ships: linear models and the Bayes
// counts, fused by their log-odds.
//
// The fused log-odds is z = a * tokens + g * grams + t * text + b * Bayes
// log-ratio / 10 + c, where tokens, grams and text are the margins of three
// linear models, on the tokens, the raw bytes' 4-grams and the decoded
// text's 4-grams (TrainOptions::split). A model of the older kind has one
// linear model on the tokens and raw 4-grams (z = a * linear + b * Bayes /
// 10 + c), or no text model; it still scores, learns and forgets as trained.
// Training from folders (TrainFused) runs an inner cross-validation of the
// training mail: for each learning rate and pass count of its grid (one
// point by default) it fits the weights as a logistic regression on the
// held-out scores, keeps the grid point whose fused held-out scores rank
// best (smallest area above the ROC curve), and lowers c by `cut_log_odds`,
// so that z = 0 sits where the fitted held-out odds of spam are e^cut to 1.
// Score() reports logistic(z): 0.5 is the calibrated spam threshold.
//
// Learning one message (a user's correction) steps every linear model until
// the fused score puts the message on its label's side by `learn_margin`
// (at most `max_learn_steps` steps) and counts it in the Bayes counts;
// forgetting undoes all of it exactly (see linear.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bayes.h"
#include "linear.h"
#include "model.h"
#include "tokens.h"

namespace eml {

struct Fusion {
  double linear = 1.0;  // a
  double grams = 0.0;   // g: the raw grams' own linear model, when split
  double text = 0.0;    // t: the decoded text's grams' model, when it has one
  double bayes = 0.0;   // b, per 10 log units of the Bayes ratio
  double bias = 0.0;    // c
};

struct FusedScore {
  double score = 0.5;   // logistic(z)
  double z = 0;         // fused log-odds, 0 at the calibrated threshold
  // z on the verdict's scale (CombineLogOdds), where the default
  // SpamThreshold stands for z = 0.
  double verdict_log_odds = 0;
  double linear = 0;    // the linear model's margin
  double grams = 0;     // the grams' linear model's margin (split models)
  double text = 0;      // the decoded text's grams' model's margin
  BayesResult bayes;    // the Bayes filter's view
};

class FusedModel : public TokenModel {
 public:
  static constexpr double kLearnMargin = 2.0;
  static constexpr unsigned kMaxLearnSteps = 64;
  static constexpr uint32_t kNormalizedFlag = 1, kSplitFlag = 2, kTextFlag = 4;

  explicit FusedModel(unsigned table_bits = LinearModel::kDefaultTableBits) : linear_(table_bits), grams_(table_bits), text_(table_bits) {}

  FusedScore Evaluate(const TokenSet& tokens, const BayesParams& bp, size_t top_n = 0) const;

  // A user's correction: see the file comment. `bp` must be what scans use.
  void Learn(const TokenSet& tokens, uint64_t digest, bool spam, const BayesParams& bp);
  // Undoes Learn of the same message and label exactly.
  void Forget(const TokenSet& tokens, uint64_t digest, bool spam);

  uint32_t kind() const override { return kModelFused; }
  uint32_t payload_version() const override { return 2; }
  std::unique_ptr<TokenModel> Clone() const override { return std::make_unique<FusedModel>(*this); }
  uint64_t messages(Label l) const override { return bayes_.messages(l); }
  ModelScore Score(const TokenSet& tokens, const ScoreOptions& opt) const override;
  void Learn(const TokenSet& tokens, uint64_t digest, Label label, const ScoreOptions& opt) override {
    Learn(tokens, digest, label == Label::kSpam, opt.bayes);
  }
  void Forget(const TokenSet& tokens, uint64_t digest, Label label) override {
    Forget(tokens, digest, label == Label::kSpam);
  }
  void SavePayload(std::string& out) const override;
  bool LoadPayload(std::string_view in, std::string& error) override;

  const Fusion& fusion() const { return fusion_; }
  void set_fusion(const Fusion& f) { fusion_ = f; }
  const LinearParams& params() const { return params_; }
  void set_params(const LinearParams& p) { params_ = p; }
  LinearModel& linear() { return linear_; }
  // Split: the linear model sees the tokens and grams_linear() the grams,
  // each with a weight of its own in the fusion.
  bool split() const { return split_; }
  void set_split(bool on) { split_ = on; }
  LinearModel& grams_linear() { return grams_; }
  const LinearModel& grams_linear() const { return grams_; }
  // Split, with the decoded text's grams (TokenizerOptions::text_gram_bytes)
  // in a third linear model.
  bool text() const { return text_on_; }
  void set_text(bool on) { text_on_ = on; }
  LinearModel& text_linear() { return text_; }
  const LinearModel& text_linear() const { return text_; }
  const LinearModel& linear() const { return linear_; }
  BayesModel& bayes() { return bayes_; }
  const BayesModel& bayes() const { return bayes_; }
  bool SameState(const FusedModel& o) const;

 private:
  double Z(double linear_margin, double bayes_log_ratio, double grams_margin = 0, double text_margin = 0) const {
    return fusion_.linear * linear_margin + fusion_.grams * grams_margin + fusion_.text * text_margin +
           fusion_.bayes * bayes_log_ratio / 10.0 + fusion_.bias;
  }

  // The linear models in use and the view each weighs; answers how many.
  int Parts(LinearModel* model[3], FeatureView view[3]);

  LinearModel linear_;
  LinearModel grams_;
  LinearModel text_;
  bool split_ = false;
  bool text_on_ = false;
  BayesModel bayes_;
  Fusion fusion_;
  LinearParams params_;
};

struct TrainSample {
  const TokenSet* tokens;
  uint64_t digest;
  bool spam;
};

struct TrainOptions {
  // Learning rates and pass counts the inner cross-validation chooses from.
  // One point: with normalised features, rate 16 and 10 passes ranked best
  // or on a par at 200, 500 and 2,400 training messages (see the docs).
  std::vector<LinearParams> grid = {{16, 10}};
  BayesParams bayes;
  unsigned table_bits = LinearModel::kDefaultTableBits;
  unsigned folds = 5;         // inner cross-validation for the fusion (< 2: no fit)
  // Where z = 0 is put: where the fusion fitted on the held-out scores
  // gives this log-odds of spam (see TrainFused).
  double cut_log_odds = 3.0;
  uint64_t seed = 1;          // order of the training passes and of the folds
  bool normalize = true;      // the linear model's features scaled (LinearModel::normalized)
  bool split = true;          // tokens, raw grams and text grams (when made) in linear models of their own
};

struct TrainReport {
  bool fitted = false;  // false: too few messages for the inner folds
  LinearParams chosen;
  double held_out_area = 0;  // area above the ROC curve of the chosen point
  size_t held_out_ham = 0, held_out_spam = 0;
  size_t held_out_fp = 0, held_out_caught = 0;  // at z >= 0 after calibration
};

// Logistic regression of y on the columns of x with an intercept: the
// weights that maximise the log-likelihood less ridge/2 times their squared
// length (the intercept is not penalised), the intercept last. Newton's
// method, each step halved until the penalised log-likelihood rises: on
// separable data a full step overshoots, most of all for the intercept,
// whose curvature vanishes as the probabilities reach 0 and 1. TrainFused
// fits the fusion with it.
std::vector<double> FitLogistic(const std::vector<std::vector<double>>& x, const std::vector<bool>& y,
                                double ridge = 1.0);

// Trains `out` on `samples` from nothing: grid point and fusion chosen by
// inner cross-validation (with fewer than `folds` messages of a class, the
// first grid point and z = linear margin), then the linear model (its passes
// in a shuffled order) and the Bayes counts on every sample.
void TrainFused(const std::vector<TrainSample>& samples, const TrainOptions& opt, FusedModel& out,
                TrainReport* report = nullptr);

}  // namespace eml
