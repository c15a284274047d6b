// codec.cpp - transfer decodings and charset conversion for mail content.
#include "codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

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

const char kReplacement[] = "\xEF\xBF\xBD";

// Windows-1252 0x80..0x9F; 0 marks the five unassigned positions.
const uint16_t kCp1252High[32] = {
    0x20AC, 0, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0, 0x017D, 0, 0, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0, 0x017E, 0x0178};

enum class Kind { kUtf8, kGuess, kCp1252, kLatin9, kIconv };

struct Charset {
  Kind kind;
  const char* iconv_name;  // for kIconv
};

// Labels decoded here or renamed for iconv. Most of the renaming reads a
// label as the superset mailers and browsers really use for it; names not
// listed go to iconv as written, which knows most other aliases itself.
struct Alias {
  const char* label;
  Charset cs;
};
const Alias kAliases[] = {
    {"utf-8", {Kind::kUtf8, nullptr}}, {"utf8", {Kind::kUtf8, nullptr}},
    {"unicode-1-1-utf-8", {Kind::kUtf8, nullptr}}, {"unicode20utf8", {Kind::kUtf8, nullptr}},
    {"us-ascii", {Kind::kGuess, nullptr}}, {"ascii", {Kind::kGuess, nullptr}},
    {"ansi_x3.4-1968", {Kind::kGuess, nullptr}}, {"us", {Kind::kGuess, nullptr}},
    {"iso646-us", {Kind::kGuess, nullptr}}, {"csascii", {Kind::kGuess, nullptr}},
    {"iso-8859-1", {Kind::kCp1252, nullptr}}, {"iso8859-1", {Kind::kCp1252, nullptr}},
    {"iso_8859-1", {Kind::kCp1252, nullptr}}, {"iso88591", {Kind::kCp1252, nullptr}},
    {"latin1", {Kind::kCp1252, nullptr}}, {"latin-1", {Kind::kCp1252, nullptr}},
    {"l1", {Kind::kCp1252, nullptr}}, {"iso-ir-100", {Kind::kCp1252, nullptr}},
    {"csisolatin1", {Kind::kCp1252, nullptr}}, {"cp819", {Kind::kCp1252, nullptr}},
    {"windows-1252", {Kind::kCp1252, nullptr}}, {"cp1252", {Kind::kCp1252, nullptr}},
    {"iso-8859-15", {Kind::kLatin9, nullptr}}, {"iso8859-15", {Kind::kLatin9, nullptr}},
    {"iso_8859-15", {Kind::kLatin9, nullptr}}, {"latin9", {Kind::kLatin9, nullptr}},
    {"latin-9", {Kind::kLatin9, nullptr}}, {"l9", {Kind::kLatin9, nullptr}},
    {"gb2312", {Kind::kIconv, "GB18030"}}, {"gbk", {Kind::kIconv, "GB18030"}},
    {"gb_2312-80", {Kind::kIconv, "GB18030"}}, {"gb_2312", {Kind::kIconv, "GB18030"}},
    {"csgb2312", {Kind::kIconv, "GB18030"}}, {"chinese", {Kind::kIconv, "GB18030"}},
    {"iso-ir-58", {Kind::kIconv, "GB18030"}}, {"cp936", {Kind::kIconv, "GB18030"}},
    {"ms936", {Kind::kIconv, "GB18030"}}, {"windows-936", {Kind::kIconv, "GB18030"}},
    {"euc-cn", {Kind::kIconv, "GB18030"}}, {"euccn", {Kind::kIconv, "GB18030"}},
    {"big5", {Kind::kIconv, "BIG5-HKSCS"}}, {"big-5", {Kind::kIconv, "BIG5-HKSCS"}},
    {"cn-big5", {Kind::kIconv, "BIG5-HKSCS"}}, {"csbig5", {Kind::kIconv, "BIG5-HKSCS"}},
    {"x-x-big5", {Kind::kIconv, "BIG5-HKSCS"}}, {"cp950", {Kind::kIconv, "BIG5-HKSCS"}},
    {"euc-kr", {Kind::kIconv, "CP949"}}, {"euckr", {Kind::kIconv, "CP949"}},
    {"ks_c_5601-1987", {Kind::kIconv, "CP949"}}, {"ks_c_5601-1989", {Kind::kIconv, "CP949"}},
    {"ks_c_5601", {Kind::kIconv, "CP949"}}, {"ksc5601", {Kind::kIconv, "CP949"}},
    {"ksc_5601", {Kind::kIconv, "CP949"}}, {"korean", {Kind::kIconv, "CP949"}},
    {"csksc56011987", {Kind::kIconv, "CP949"}}, {"iso-ir-149", {Kind::kIconv, "CP949"}},
    {"cseuckr", {Kind::kIconv, "CP949"}}, {"windows-949", {Kind::kIconv, "CP949"}},
    {"ms949", {Kind::kIconv, "CP949"}},
    {"shift_jis", {Kind::kIconv, "CP932"}}, {"shift-jis", {Kind::kIconv, "CP932"}},
    {"sjis", {Kind::kIconv, "CP932"}}, {"ms_kanji", {Kind::kIconv, "CP932"}},
    {"csshiftjis", {Kind::kIconv, "CP932"}}, {"windows-31j", {Kind::kIconv, "CP932"}},
    {"ms932", {Kind::kIconv, "CP932"}},
    {"cseucpkdfmtjapanese", {Kind::kIconv, "EUC-JP"}},
    {"iso-2022-jp", {Kind::kIconv, "ISO-2022-JP-2"}}, {"csiso2022jp", {Kind::kIconv, "ISO-2022-JP-2"}},
    {"iso-8859-9", {Kind::kIconv, "CP1254"}}, {"iso8859-9", {Kind::kIconv, "CP1254"}},
    {"iso_8859-9", {Kind::kIconv, "CP1254"}}, {"latin5", {Kind::kIconv, "CP1254"}},
    {"l5", {Kind::kIconv, "CP1254"}}, {"csisolatin5", {Kind::kIconv, "CP1254"}},
    {"tis-620", {Kind::kIconv, "CP874"}}, {"iso-8859-11", {Kind::kIconv, "CP874"}},
    {"iso8859-11", {Kind::kIconv, "CP874"}}, {"windows-874", {Kind::kIconv, "CP874"}},
    {"dos-874", {Kind::kIconv, "CP874"}},
    {"koi", {Kind::kIconv, "KOI8-R"}}, {"koi8_r", {Kind::kIconv, "KOI8-R"}},
    {"koi8_u", {Kind::kIconv, "KOI8-U"}},
    {"unicode-1-1-utf-7", {Kind::kIconv, "UTF-7"}}, {"csunicode11utf7", {Kind::kIconv, "UTF-7"}},
    {"iso-8859-8-i", {Kind::kIconv, "ISO-8859-8"}}, {"csiso88598i", {Kind::kIconv, "ISO-8859-8"}},
    {"logical", {Kind::kIconv, "ISO-8859-8"}},
    {"mac", {Kind::kIconv, "MACINTOSH"}}, {"mac-roman", {Kind::kIconv, "MACINTOSH"}},
    {"macroman", {Kind::kIconv, "MACINTOSH"}}, {"866", {Kind::kIconv, "IBM866"}},
};

