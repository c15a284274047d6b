// codec.cpp - transfer decodings and charset conversion for mail content.
#include "codec.h"

#include <cstdint>

namespace eml {
namespace {

int8_t B64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<int8_t>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<int8_t>(c - 'a' + 26);
  if (c >= '0' && c <= '9') return static_cast<int8_t>(c - '0' + 52);
  if (c == '+' || c == '-') return 62;  // '-' and '_': the URL-safe variant some mailers emit
  if (c == '/' || c == '_') return 63;
  return -1;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void PutUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

const char kReplacement[] = "\xEF\xBF\xBD";

// Windows-1252 0x80..0x9F; 0 marks the five unassigned positions.
const uint16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

enum class Charset { kUtf8, kLatin1, kLatin9, kCp1252, kUnknown };

Charset Classify(std::string_view cs) {
  std::string c = AsciiLowerCopy(cs);
  if (c.empty() || c == "utf-8" || c == "utf8" || c == "us-ascii" || c == "ascii" ||
      c == "ansi_x3.4-1968" || c == "us")
    return Charset::kUtf8;
  // ISO-8859-1 labels are read as Windows-1252, the superset mailers really
  // mean when they put bytes 0x80..0x9F in "Latin-1" text.
  if (c == "iso-8859-1" || c == "iso8859-1" || c == "latin1" || c == "latin-1" ||
      c == "iso_8859-1" || c == "l1")
    return Charset::kCp1252;
  if (c == "windows-1252" || c == "cp1252" || c == "x-cp1252") return Charset::kCp1252;
  if (c == "iso-8859-15" || c == "iso8859-15" || c == "latin9" || c == "latin-9" ||
      c == "iso_8859-15")
    return Charset::kLatin9;
  return Charset::kUnknown;
}

uint32_t Latin9(unsigned char b) {
  switch (b) {
    case 0xA4: return 0x20AC;
    case 0xA6: return 0x0160;
    case 0xA8: return 0x0161;
    case 0xB4: return 0x017D;
    case 0xB8: return 0x017E;
    case 0xBC: return 0x0152;
    case 0xBD: return 0x0153;
    case 0xBE: return 0x0178;
    default: return b;
  }
}

// Copies valid UTF-8 runs and replaces each invalid byte with U+FFFD.
void SanitizeUtf8(std::string_view in, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  size_t n = in.size(), i = 0;
  out.reserve(out.size() + n);
  while (i < n) {
    size_t start = i;
    while (i < n && p[i] < 0x80) ++i;  // fast ASCII run
    out.append(in.data() + start, i - start);
    if (i >= n) break;
    unsigned char c = p[i];
    size_t len = 0;
    uint32_t min = 0;
    if (c >= 0xC2 && c <= 0xDF) { len = 2; min = 0x80; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; min = 0x800; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; min = 0x10000; }
    bool ok = len != 0 && i + len <= n;
    uint32_t cp = 0;
    if (ok) {
      cp = c & (0xFF >> (len + 1));
      for (size_t k = 1; k < len; ++k) {
        if ((p[i + k] & 0xC0) != 0x80) { ok = false; break; }
        cp = (cp << 6) | (p[i + k] & 0x3F);
      }
      if (ok && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))) ok = false;
    }
    if (ok) {
      out.append(in.data() + i, len);
      i += len;
    } else {
      out.append(kReplacement, 3);
      ++i;
    }
  }
}

}  // namespace

void AsciiLower(std::string& s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
}

std::string AsciiLowerCopy(std::string_view s) {
  std::string r(s);
  AsciiLower(r);
  return r;
}

bool IEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

bool IStartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && IEquals(s.substr(0, prefix.size()), prefix);
}

