// tokens.cpp - turns a message into the set of features the Bayes filter counts.
#include "tokens.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "codec.h"

namespace eml {
namespace {

inline uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

bool HasLetter(std::string_view w) {
  for (char c : w) {
    unsigned char u = static_cast<unsigned char>(c);
    if ((u | 0x20) >= 'a' && (u | 0x20) <= 'z') return true;
    if (u >= 0x80 || c == '$') return true;
  }
  return false;
}

bool IsIpHost(std::string_view h) {
  for (char c : h)
    if (!((c >= '0' && c <= '9') || c == '.')) return false;
  return !h.empty();
}

// Words of a header value as separate features; "@domain" features for the
// e-mail addresses in it.
void AddHeaderWords(TokenSet& out, std::string_view prefix, std::string_view value) {
  std::string at_prefix(prefix);
  at_prefix += "@";
  size_t addresses = 0;
  for (size_t at = value.find('@'); at != std::string_view::npos && addresses < 16;
       at = value.find('@', at + 1), ++addresses) {
    size_t e = at + 1;
    while (e < value.size() && (detail::WordByte(static_cast<unsigned char>(value[e])) && value[e] != '\'' &&
                                value[e] != '$'))
      ++e;
    std::string_view dom = value.substr(at + 1, e - at - 1);
    if (dom.empty() || dom.size() > 253) continue;
    std::string lower = AsciiLowerCopy(dom);
    for (std::string_view s : DomainSuffixes(lower)) out.Add(at_prefix, s);
  }
  size_t count = 0;
  ForEachWord(value, [&](std::string_view w) {
    if (++count > 64) return;
    if (w.size() > 40) {
      out.Add(prefix, "long-word");
      return;
    }
    out.Add(prefix, w);
  });
}

bool HasUpper(std::string_view w) {
  for (char c : w)
    if (c >= 'A' && c <= 'Z') return true;
  return false;
}

// Words of a link's path and query ("/buy/now.php?id=7" gives "buy", "now",
// "php", "id"); numbers and very long pieces say little and are skipped.
void AddUrlPath(TokenSet& out, std::string_view url) {
  size_t p = url.find("://");
  if (p != std::string_view::npos && p < 12) url.remove_prefix(p + 3);
  size_t slash = url.find_first_of("/?#");
  if (slash == std::string_view::npos) return;
  url.remove_prefix(slash);
  size_t i = 0, n = url.size(), added = 0;
  while (i < n && added < 8) {
    while (i < n && !std::isalnum(static_cast<unsigned char>(url[i]))) ++i;
    size_t s = i;
    while (i < n && std::isalnum(static_cast<unsigned char>(url[i]))) ++i;
    std::string_view w = url.substr(s, i - s);
    if (w.size() < 2 || w.size() > 20 || !HasLetter(w)) continue;
    out.Add("urlp:", w);
    ++added;
  }
}

std::string_view HeaderPrefix(std::string_view lname) {
  static const struct {
    const char* name;
    const char* prefix;
  } kMap[] = {
      {"subject", "subj:"},       {"from", "from:"},          {"to", "to:"},
      {"cc", "cc:"},              {"reply-to", "rt:"},        {"return-path", "rp:"},
      {"sender", "snd:"},         {"received", "rcvd:"},      {"x-mailer", "xm:"},
      {"user-agent", "xm:"},      {"content-type", "hct:"},   {"list-id", "list:"},
      {"x-mailing-list", "list:"}, {"list-unsubscribe", "lu:"}, {"organization", "org:"},
      {"precedence", "prec:"},    {"x-priority", "prio:"},    {"x-msmail-priority", "prio:"},
      {"errors-to", "et:"},       {"mime-version", "mv:"},    {"content-transfer-encoding", "hcte:"},
      {"importance", "prio:"},    {"x-originating-ip", "xoi:"}, {"delivered-to", "dt:"},
  };
  for (const auto& m : kMap)
    if (lname == m.name) return m.prefix;
  return std::string_view();
}

// The distinct overlapping 4-byte sequences of `bytes`, each added once as a
// gram. A small open-addressing set finds the repeats in one pass (a sort
// of the 4-grams cost as much as the rest of the tokenizer).
void AddByteGrams(std::string_view bytes, uint64_t tag, TokenSet& out) {
  if (bytes.size() < 4) return;
  size_t cap = 64;
  while (cap < 2 * bytes.size()) cap *= 2;
  // Slots hold gram + 1 in 64 bits, so 0 marks an empty slot for every gram.
  std::vector<uint64_t> seen(cap, 0);
  const size_t mask = cap - 1;
  uint32_t g = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    g = (g << 8) | static_cast<unsigned char>(bytes[i]);
    if (i < 3) continue;
    uint64_t key = static_cast<uint64_t>(g) + 1;
    size_t s = static_cast<size_t>((key * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
    while (seen[s] && seen[s] != key) s = (s + 1) & mask;
    if (seen[s]) continue;
    seen[s] = key;
    out.AddGram(Mix(g ^ tag));
  }
}

}  // namespace

uint64_t HashToken(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size(), i = 0;
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ (n * 0x100000001b3ULL);
  for (; i + 8 <= n; i += 8) {
    uint64_t k;
    std::memcpy(&k, p + i, 8);
    h = Mix(h ^ k) + 0x9E3779B97F4A7C15ULL;
  }
  uint64_t k = 0;
  std::memcpy(&k, p + i, n - i);
  h = Mix(h ^ k ^ 0x5851F42D4C957F2DULL);
  return h ? h : 1;  // 0 marks an empty slot in the model's table
}

void TokenSet::Add(std::string_view prefix, std::string_view word) {
  size_t off = arena_.size();
  arena_.append(prefix);
  size_t w = arena_.size();
  arena_.append(word);
  for (size_t i = w; i < arena_.size(); ++i) {
    char c = arena_[i];
    if (c >= 'A' && c <= 'Z') arena_[i] = static_cast<char>(c + 32);
  }
  uint32_t len = static_cast<uint32_t>(arena_.size() - off);
  tokens_.push_back(Token{HashToken(std::string_view(arena_).substr(off, len)), static_cast<uint32_t>(off), len});
}

void TokenSet::AddExact(std::string_view prefix, std::string_view word) {
  size_t off = arena_.size();
  arena_.append(prefix);
  arena_.append(word);
  uint32_t len = static_cast<uint32_t>(arena_.size() - off);
  tokens_.push_back(Token{HashToken(std::string_view(arena_).substr(off, len)), static_cast<uint32_t>(off), len});
}

bool SetTokenizerOption(TokenizerOptions& opt, std::string_view name, long value) {
  bool b = value != 0;
  size_t n = value < 0 ? 0 : static_cast<size_t>(value);
  if (name == "bigrams") opt.bigrams = b;
  else if (name == "header_names") opt.header_names = b;
  else if (name == "received") opt.received = b;
  else if (name == "received_fields") opt.received_fields = n;
  else if (name == "osb_window") opt.osb_window = std::min<size_t>(n, 8);
  else if (name == "case_variants") opt.case_variants = b;
  else if (name == "url_paths") opt.url_paths = b;
  else if (name == "message_id") opt.message_id = b;
  else if (name == "mailer_value") opt.mailer_value = b;
  else if (name == "max_body_tokens") opt.max_body_tokens = n;
  else if (name == "gram_bytes") opt.gram_bytes = n;
  else if (name == "text_gram_bytes") opt.text_gram_bytes = n;
  else return false;
  return true;
}

void TokenSet::Finish() {
  auto by_hash = [](const Token& a, const Token& b) { return a.hash < b.hash; };
  const size_t n = tokens_.size();
  if (n < 64) {
    std::sort(tokens_.begin(), tokens_.end(), by_hash);
  } else {
    // Hashes are uniform: deal the tokens into about n buckets by their top
    // bits, then an insertion sort finishes the few swaps left. A comparison
    // sort mispredicts a branch on every other comparison of random keys.
    int bits = 6;
    while (bits < 16 && (size_t(1) << bits) < n) ++bits;
    std::vector<uint32_t> start((size_t(1) << bits) + 1, 0);
    for (const Token& t : tokens_) ++start[(t.hash >> (64 - bits)) + 1];
    for (size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
    std::vector<Token> dealt(n);
    for (const Token& t : tokens_) dealt[start[t.hash >> (64 - bits)]++] = t;
    for (size_t i = 1; i < n; ++i) {
      Token t = dealt[i];
      size_t j = i;
      for (; j > 0 && dealt[j - 1].hash > t.hash; --j) dealt[j] = dealt[j - 1];
      dealt[j] = t;
    }
    tokens_.swap(dealt);
  }
  tokens_.erase(std::unique(tokens_.begin(), tokens_.end(),
                            [](const Token& a, const Token& b) { return a.hash == b.hash; }),
                tokens_.end());
}

std::vector<std::string_view> DomainSuffixes(std::string_view host) {
  std::vector<std::string_view> out;
  while (!host.empty() && (host.back() == '.' || host.back() == '>')) host.remove_suffix(1);
  if (host.empty()) return out;
  if (IsIpHost(host)) {
    out.push_back(host);
    return out;
  }
  size_t dots = 0;
  for (size_t i = host.size(); i-- > 0;) {
    if (host[i] != '.') continue;
    if (++dots >= 2) out.push_back(host.substr(i + 1));
    if (out.size() >= 4) return out;
  }
  out.push_back(host);
  return out;
}

void Tokenize(const Message& msg, const TextContent& text, TokenSet& out, const TokenizerOptions& opt) {
  // Header fields: their presence, and the words of the telling ones.
  size_t nh = 0, received = 0;
  for (const Header& h : msg.headers()) {
    if (++nh > 200) break;
    std::string lname = AsciiLowerCopy(h.name);
    if (lname.size() > 40) lname.resize(40);
    if (opt.header_names) out.Add("hn:", lname);
    if (opt.message_id && lname == "message-id") {
      size_t at = h.value.rfind('@');
      if (at == std::string::npos) out.Add("mid:", "*noat*");
      else {
        std::string dom = AsciiLowerCopy(std::string_view(h.value).substr(at + 1));
        while (!dom.empty() && (dom.back() == '>' || dom.back() == ' ')) dom.pop_back();
        for (std::string_view d : DomainSuffixes(dom)) out.Add("mid:@", d);
      }
      continue;
    }
    std::string_view prefix = HeaderPrefix(lname);
    if (prefix.empty()) continue;
    if (lname == "subject") continue;  // decoded below
    if (opt.mailer_value && (lname == "x-mailer" || lname == "user-agent")) {
      std::string_view v = h.value;
      while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
      out.Add("xmv:", v.substr(0, 60));
    }
    if (lname == "received" && (!opt.received || ++received > opt.received_fields)) continue;
    bool decode = lname == "from" || lname == "to" || lname == "cc" || lname == "reply-to" ||
                  lname == "sender" || lname == "organization";
    if (decode) AddHeaderWords(out, prefix, DecodeHeaderValue(h.value));
    else AddHeaderWords(out, prefix, h.value);
  }
  if (!msg.Find("Subject")) out.Add("subj:", "*none*");
  AddHeaderWords(out, "subj:", text.subject);

  // Structure: part types, encodings, charsets, attachments, parse anomalies.
  for (const MimePart& p : msg.parts) {
    out.Add("ct:", p.type + "/" + p.subtype);
    if (!p.encoding.empty() && p.encoding.size() < 40) out.Add("cte:", p.encoding);
    if (!p.charset.empty() && p.charset.size() < 40) out.Add("cs:", p.charset);
  }
  for (const std::string& a : text.attachments) {
    size_t dot = a.rfind('.');
    if (dot != std::string::npos && a.size() - dot <= 6) out.Add("att:", std::string_view(a).substr(dot + 1));
    else out.Add("att:", "*noext*");
  }
  for (int bit = 0; bit < 9; ++bit)
    if (msg.anomalies & (1u << bit)) out.Add("anom:", std::string(1, static_cast<char>('a' + bit)));
  if (text.html_parts && !text.text_parts) out.Add("html:", "only");
  if (text.html.images) out.Add("html:img", text.html.images > 5 ? "many" : std::string(1, static_cast<char>('0' + text.html.images)));

  // Links: every domain suffix of every host.
  for (const std::string& u : text.urls) {
    std::string host = UrlHost(u);
    if (host.empty()) continue;
    if (IsIpHost(host)) {
      out.Add("url:", "*ip*");
      continue;
    }
    for (std::string_view s : DomainSuffixes(host)) out.Add("url:", s);
    if (opt.url_paths) AddUrlPath(out, u);
  }

  // Byte 4-grams: they see what word splitting loses (obfuscated words,
  // markup, encodings, header layout).
  AddByteGrams(std::string_view(msg.raw).substr(0, std::min(msg.raw.size(), opt.gram_bytes)),
               0x3467000000000000ULL, out);
  if (opt.text_gram_bytes) {
    const size_t cap = opt.text_gram_bytes;
    std::string view(std::string_view(text.subject).substr(0, cap));
    view.push_back('\n');
    view.append(std::string_view(text.body).substr(0, cap - std::min(view.size(), cap)));
    out.BeginTextGrams();
    AddByteGrams(view, 0x5478000000000000ULL, out);
  }

  // Body words.
  size_t count = 0;
  // The last few words kept, newest last, for bigrams; a skipped word breaks
  // the chain so pairs never span numbers or junk.
  std::string_view window[8];
  size_t held = 0;
  const size_t span = std::max<size_t>(opt.osb_window, opt.bigrams ? 2 : 0);
  std::string pair;
  char tag[6] = {'o', 's', 'b', '0', ':', 0};
  ForEachWord(text.body, [&](std::string_view w) {
    if (count >= opt.max_body_tokens) return;
    if (w.size() > 30) {
      char bucket[3] = {w[0], static_cast<char>('0' + std::min<size_t>(w.size() / 10, 9)), 0};
      out.Add("skip:", std::string_view(bucket, 2));
      held = 0;
      return;
    }
    if (w.size() < 2 || !HasLetter(w)) {
      held = 0;
      return;
    }
    ++count;
    out.Add(std::string_view(), w);
    if (opt.case_variants && HasUpper(w)) out.AddExact("c:", w);
    if (span >= 2) {
      for (size_t d = 1; d <= held && d < span; ++d) {
        pair.assign(window[held - d]);
        pair.push_back(' ');
        pair.append(w);
        if (opt.osb_window) {
          tag[3] = static_cast<char>('0' + d);
          out.Add(std::string_view(tag, 5), pair);
        } else {
          out.Add("bi:", pair);
        }
      }
      if (held + 1 < span) {
        window[held++] = w;
      } else {
        for (size_t k = 1; k < held; ++k) window[k - 1] = window[k];
        if (held) window[held - 1] = w;
        else window[held++] = w;
      }
    }
  });
  out.Finish();
}

}  // namespace eml
