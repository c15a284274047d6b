// spamheaders.cpp - verdict header fields and their insertion.
#include "spamheaders.h"

#include <cstdio>
#include <strings.h>

namespace astools {
namespace {

const char* const kOurFields[] = {"X-Spam-Flag", "X-Spam-Score", "X-Spam-Status"};
const size_t kFoldAt = 78;

std::string Fixed(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", v);
  return buf;
}

bool IsOurField(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view name = line.substr(0, colon);
  while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
  for (const char* f : kOurFields)
    if (name.size() == std::char_traits<char>::length(f) && strncasecmp(name.data(), f, name.size()) == 0) return true;
  return false;
}

// "Name: value" as a header field: printable, colon before any blank.
bool IsFieldLine(std::string_view line) {
  size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  for (size_t i = 0; i < colon; ++i)
    if (static_cast<unsigned char>(line[i]) <= ' ' || static_cast<unsigned char>(line[i]) > '~') return false;
  return true;
}

// Folds a long field at ", " and " " boundaries so no line passes kFoldAt.
std::string Fold(const std::string& field, const std::string& eol) {
  std::string out;
  size_t line_start = 0, last_break = std::string::npos;
  for (size_t i = 0; i < field.size(); ++i) {
    if ((field[i] == ' ' || field[i] == ',') && i > 0) last_break = field[i] == ',' ? i + 1 : i;
    if (i - line_start >= kFoldAt && last_break != std::string::npos && last_break > line_start) {
      out.append(field, line_start, last_break - line_start);
      out += eol + "\t";
      line_start = last_break;
      while (line_start < field.size() && field[line_start] == ' ') ++line_start;
      last_break = std::string::npos;
    }
  }
  out.append(field, line_start, std::string::npos);
  return out + eol;
}

}  // namespace

std::string SpamFlagField(const ScanResult& r) {
  return std::string("X-Spam-Flag: ") + (r.verdict == ScanResult::kSpam ? "YES" : "NO");
}

std::string SpamScoreField(const ScanResult& r) { return "X-Spam-Score: " + Fixed(r.score); }

std::string SpamStatusField(const ScanResult& r) {
  if (r.verdict == ScanResult::kEmpty) return "X-Spam-Status: No, empty message";
  std::string s = std::string("X-Spam-Status: ") + (r.verdict == ScanResult::kSpam ? "Yes" : "No") +
                  ", score=" + Fixed(r.score) + " required=" + Fixed(r.threshold);
  if (!r.rules.empty()) {
    s += " tests=";
    for (size_t i = 0; i < r.rules.size(); ++i) s += (i ? "," : "") + r.rules[i];
  }
  return s;
}

std::vector<std::pair<std::string, std::string>> SpamHeaderFields(const ScanResult& r) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const std::string& field : {SpamFlagField(r), SpamScoreField(r), SpamStatusField(r)}) {
    std::string folded = Fold(field, "\n");
    folded.pop_back();  // the line end after the last line
    size_t colon = folded.find(": ");
    out.emplace_back(folded.substr(0, colon), folded.substr(colon + 2));
  }
  return out;
}

std::string AddSpamHeaders(std::string_view head, bool complete, const ScanResult& r) {
  size_t first_nl = head.find('\n');
  std::string eol = first_nl != std::string_view::npos && first_nl > 0 && head[first_nl - 1] == '\r' ? "\r\n" : "\n";
  std::string fields = Fold(SpamFlagField(r), eol) + Fold(SpamScoreField(r), eol) + Fold(SpamStatusField(r), eol);

  // An mbox "From " line stays first; one without its line end (all the
  // message, or cut at the cap) is no envelope line, just text.
  size_t start = 0;
  if (head.substr(0, 5) == "From " && first_nl != std::string_view::npos) start = first_nl + 1;

  // Walk the header lines; keep all but our fields (and their continuations).
  std::string out(head.substr(0, start));
  size_t pos = start;
  bool dropping = false, ended = false;
  while (pos < head.size()) {
    size_t nl = head.find('\n', pos);
    if (nl == std::string_view::npos) {
      if (!complete) break;  // a line cut at the cap: undecided
      nl = head.size() - 1;
    }
    std::string_view line = head.substr(pos, nl + 1 - pos);
    std::string_view bare = line;
    while (!bare.empty() && (bare.back() == '\n' || bare.back() == '\r')) bare.remove_suffix(1);
    if (bare.empty()) {
      ended = true;
      break;
    }
    bool continuation = bare[0] == ' ' || bare[0] == '\t';
    if (!continuation && !IsFieldLine(bare)) {
      ended = true;  // body text without a blank line before it
      break;
    }
    if (!continuation) dropping = IsOurField(bare);
    if (!dropping) out.append(line);
    pos = nl + 1;
  }
  if (!ended && !complete) {
    // The header section runs past what is in memory: add at the top.
    std::string top(head.substr(0, start));
    top += fields;
    top.append(head.substr(start));
    return top;
  }
  if (!out.empty() && out.back() != '\n' && out.size() > start) out += eol;
  out += fields;
  // A message with no header section at all: the blank line that now ends
  // the one made of our fields.
  if (ended && pos == start && pos < head.size() && head[pos] != '\n' && head[pos] != '\r') out += eol;
  out.append(head.substr(pos));
  return out;
}

}  // namespace astools