// "windows-1251", "win-1251", "win1251", "cp-1251", "ms-1251", ... as the
// canonical "CP1251"; null when `c` is no such name.
const char* WindowsCodePage(const std::string& c) {
  static const char* const kNames[] = {"CP1250", "CP1251", "CP1252", "CP1253", "CP1254",
                                       "CP1255", "CP1256", "CP1257", "CP1258"};
  size_t i = 0;
  for (const char* prefix : {"windows", "win", "cp", "ms"}) {
    if (c.compare(0, std::strlen(prefix), prefix) == 0) {
      i = std::strlen(prefix);
      break;
    }
  }
  if (i == 0) return nullptr;
  if (i < c.size() && (c[i] == '-' || c[i] == '_')) ++i;
  if (c.size() != i + 4 || c.compare(i, 3, "125") != 0 || c[i + 3] < '0' || c[i + 3] > '8')
    return nullptr;
  return kNames[c[i + 3] - '0'];
}

// The label lower-cased, without the quotes and blanks that sloppy mailers
// leave around it; "" for a label that is no plausible charset name (too
// long, or characters iconv would read as options or paths).
std::string NormalizeLabel(std::string_view cs) {
  auto junk = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '"' || c == '\''; };
  while (!cs.empty() && junk(cs.front())) cs.remove_prefix(1);
  while (!cs.empty() && junk(cs.back())) cs.remove_suffix(1);
  if (cs.size() > 40) return std::string();
  std::string c = AsciiLowerCopy(cs);
  for (char ch : c)
    if (!((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '-' || ch == '_' || ch == '.' ||
          ch == ':' || ch == '+'))
      return std::string();
  return c;
}

