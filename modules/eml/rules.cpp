// rules.cpp - header heuristics, domain lists and the final score.
#include "rules.h"

#include <algorithm>
#include <cmath>

#include "codec.h"
#include "text.h"

namespace eml {
namespace {

bool HasRaw8Bit(std::string_view s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  return false;
}

std::string AddressDomain(std::string_view v) {
  size_t lt = v.rfind('<');
  if (lt != std::string_view::npos) {
    size_t gt = v.find('>', lt);
    v = v.substr(lt + 1, gt == std::string_view::npos ? std::string_view::npos : gt - lt - 1);
  }
  size_t at = v.rfind('@');
  if (at == std::string_view::npos) return std::string();
  std::string_view d = v.substr(at + 1);
  size_t end = 0;
  while (end < d.size() && d[end] != '>' && d[end] != ' ' && d[end] != ')' && d[end] != ',' && d[end] != ';')
    ++end;
  std::string r = AsciiLowerCopy(d.substr(0, end));
  while (!r.empty() && r.back() == '.') r.pop_back();
  return r;
}

}  // namespace

std::vector<RuleHit> HeaderRules(const Message& msg, const TextContent& text, double scale) {
  std::vector<RuleHit> hits;
  if (scale == 0) return hits;
  auto fire = [&](const char* name, double w) { hits.push_back(RuleHit{name, w * scale}); };
  // Weights of the rules that fire in the training mail are fitted together
  // with the Bayes weight (see CombineScore); the others (missing Date,
  // Message-ID or From, malformed headers) never fired there and keep
  // hand-set weights.
  const Header* from = msg.Find("From");
  if (!msg.Find("Date")) fire("missing-date", 0.8);
  if (!msg.Find("Message-ID")) fire("missing-message-id", 0.6);
  if (!from) fire("missing-from", 1.0);
  else if (from->value.find('@') == std::string::npos) fire("from-without-address", 0.5);
  if (!msg.Find("To") && !msg.Find("Cc")) fire("no-recipients", -0.94);
  const Header* subject = msg.Find("Subject");
  if (subject && (HasRaw8Bit(subject->value) || (from && HasRaw8Bit(from->value))))
    fire("unlabelled-8bit-header", 0.27);
  size_t upper = 0, letters = 0;
  for (char c : text.subject) {
    if (c >= 'A' && c <= 'Z') ++upper, ++letters;
    else if (c >= 'a' && c <= 'z') ++letters;
  }
  if (letters >= 8 && upper * 10 >= letters * 8) fire("subject-shouting", 1.41);
  if (text.subject.find("!!") != std::string::npos || text.subject.find("$$") != std::string::npos)
    fire("subject-exclaims", 0.71);
  if (text.html_parts && !text.text_parts) fire("html-only", 1.99);
  if (msg.anomalies & (kAnomalyBadHeaderLine | kAnomalyNoHeaderEnd)) fire("malformed-headers", 0.5);
  if (msg.anomalies & (kAnomalyUnclosedMultipart | kAnomalyMissingBoundary)) fire("broken-mime", 0.31);
  if (const Header* rt = msg.Find("Reply-To")) {
    std::string a = AddressDomain(rt->value), b = from ? AddressDomain(from->value) : std::string();
    if (!a.empty() && !b.empty() && a != b) fire("reply-to-elsewhere", 0.04);
  }
  return hits;
}

bool DomainList::Parse(std::string_view list, std::string& error) {
  domains_.clear();
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ',' || list[i] == ' ' || list[i] == '\t' || list[i] == ';')) ++i;
    size_t s = i;
    while (i < list.size() && !(list[i] == ',' || list[i] == ' ' || list[i] == '\t' || list[i] == ';')) ++i;
    if (i == s) break;
    std::string_view e = list.substr(s, i - s);
    std::string_view original = e;
    if (e.size() >= 2 && e[0] == '*' && e[1] == '.') e.remove_prefix(2);
    else if (!e.empty() && e[0] == '.') e.remove_prefix(1);
    bool ok = !e.empty() && e.size() <= 253 && e.find("..") == std::string_view::npos && e.back() != '.';
    for (char c : e)
      if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.'))
        ok = false;
    if (!ok) {
      error = "invalid domain '" + std::string(original) + "'";
      domains_.clear();
      return false;
    }
    domains_.insert(AsciiLowerCopy(e));
  }
  return true;
}

bool DomainList::Matches(std::string_view host) const {
  if (domains_.empty() || host.empty()) return false;
  std::string h = AsciiLowerCopy(host);
  std::string_view v = h;
  while (true) {
    if (domains_.count(std::string(v))) return true;
    size_t dot = v.find('.');
    if (dot == std::string_view::npos) return false;
    v.remove_prefix(dot + 1);
  }
}

std::string SenderDomain(const Message& msg) {
  if (const Header* rp = msg.Find("Return-Path")) {
    std::string d = AddressDomain(rp->value);
    if (!d.empty()) return d;
  }
  if (const Header* f = msg.Find("From")) return AddressDomain(DecodeHeaderValue(f->value));
  return std::string();
}

double BayesLogOdds(double bayes) {
  double b = std::min(std::max(bayes, 1e-4), 1.0 - 1e-4);
  return kBayesWeight * std::log(b / (1.0 - b)) + kCombineBias;
}

double CombineLogOdds(double token_log_odds, double header_score, double list_score) {
  return 1.0 / (1.0 + std::exp(-(token_log_odds + header_score + list_score)));
}

double CombineScore(double bayes, double header_score, double list_score) {
  return CombineLogOdds(BayesLogOdds(bayes), header_score, list_score);
}

}  // namespace eml