void DecodeBase64(std::string_view in, std::string& out) {
  out.reserve(out.size() + in.size() / 4 * 3 + 3);
  uint32_t acc = 0;
  int bits = 0;
  for (unsigned char c : in) {
    if (c == '=') break;
    int8_t v = B64Value(c);
    if (v < 0) continue;
    acc = (acc << 6) | static_cast<uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
}

void DecodeQuotedPrintable(std::string_view in, std::string& out, bool underscore_is_space) {
  out.reserve(out.size() + in.size());
  size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    char c = in[i];
    if (c == '_' && underscore_is_space) {
      out.push_back(' ');
      continue;
    }
    if (c != '=') {
      out.push_back(c);
      continue;
    }
    // Soft line break: '=' then optional blanks then CRLF or LF.
    size_t j = i + 1;
    while (j < n && (in[j] == ' ' || in[j] == '\t')) ++j;
    if (j < n && (in[j] == '\r' || in[j] == '\n')) {
      if (in[j] == '\r' && j + 1 < n && in[j + 1] == '\n') ++j;
      i = j;
      continue;
    }
    if (j >= n && !underscore_is_space) {  // '=' at the very end: a soft break too
      i = j;
      continue;
    }
    int hi = i + 1 < n ? HexValue(static_cast<unsigned char>(in[i + 1])) : -1;
    int lo = i + 2 < n ? HexValue(static_cast<unsigned char>(in[i + 2])) : -1;
    if (hi >= 0 && lo >= 0) {
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else {
      out.push_back('=');
    }
  }
}

bool IsValidUtf8(std::string_view in) {
  std::string tmp;
  SanitizeUtf8(in, tmp);
  return tmp.size() == in.size() && tmp == in;
}

void ToUtf8(std::string_view in, std::string_view charset, std::string& out) {
  Charset cs = Classify(charset);
  if (cs == Charset::kUtf8 || cs == Charset::kUnknown) {
    SanitizeUtf8(in, out);
    return;
  }
  out.reserve(out.size() + in.size() + in.size() / 8);
  for (unsigned char b : in) {
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      continue;
    }
    uint32_t cp = b;
    if (cs == Charset::kCp1252 && b < 0xA0) {
      cp = kCp1252High[b - 0x80];
      if (cp == 0) cp = b;  // unassigned: keep the C1 control, still valid UTF-8
    } else if (cs == Charset::kLatin9) {
      cp = Latin9(b);
    }
    PutUtf8(cp, out);
  }
}

std::string DecodeHeaderValue(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  std::string pending_ws;  // blanks after an encoded word, dropped if another follows
  bool last_encoded = false;
  size_t i = 0, n = v.size();
  std::string raw;
  while (i < n) {
    if (v[i] == '=' && i + 1 < n && v[i + 1] == '?') {
      // =?charset?enc?text?=
      size_t q1 = v.find('?', i + 2);
      if (q1 != std::string_view::npos && q1 + 2 < n && v[q1 + 2] == '?') {
        char enc = v[q1 + 1];
        size_t end = v.find("?=", q1 + 3);
        if (end != std::string_view::npos && (enc == 'B' || enc == 'b' || enc == 'Q' || enc == 'q')) {
          std::string_view cs = v.substr(i + 2, q1 - (i + 2));
          size_t star = cs.find('*');  // RFC 2231 language suffix
          if (star != std::string_view::npos) cs = cs.substr(0, star);
          std::string_view text = v.substr(q1 + 3, end - (q1 + 3));
          raw.clear();
          if (enc == 'B' || enc == 'b') DecodeBase64(text, raw);
          else DecodeQuotedPrintable(text, raw, true);
          if (!last_encoded) out += pending_ws;
          pending_ws.clear();
          ToUtf8(raw, cs, out);
          last_encoded = true;
          i = end + 2;
          continue;
        }
      }
    }
    char c = v[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      pending_ws.push_back(c == '\t' || c == '\r' || c == '\n' ? ' ' : c);
      ++i;
      continue;
    }
    // Plain text run up to the next blank or encoded word.
    out += pending_ws;
    pending_ws.clear();
    size_t start = i;
    while (i < n && v[i] != ' ' && v[i] != '\t' && v[i] != '\r' && v[i] != '\n' &&
           !(v[i] == '=' && i + 1 < n && v[i + 1] == '?' && i > start))
      ++i;
    SanitizeUtf8(v.substr(start, i - start), out);
    last_encoded = false;
  }
  out += pending_ws;
  return out;
}

}  // namespace eml
