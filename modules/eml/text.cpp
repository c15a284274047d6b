// text.cpp - the readable content of a parsed message.
#include "text.h"

#include <algorithm>

#include "codec.h"

namespace eml {
namespace {

bool UrlChar(unsigned char c) {
  return c > 0x20 && c < 0x7F && c != '"' && c != '<' && c != '>' && c != '\'' && c != '(' &&
         c != ')' && c != '[' && c != ']' && c != '{' && c != '}' && c != '`' && c != '|' && c != '\\';
}

}  // namespace

std::string UrlHost(std::string_view url) {
  size_t p = url.find("://");
  if (p != std::string_view::npos && p < 12) url.remove_prefix(p + 3);
  else if (IStartsWith(url, "mailto:")) url.remove_prefix(7);
  size_t end = 0;
  while (end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#' && url[end] != '\\')
    ++end;
  std::string_view host = url.substr(0, end);
  size_t at = host.rfind('@');
  if (at != std::string_view::npos) host.remove_prefix(at + 1);
  size_t colon = host.find(':');
  if (colon != std::string_view::npos) host = host.substr(0, colon);
  while (!host.empty() && (host.back() == '.' || host.back() == ',')) host.remove_suffix(1);
  std::string h;
  for (char c : host) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!(u >= 0x80 || (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
          c == '-' || c == '.' || c == '_'))
      return std::string();
    h.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c);
  }
  if (h.size() > 253 || h.find('.') == std::string::npos) return std::string();
  return h;
}

void FindUrls(std::string_view text, std::vector<std::string>& urls, size_t max_urls) {
  constexpr size_t npos = std::string_view::npos;
  size_t i = 0, n = text.size();
  // Next "://" and "www." at or after i. The scan only moves forward, so each
  // is searched again only once i has passed it: every byte is looked at a
  // bounded number of times however many candidates fail.
  size_t a = text.find("://"), b = text.find("www.");
  while (i + 4 < n && urls.size() < max_urls) {
    if (a != npos && a < i) a = text.find("://", i);
    if (b != npos && b < i) b = text.find("www.", i);
    size_t c = a == npos ? b : (b == npos ? a : std::min(a, b));
    if (c == npos) break;
    size_t start;
    if (c == a) {
      start = a;
      while (start > 0 && a - start < 8 && ((text[start - 1] | 0x20) >= 'a' && (text[start - 1] | 0x20) <= 'z'))
        --start;
      if (start == a) {  // no scheme letters before "://"
        i = a + 3;
        continue;
      }
    } else {
      start = b;
      if (start > 0 && UrlChar(static_cast<unsigned char>(text[start - 1])) && text[start - 1] != '/') {
        i = b + 4;  // "www." inside a word
        continue;
      }
    }
    size_t end = c + (c == a ? 3 : 4);
    while (end < n && UrlChar(static_cast<unsigned char>(text[end])) && end - start < 2048) ++end;
    while (end > start && (text[end - 1] == '.' || text[end - 1] == ',' || text[end - 1] == ';')) --end;
    urls.emplace_back(text.substr(start, end - start));
    i = end > c ? end : c + 1;
  }
}

void ExtractText(const Message& msg, TextContent& out, const TextLimits& lim) {
  if (const Header* s = msg.Find("Subject")) out.subject = DecodeHeaderValue(s->value);
  std::string decoded;
  for (const MimePart& p : msg.parts) {
    if (p.is_multipart() || (p.type == "message" && (p.subtype == "rfc822" || p.subtype == "global")))
      continue;
    out.part_types.push_back(p.type + "/" + p.subtype);
    if (!p.filename.empty()) out.attachments.push_back(DecodeHeaderValue(p.filename));
    if (p.type != "text" || !p.filename.empty()) continue;
    if (out.body.size() >= lim.max_text_bytes) continue;
    decoded.clear();
    DecodePartText(p, decoded, lim.max_part_bytes);
    if (p.subtype == "html") {
      ++out.html_parts;
      size_t before = out.urls.size();
      HtmlToText(decoded, out.body, &out.urls, &out.html);
      if (out.urls.size() > lim.max_urls) out.urls.resize(before < lim.max_urls ? lim.max_urls : before);
    } else {
      ++out.text_parts;
      out.body.append(decoded);
    }
    out.body.push_back('\n');
  }
  if (out.body.size() > lim.max_text_bytes) {
    // Cut on a character boundary: charset widening can take the text past
    // the cap in the middle of a character.
    size_t cut = lim.max_text_bytes;
    while (cut > 0 && (static_cast<unsigned char>(out.body[cut]) & 0xC0) == 0x80) --cut;
    out.body.resize(cut);
  }
  // Zero-width and other invisible characters would split words (and links)
  // that the reader sees whole.
  DropInvisible(out.body);
  FindUrls(out.body, out.urls, lim.max_urls);
}

}  // namespace eml
