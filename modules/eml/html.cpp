// html.cpp - reduces HTML to the text a reader would see.
#include "html.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "codec.h"

namespace eml {
namespace {

struct NamedEntity {
  const char* name;  // without the ';'
  const char* text;  // UTF-8
  bool bare;         // also recognised without the ';' (the legacy names)
};

const NamedEntity kEntities[] = {
#include "html_entities.inc"
};

constexpr size_t kMaxEntityName = 32;  // longer than the longest name
constexpr size_t kMaxBareName = 6;     // the longest legacy name

const NamedEntity* FindEntity(std::string_view name) {
  const NamedEntity* end = kEntities + sizeof kEntities / sizeof kEntities[0];
  const NamedEntity* it = std::lower_bound(
      kEntities, end, name, [](const NamedEntity& e, std::string_view n) { return std::string_view(e.name) < n; });
  return it != end && name == it->name ? it : nullptr;
}

// A no-break space is a blank to the reader and to the tokenizer.
void PutEntityText(std::string_view text, std::string& out) {
  if (text == "\xC2\xA0") out.push_back(' ');
  else out.append(text);
}

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAlnum(char c) { return IsAlpha(c) || (c >= '0' && c <= '9'); }

// Tag name (lower case, at most 15 chars) of the tag starting after '<'.
std::string_view TagName(std::string_view tag, char* buf, size_t cap) {
  size_t i = 0, n = 0;
  if (i < tag.size() && tag[i] == '/') ++i;
  while (i < tag.size() && n + 1 < cap && (IsAlpha(tag[i]) || (tag[i] >= '0' && tag[i] <= '9'))) {
    char c = tag[i++];
    buf[n++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return std::string_view(buf, n);
}

bool IsBlockTag(std::string_view n) {
  static const char* const kBlocks[] = {"br", "p", "div", "tr", "li", "table", "h1", "h2", "h3",
                                        "h4", "h5", "h6", "hr", "blockquote", "ul", "ol", "td", "title"};
  for (const char* b : kBlocks)
    if (n == b) return true;
  return false;
}

// Pulls the values of href=, src= and action= out of one tag's text.
void CollectLinks(std::string_view tag, std::vector<std::string>& urls, HtmlStats* stats) {
  static const char* const kAttrs[] = {"href", "src", "action"};
  for (const char* a : kAttrs) {
    size_t alen = std::strlen(a);
    size_t from = 0;
    while (from < tag.size()) {
      size_t at = std::string_view::npos;
      for (size_t i = from; i + alen < tag.size(); ++i) {
        if ((tag[i] | 0x20) == a[0] && IStartsWith(tag.substr(i), a) &&
            (i == 0 || tag[i - 1] == ' ' || tag[i - 1] == '\t' || tag[i - 1] == '\n' || tag[i - 1] == '\r')) {
          at = i;
          break;
        }
      }
      if (at == std::string_view::npos) break;
      size_t j = at + alen;
      while (j < tag.size() && (tag[j] == ' ' || tag[j] == '\t')) ++j;
      from = j;
      if (j >= tag.size() || tag[j] != '=') continue;
      ++j;
      while (j < tag.size() && (tag[j] == ' ' || tag[j] == '\t')) ++j;
      if (j >= tag.size()) break;
      char q = tag[j];
      size_t vs, ve;
      if (q == '"' || q == '\'') {
        vs = j + 1;
        ve = tag.find(q, vs);
        if (ve == std::string_view::npos) ve = tag.size();
      } else {
        vs = j;
        ve = vs;
        while (ve < tag.size() && tag[ve] != ' ' && tag[ve] != '\t' && tag[ve] != '>') ++ve;
      }
      if (ve > vs && ve - vs < 2048) {
        std::string url;
        std::string_view v = tag.substr(vs, ve - vs);
        for (size_t k = 0; k < v.size(); ++k) {
          if (v[k] == '&') {
            size_t used = DecodeEntity(v.substr(k), url, true);
            if (used) { k += used - 1; continue; }
          }
          url.push_back(v[k]);
        }
        urls.push_back(std::move(url));
        if (stats) ++stats->links;
      }
      from = ve;
    }
  }
}

}  // namespace

size_t DecodeEntity(std::string_view s, std::string& out, bool in_attribute) {
  if (s.size() < 3 || s[0] != '&') return 0;
  if (s[1] == '#') {
    size_t i = 2;
    uint32_t cp = 0;
    bool hex = i < s.size() && (s[i] == 'x' || s[i] == 'X');
    if (hex) ++i;
    size_t digits = 0;
    for (; i < s.size(); ++i, ++digits) {
      char c = s[i];
      int d;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (hex && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') d = (c | 0x20) - 'a' + 10;
      else break;
      cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
      if (cp > 0x10FFFF) cp = 0x110000;  // saturate: any longer number is out of range too
    }
    if (digits == 0) return 0;
    if (i < s.size() && s[i] == ';') ++i;
    // As browsers do: C1 controls are read as the Windows-1252 characters
    // that old pages meant ("&#150;" is a dash), a no-break space is a blank.
    if (cp >= 0x80 && cp < 0xA0) cp = Windows1252(static_cast<unsigned char>(cp));
    if (cp == 0xA0) out.push_back(' ');
    else AppendUtf8(cp, out);
    return i;
  }
  size_t i = 1;
  while (i < s.size() && i <= kMaxEntityName && IsAlnum(s[i])) ++i;
  std::string_view name = s.substr(1, i - 1);
  if (i < s.size() && s[i] == ';') {
    if (const NamedEntity* e = FindEntity(name)) {
      PutEntityText(e->text, out);
      return i + 1;
    }
  }
  // The legacy names also stand without ';', the longest one that prefixes
  // the name wins ("&notin" is "¬in" unless followed by ';'). Inside an
  // attribute a name followed by a letter, a digit or '=' stays text, so a
  // query string such as "?a=1&copy=2" survives.
  for (size_t len = std::min(name.size(), kMaxBareName); len >= 2; --len) {
    const NamedEntity* e = FindEntity(name.substr(0, len));
    if (!e || !e->bare) continue;
    if (in_attribute && (len < name.size() || (i < s.size() && s[i] == '='))) return 0;
    PutEntityText(e->text, out);
    return len + 1;
  }
  return 0;
}

void HtmlToText(std::string_view html, std::string& text, std::vector<std::string>* urls,
                HtmlStats* stats) {
  size_t i = 0, n = html.size();
  text.reserve(text.size() + n / 2);
  char namebuf[16];
  while (i < n) {
    const void* lt = std::memchr(html.data() + i, '<', n - i);
    size_t stop = lt ? static_cast<size_t>(static_cast<const char*>(lt) - html.data()) : n;
    // Text run: decode references.
    for (size_t k = i; k < stop; ++k) {
      char c = html[k];
      if (c == '&') {
        size_t used = DecodeEntity(html.substr(k, stop - k), text);
        if (used) { k += used - 1; continue; }
      }
      text.push_back(c == '\r' || c == '\n' || c == '\t' ? ' ' : c);
    }
    if (stop >= n) break;
    i = stop;
    std::string_view rest = html.substr(i + 1);
    if (rest.size() >= 3 && rest.compare(0, 3, "!--") == 0) {
      size_t end = html.find("-->", i + 4);
      i = end == std::string_view::npos ? n : end + 3;
      continue;
    }
    if (rest.empty() || !(IsAlpha(rest[0]) || rest[0] == '/' || rest[0] == '!' || rest[0] == '?')) {
      text.push_back('<');  // a lone '<' in text
      ++i;
      continue;
    }
    size_t gt = html.find('>', i + 1);
    size_t tag_end = gt == std::string_view::npos ? n : gt;
    std::string_view tag = html.substr(i + 1, tag_end - i - 1);
    if (stats) ++stats->tags;
    std::string_view name = TagName(tag, namebuf, sizeof namebuf);
    bool closing = !tag.empty() && tag[0] == '/';
    i = gt == std::string_view::npos ? n : gt + 1;
    if (!closing && (name == "script" || name == "style")) {
      // Skip to the matching close tag, case-insensitively.
      const char* close = name == "script" ? "</script" : "</style";
      size_t k = i;
      while (k < n) {
        const void* p = std::memchr(html.data() + k, '<', n - k);
        if (!p) { k = n; break; }
        k = static_cast<size_t>(static_cast<const char*>(p) - html.data());
        if (IStartsWith(html.substr(k), close)) break;
        ++k;
      }
      size_t g = k < n ? html.find('>', k) : std::string_view::npos;
      i = g == std::string_view::npos ? n : g + 1;
      continue;
    }
    if (!closing && name == "img" && stats) ++stats->images;
    if (urls && !closing && (name == "a" || name == "img" || name == "form" || name == "area" ||
                             name == "frame" || name == "iframe" || name == "link"))
      CollectLinks(tag, *urls, stats);
    text.push_back(IsBlockTag(name) ? '\n' : ' ');
  }
}

}  // namespace eml
