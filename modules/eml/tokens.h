// tokens.h - turns a message into the set of features the Bayes filter counts.
//
// Features are short strings with a prefix naming where they came from
// ("subj:free", "url:example.com", "hn:x-mailer"); body words carry no
// prefix. Each is hashed to 64 bits, and the model stores only hashes. The
// set keeps the text of every feature so the filter can say which ones
// decided a verdict.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mime.h"
#include "text.h"

namespace eml {

uint64_t HashToken(std::string_view s);

struct Token {
  uint64_t hash;
  uint32_t offset;  // into TokenSet::arena
  uint32_t length;
};

class TokenSet {
 public:
  // Adds prefix + word (ASCII lower-cased). Duplicates are removed by Finish().
  void Add(std::string_view prefix, std::string_view word);
  // Adds prefix + word exactly as written (no case folding).
  void AddExact(std::string_view prefix, std::string_view word);
  // Adds a feature known only by its hash (the byte 4-grams); the caller
  // adds each one once.
  void AddGram(uint64_t hash) { grams_.push_back(hash); }
  // The grams added from here on are of the decoded text (see
  // TokenizerOptions::text_gram_bytes); those before, of the raw bytes.
  void BeginTextGrams() { text_from_ = grams_.size(); }
  // Sorts by hash and drops duplicates; call once after the last Add().
  void Finish();
  std::string_view Text(const Token& t) const { return std::string_view(arena_).substr(t.offset, t.length); }
  const std::vector<Token>& tokens() const { return tokens_; }
  // Unique, in no particular order; the linear token model weighs them, the
  // Bayes filter does not count them.
  const std::vector<uint64_t>& grams() const { return grams_; }
  // How many of grams(), at its front, are of the raw bytes.
  size_t raw_grams() const { return std::min(text_from_, grams_.size()); }
  size_t size() const { return tokens_.size(); }
  void Clear() {
    tokens_.clear();
    arena_.clear();
    grams_.clear();
    text_from_ = static_cast<size_t>(-1);
  }

 private:
  std::vector<Token> tokens_;
  std::vector<uint64_t> grams_;
  size_t text_from_ = static_cast<size_t>(-1);
  std::string arena_;
};

// The defaults are the set that did best on cross-validation of the
// training mail. Words of Received fields are off: they name the relays of
// whoever collected the mail and age badly.
struct TokenizerOptions {
  bool bigrams = true;           // also count adjacent body word pairs
  bool header_names = true;      // one feature per header field name present
  bool received = false;         // words of the first Received fields
  size_t received_fields = 3;    // how many Received fields give words
  // Orthogonal sparse bigrams: pairs of a body word with each of the next
  // `osb_window - 1` words, tagged with the distance (0 = off).
  size_t osb_window = 0;
  bool case_variants = true;     // also the case-preserved form of mixed/upper-case words
  bool url_paths = true;         // words of link paths, tagged "urlp:"
  bool message_id = true;        // Message-ID domain and shape, tagged "mid:"
  bool mailer_value = true;      // X-Mailer / User-Agent as one whole-value feature
  size_t max_body_tokens = 20000;
  // Overlapping 4-byte sequences of the first N bytes of the message as it
  // arrived (header included, an mbox "From " line not), 0 = none.
  size_t gram_bytes = 3000;
  // The same for the first N bytes of the decoded text (the subject, a line
  // break, the body's text as UTF-8), tagged apart: they see the words
  // whatever transfer encoding or charset carried them. 0 = none. A model
  // with a linear model of their own weighs them; the others ignore them
  // (docs/mail-plugins.md).
  size_t text_gram_bytes = 3000;
};

// Sets the option called `name` (the member's name) to `value`; false when
// there is no such option. Used by tuning tools.
bool SetTokenizerOption(TokenizerOptions& opt, std::string_view name, long value);

void Tokenize(const Message& msg, const TextContent& text, TokenSet& out,
              const TokenizerOptions& opt = TokenizerOptions());

// Calls `fn(word)` for each word of `text` as the tokenizer splits it
// (before lower-casing); exposed for tests and for the header rules.
template <typename Fn>
void ForEachWord(std::string_view text, Fn&& fn);

// Registrable-looking suffixes of a host: "a.b.example.com" gives
// "example.com", "b.example.com", "a.b.example.com" (at most 4).
std::vector<std::string_view> DomainSuffixes(std::string_view host);

namespace detail {
inline bool WordByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c >= 0x80 ||
         c == '$' || c == '\'' || c == '-' || c == '.' || c == '_';
}
inline bool TrimByte(char c) { return c == '\'' || c == '-' || c == '.' || c == '_'; }
}  // namespace detail

template <typename Fn>
void ForEachWord(std::string_view text, Fn&& fn) {
  const char* p = text.data();
  size_t n = text.size(), i = 0;
  while (i < n) {
    while (i < n && !detail::WordByte(static_cast<unsigned char>(p[i]))) ++i;
    size_t s = i;
    while (i < n && detail::WordByte(static_cast<unsigned char>(p[i]))) ++i;
    size_t e = i;
    while (s < e && detail::TrimByte(p[s])) ++s;
    while (e > s && detail::TrimByte(p[e - 1])) --e;
    if (e > s) fn(std::string_view(p + s, e - s));
  }
}

}  // namespace eml