// What to do with charset label `label`; for kIconv, `name` receives the
// name to open.
Kind Classify(std::string_view label, std::string& name) {
  std::string c = NormalizeLabel(label);
  if (c.empty()) return Kind::kGuess;
  for (int pass = 0; pass < 2; ++pass) {
    for (const Alias& a : kAliases) {
      if (c == a.label) {
        if (a.cs.kind == Kind::kIconv) name = a.cs.iconv_name;
        return a.cs.kind;
      }
    }
    if (const char* cp = WindowsCodePage(c)) {
      if (std::strcmp(cp, "CP1252") == 0) return Kind::kCp1252;
      name = cp;
      return Kind::kIconv;
    }
    // "x-sjis", "x-euc-jp", "x-gbk", "x-mac-roman": experimental prefixes of
    // names that are otherwise standard.
    if (pass == 0 && c.size() > 2 && c[0] == 'x' && c[1] == '-') c.erase(0, 2);
    else break;
  }
  name = c;
  return Kind::kIconv;
}

// Open iconv descriptors kept for reuse. A descriptor carries conversion
// state, so it is used by one thread at a time: Acquire() hands it out and
// removes it from the pool, Release() gives it back. The pool keeps a few idle
// descriptors and a few names iconv refused, both bounded; opening costs about
// a microsecond, so a miss is cheap but not free.
class IconvPool {
 public:
  static IconvPool& Get() {
    static IconvPool pool;
    return pool;
  }

  IconvPool() { idle_.reserve(kMaxIdle); }
  ~IconvPool() {
    for (Entry& e : idle_) iconv_close(e.cd);
  }

  // An open descriptor from `name` to UTF-8, or (iconv_t)-1.
  iconv_t Acquire(const std::string& name) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = idle_.size(); i-- > 0;) {
        if (idle_[i].name == name) {
          iconv_t cd = idle_[i].cd;
          idle_.erase(idle_.begin() + static_cast<long>(i));
          return cd;
        }
      }
      for (const std::string& r : refused_)
        if (r == name) return kBad();
    }
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == kBad()) {
      std::lock_guard<std::mutex> lock(mu_);
      if (refused_.size() >= kMaxRefused) refused_.erase(refused_.begin());
      refused_.push_back(name);
    }
    return cd;
  }

  // Never throws: a descriptor that cannot be kept is closed.
  void Release(const std::string& name, iconv_t cd) noexcept {
    iconv_t drop = cd;
    try {
      Entry e{name, cd};
      std::lock_guard<std::mutex> lock(mu_);
      drop = kBad();
      if (idle_.size() >= kMaxIdle) {
        drop = idle_.front().cd;
        idle_.erase(idle_.begin());
      }
      idle_.push_back(std::move(e));  // within the reserved room: no allocation
    } catch (...) {
    }
    if (drop != kBad()) iconv_close(drop);
  }

  static iconv_t kBad() { return reinterpret_cast<iconv_t>(-1); }

 private:
  struct Entry {
    std::string name;
    iconv_t cd;
  };
  static constexpr size_t kMaxIdle = 32;
  static constexpr size_t kMaxRefused = 32;
  std::mutex mu_;
  std::vector<Entry> idle_;  // most recently released last
  std::vector<std::string> refused_;
};

