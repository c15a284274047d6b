// rules.h - header heuristics, domain lists and the final score.
//
// The heuristics look at the envelope of a message (missing fields, shouting
// subjects, unlabelled 8-bit text, broken structure); each rule that fires
// adds its weight, in log-odds units, to the header score. Domain lists match
// a host or any of its parent domains. CombineScore() adds the header and
// list evidence to the Bayes score's log-odds, so a confident Bayes verdict
// needs strong evidence to flip while an unsure one can be tipped.
#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "mime.h"
#include "text.h"

namespace eml {

struct RuleHit {
  const char* name;
  double weight;
};

// Evaluates the header rules; `scale` multiplies every weight (0 disables).
std::vector<RuleHit> HeaderRules(const Message& msg, const TextContent& text, double scale = 1.0);

class DomainList {
 public:
  // Parses a list separated by commas, blanks or semicolons. Entries must look
  // like domain names ("example.com", "*.example.com" and ".example.com" mean
  // the same); returns false and names the bad entry otherwise.
  bool Parse(std::string_view list, std::string& error);
  // True when `host` or one of its parent domains is listed.
  bool Matches(std::string_view host) const;
  bool empty() const { return domains_.empty(); }
  size_t size() const { return domains_.size(); }

 private:
  std::unordered_set<std::string> domains_;
};

// Domain of the sender address (Return-Path, else From), lower case, or "".
std::string SenderDomain(const Message& msg);

// How the evidence adds up, fitted as a logistic regression of the class on
// the held-out Bayes log-odds and the header rules of the training mail
// (emltune --fit); the header rule weights in rules.cpp come from the same fit.
constexpr double kBayesWeight = 0.76;
constexpr double kCombineBias = 0.02;
// The lowest threshold with no ham above it in cross-validation was 0.5;
// the default leaves a margin for mail that differs from the training mail.
constexpr double kDefaultSpamThreshold = 0.6;

// The Bayes score's evidence on the verdict's log-odds scale:
// kBayesWeight * logit(clamp(bayes)) + kCombineBias.
double BayesLogOdds(double bayes);
// logistic(token_log_odds + header + lists), in [0, 1].
double CombineLogOdds(double token_log_odds, double header_score, double list_score);
// CombineLogOdds(BayesLogOdds(bayes), header, lists).
double CombineScore(double bayes, double header_score, double list_score);

}  // namespace eml
