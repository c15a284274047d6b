// Arbitrary bytes as a mailbox: every message the splitter finds goes through
// the whole engine. Nothing may crash or overrun, every text handed on must be
// valid UTF-8, and the scores must be probabilities.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "analyzer.h"
#include "bayes.h"
#include "codec.h"
#include "mbox.h"
#include "rules.h"

namespace {

// A small model, learned once from two fixed messages, so that some tokens of
// the input are known and the combination is really exercised.
const eml::BayesModel& Model() {
  static const eml::BayesModel* model = [] {
    auto* m = new eml::BayesModel;
    eml::Analysis a;
    std::string spam = "Subject: FREE offer\n\nClick http://win.example/now to claim your prize";
    std::string ham = "Subject: build failure\n\nThe nightly build broke in the parser tests again";
    eml::Analyze(spam, a);
    m->Learn(a.tokens, true);
    eml::Analyze(ham, a);
    m->Learn(a.tokens, false);
    return m;
  }();
  return *model;
}

bool Probability(double p) { return std::isfinite(p) && p >= 0.0 && p <= 1.0; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view box(reinterpret_cast<const char*>(data), size);
  std::vector<eml::MboxMessage> parts;
  eml::SplitMbox(box, parts);
  eml::Analysis a;
  for (const eml::MboxMessage& p : parts) {
    if (p.offset > size || p.length > size - p.offset) std::abort();
    eml::Analyze(box.substr(p.offset, p.length), a);
    if (!eml::IsValidUtf8(a.text.body) || !eml::IsValidUtf8(a.text.subject)) std::abort();
    double header = 0;
    for (const eml::RuleHit& h : eml::HeaderRules(a.msg, a.text)) header += h.weight;
    eml::BayesResult r = Model().Classify(a.tokens, eml::BayesParams(), 5);
    if (!Probability(r.score) || r.top.size() > 5) std::abort();
    if (!Probability(eml::CombineScore(r.score, header, 0.0))) std::abort();
  }
  return 0;
}