// Copies valid UTF-8 runs; each invalid byte becomes U+FFFD, or with
// `cp1252_for_invalid` its Windows-1252 character.
void SanitizeUtf8(std::string_view in, std::string& out, bool cp1252_for_invalid = false) {
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
      if (cp1252_for_invalid) AppendUtf8(Windows1252(c), out);
      else out.append(kReplacement, 3);
      ++i;
    }
  }
}

bool Utf8Valid(std::string_view in) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  size_t n = in.size(), i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    unsigned char c = p[i];
    size_t len = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > n) return false;
    uint32_t cp = c & (0xFF >> (len + 1));
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

// Converts with iconv; false when iconv does not know `name`.
bool IconvToUtf8(std::string_view in, const std::string& name, std::string& out) {
  IconvPool& pool = IconvPool::Get();
  iconv_t cd = pool.Acquire(name);
  if (cd == IconvPool::kBad()) return false;
  struct GiveBack {  // also when appending to `out` throws
    IconvPool& pool;
    const std::string& name;
    iconv_t cd;
    ~GiveBack() { pool.Release(name, cd); }
  } give_back{pool, name, cd};
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // initial shift state
  // One byte may legally become several characters (Tamil TSCII); past four
  // output bytes per input byte the rest is dropped.
  const size_t cap = out.size() + in.size() * 4 + 64;
  char* src = const_cast<char*>(in.data());  // iconv's signature; it only reads
  size_t left = in.size();
  char buf[4096];
  bool flushed = false;
  while (!flushed && out.size() <= cap) {
    char* dst = buf;
    size_t room = sizeof buf;
    size_t r;
    if (left > 0) {
      r = iconv(cd, &src, &left, &dst, &room);
    } else {
      r = iconv(cd, nullptr, nullptr, &dst, &room);  // a stateful decoder's pending output
      flushed = true;
    }
    int err = r == static_cast<size_t>(-1) ? errno : 0;
    // iconv writes whole characters; sanitising still catches a converter
    // that lets a surrogate or an out-of-range value through.
    SanitizeUtf8(std::string_view(buf, static_cast<size_t>(dst - buf)), out);
    if (err == 0 || flushed) continue;
    if (err == E2BIG && dst != buf) continue;
    out.append(kReplacement, 3);
    if (err == EILSEQ && left > 0) {
      ++src;  // skip the byte that cannot start a character
      --left;
    } else {
      left = 0;  // a sequence cut off by the end of the input
    }
  }
  return true;
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

bool DefaultIgnorable(uint32_t cp) {
  if (cp < 0x2000) {
    return cp == 0xAD || cp == 0x34F || cp == 0x61C || cp == 0x115F || cp == 0x1160 || cp == 0x17B4 ||
           cp == 0x17B5 || (cp >= 0x180B && cp <= 0x180F);
  }
  return (cp >= 0x200B && cp <= 0x200F) || (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2060 && cp <= 0x206F) ||
         cp == 0x3164 || (cp >= 0xFE00 && cp <= 0xFE0F) || cp == 0xFEFF || cp == 0xFFA0 ||
         (cp >= 0xFFF0 && cp <= 0xFFF8) || (cp >= 0x1BCA0 && cp <= 0x1BCA3) ||
         (cp >= 0x1D173 && cp <= 0x1D17A) || (cp >= 0xE0000 && cp <= 0xE0FFF);
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

bool IsValidUtf8(std::string_view in) { return Utf8Valid(in); }

void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
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

uint32_t Windows1252(unsigned char b) {
  if (b < 0x80 || b >= 0xA0) return b;
  uint32_t cp = kCp1252High[b - 0x80];
  return cp ? cp : b;  // unassigned: keep the C1 control, still valid UTF-8
}

void DropInvisible(std::string& s) {
  size_t w = 0, n = s.size();
  for (size_t r = 0; r < n;) {
    unsigned char c = static_cast<unsigned char>(s[r]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    if (len > n - r) len = n - r;
    bool drop = false;
    if (c == 0xC2 || c == 0xCD || c == 0xD8 || c == 0xE1 || c == 0xE2 || c == 0xE3 || c == 0xEF ||
        c == 0xF0 || c == 0xF3) {
      uint32_t cp = c & (0xFF >> (len + 1));
      for (size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[r + k]) & 0x3F);
      drop = DefaultIgnorable(cp);
    }
    if (!drop) {
      if (w != r) std::memmove(&s[w], &s[r], len);
      w += len;
    }
    r += len;
  }
  s.resize(w);
}

void ToUtf8(std::string_view in, std::string_view charset, std::string& out) {
  std::string name;
  Kind kind = Classify(charset, name);
  switch (kind) {
    case Kind::kUtf8:
      SanitizeUtf8(in, out);
      return;
    case Kind::kIconv:
      if (IconvToUtf8(in, name, out)) return;
      [[fallthrough]];
    case Kind::kGuess:
      SanitizeUtf8(in, out, true);
      return;
    case Kind::kCp1252:
    case Kind::kLatin9:
      break;
  }
  out.reserve(out.size() + in.size() + in.size() / 8);
  for (unsigned char b : in) {
    if (b < 0x80) out.push_back(static_cast<char>(b));
    else AppendUtf8(kind == Kind::kLatin9 ? Latin9(b) : Windows1252(b), out);
  }
}

std::string DecodeHeaderValue(std::string_view v) {
  std::string out;
  out.reserve(v.size());
  size_t blanks = 0;          // blanks not yet written: dropped between two encoded words
  bool last_encoded = false;  // the last thing seen (blanks aside) was an encoded word
  std::string word_bytes;     // decoded bytes of the current run of encoded words
  std::string_view word_cs;   // their charset
  auto flush_words = [&] {
    if (!word_bytes.empty()) ToUtf8(word_bytes, word_cs, out);
    word_bytes.clear();
  };
  // The first "?=" at or after the last position asked for. Positions asked
  // for only grow, so one cached answer keeps the whole scan linear.
  size_t close = 0;
  bool close_known = false;
  auto find_close = [&](size_t from) {
    if (!close_known || (close != std::string_view::npos && close < from)) {
      close = v.find("?=", from);
      close_known = true;
    }
    return close;
  };
  size_t i = 0, n = v.size();
  while (i < n) {
    if (v[i] == '=' && i + 1 < n && v[i + 1] == '?') {
      // =?charset?enc?text?=  (the charset ends at the next '?', which is never
      // past the next "=?", so this search costs no more than the plain scan)
      size_t q1 = v.find('?', i + 2);
      if (q1 != std::string_view::npos && q1 + 2 < n && v[q1 + 2] == '?') {
        char enc = v[q1 + 1];
        size_t end = find_close(q1 + 3);
        if (end != std::string_view::npos && (enc == 'B' || enc == 'b' || enc == 'Q' || enc == 'q')) {
          std::string_view cs = v.substr(i + 2, q1 - (i + 2));
          size_t star = cs.find('*');  // RFC 2231 language suffix
          if (star != std::string_view::npos) cs = cs.substr(0, star);
          if (!last_encoded) out.append(blanks, ' ');
          blanks = 0;
          if (!IEquals(cs, word_cs)) flush_words();
          word_cs = cs;
          std::string_view text = v.substr(q1 + 3, end - (q1 + 3));
          if (enc == 'B' || enc == 'b') DecodeBase64(text, word_bytes);
          else DecodeQuotedPrintable(text, word_bytes, true);
          last_encoded = true;
          i = end + 2;
          continue;
        }
      }
    }
    char c = v[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++blanks;
      ++i;
      continue;
    }
    // Plain text run up to the next blank or encoded word.
    flush_words();
    out.append(blanks, ' ');
    blanks = 0;
    size_t start = i;
    while (i < n && v[i] != ' ' && v[i] != '\t' && v[i] != '\r' && v[i] != '\n' &&
           !(v[i] == '=' && i + 1 < n && v[i + 1] == '?' && i > start))
      ++i;
    SanitizeUtf8(v.substr(start, i - start), out, true);  // raw 8-bit text: no charset
    last_encoded = false;
  }
  flush_words();
  out.append(blanks, ' ');
  DropInvisible(out);
  return out;
}

}  // namespace eml
