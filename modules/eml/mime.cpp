// mime.cpp - RFC 5322 / MIME parsing of untrusted mail messages.
#include "mime.h"

#include <cstring>

#include "codec.h"

namespace eml {
namespace {

// Returns the line starting at `pos` without its terminator and moves `pos`
// past the terminator (LF or CRLF).
std::string_view NextLine(std::string_view s, size_t& pos) {
  size_t start = pos;
  const void* nl = std::memchr(s.data() + pos, '\n', s.size() - pos);
  size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - s.data()) : s.size();
  pos = nl ? end + 1 : s.size();
  if (end > start && s[end - 1] == '\r') --end;
  return s.substr(start, end - start);
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
    s.remove_suffix(1);
  return s;
}

// Longest header value kept; the rest of a longer field is dropped, so one
// giant field costs no more than this in every later pass over the headers.
constexpr size_t kMaxHeaderValue = 64u << 10;

void AppendCapped(std::string& value, std::string_view more) {
  if (value.size() < kMaxHeaderValue) value.append(more.substr(0, kMaxHeaderValue - value.size()));
}

// Reads the header block at the start of `s` into `headers`; returns the
// offset of the body (after the blank line), or s.size() when none.
size_t ParseHeaders(std::string_view s, std::vector<Header>& headers, uint32_t& anomalies,
                    size_t max_headers) {
  size_t pos = 0;
  bool found_end = false;
  while (pos < s.size()) {
    std::string_view line = NextLine(s, pos);
    if (line.empty()) {
      found_end = true;
      break;
    }
    if (line[0] == ' ' || line[0] == '\t') {
      if (!headers.empty()) {
        AppendCapped(headers.back().value, " ");
        AppendCapped(headers.back().value, Trim(line));
      }
      continue;
    }
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) {
      anomalies |= kAnomalyBadHeaderLine;
      // A first line that is no header at all means there are no headers.
      if (headers.empty() && pos > 0 && line.find(' ') != std::string_view::npos &&
          colon == std::string_view::npos) {
        return 0;
      }
      continue;
    }
    std::string_view name = Trim(line.substr(0, colon));
    if (name.find(' ') != std::string_view::npos) {
      anomalies |= kAnomalyBadHeaderLine;
      continue;
    }
    if (headers.size() >= max_headers) {
      anomalies |= kAnomalyTooManyHeaders;
      continue;
    }
    headers.push_back(Header{std::string(name), std::string()});
    AppendCapped(headers.back().value, Trim(line.substr(colon + 1)));
  }
  if (!found_end) anomalies |= kAnomalyNoHeaderEnd;
  return pos;
}

void FillContentInfo(MimePart& p, bool parent_is_digest) {
  const Header* ct = nullptr;
  const Header* cte = nullptr;
  const Header* cd = nullptr;
  for (const Header& h : p.headers) {
    if (!ct && IEquals(h.name, "Content-Type")) ct = &h;
    else if (!cte && IEquals(h.name, "Content-Transfer-Encoding")) cte = &h;
    else if (!cd && IEquals(h.name, "Content-Disposition")) cd = &h;
  }
  if (parent_is_digest) {
    p.type = "message";
    p.subtype = "rfc822";
  }
  if (ct) {
    std::string_view v = ct->value;
    size_t semi = v.find(';');
    std::string_view mt = Trim(v.substr(0, semi));
    size_t slash = mt.find('/');
    if (slash != std::string_view::npos && slash > 0) {
      p.type = AsciiLowerCopy(Trim(mt.substr(0, slash)));
      p.subtype = AsciiLowerCopy(Trim(mt.substr(slash + 1)));
    }
    p.charset = HeaderParam(v, "charset");
    AsciiLower(p.charset);
    if (p.type == "multipart") {
      // The boundary is case-sensitive: re-read it without lower-casing.
      p.boundary = HeaderParam(v, "boundary");
    }
    p.filename = HeaderParam(v, "name");
  }
  if (cte) p.encoding = AsciiLowerCopy(Trim(cte->value));
  if (cd) {
    std::string fn = HeaderParam(cd->value, "filename");
    if (!fn.empty()) p.filename = fn;
  }
}

class Parser {
 public:
  Parser(Message& m, const ParseLimits& l) : msg_(m), lim_(l) {}

  // Parses an entity (headers + body) into a new part; returns its index.
  void ParseEntity(std::string_view s, int parent, int depth, bool parent_is_digest) {
    if (msg_.parts.size() >= lim_.max_parts) {
      msg_.anomalies |= kAnomalyTooManyParts;
      return;
    }
    int idx = static_cast<int>(msg_.parts.size());
    msg_.parts.emplace_back();
    {
      MimePart& p = msg_.parts.back();
      p.parent = parent;
      p.depth = depth;
      size_t body = ParseHeaders(s, p.headers, msg_.anomalies, lim_.max_headers);
      p.body = s.substr(body);
      FillContentInfo(p, parent_is_digest);
    }
    if (!lim_.headers_only) ParseBody(idx);
  }

 private:
  void ParseBody(int idx) {
    MimePart& p = msg_.parts[static_cast<size_t>(idx)];
    int depth = p.depth;
    if (p.type == "message" && (p.subtype == "rfc822" || p.subtype == "global")) {
      if (depth + 1 > lim_.max_depth) {
        msg_.anomalies |= kAnomalyTooDeep;
        return;
      }
      std::string_view body = p.body;
      ParseEntity(body, idx, depth + 1, false);
      return;
    }
    if (!p.is_multipart()) return;
    if (p.boundary.empty()) {
      msg_.anomalies |= kAnomalyMissingBoundary;
      p.type = "text";  // treat the body as plain text rather than lose it
      p.subtype = "plain";
      return;
    }
    if (depth + 1 > lim_.max_depth) {
      msg_.anomalies |= kAnomalyTooDeep;
      return;
    }
    std::string delim = "--" + p.boundary;
    std::string_view body = p.body;
    bool digest = p.subtype == "digest";
    // Walk the delimiter lines; each part runs from after one delimiter line
    // to the line break before the next.
    size_t search = 0;
    long part_start = -1;
    bool closed = false;
    while (true) {
      size_t at = body.find(delim, search);
      if (at == std::string_view::npos) break;
      search = at + delim.size();
      if (at != 0 && body[at - 1] != '\n') continue;  // must start a line
      std::string_view rest = body.substr(at + delim.size());
      bool closing = rest.size() >= 2 && rest[0] == '-' && rest[1] == '-';
      // Only blanks may follow the delimiter, so boundary "b1" never
      // matches the line "--b10".
      size_t k = closing ? 2 : 0;
      while (k < rest.size() && (rest[k] == ' ' || rest[k] == '\t')) ++k;
      if (k < rest.size() && rest[k] != '\r' && rest[k] != '\n') continue;
      if (part_start >= 0) {
        size_t end = at;
        if (end > 0 && body[end - 1] == '\n') --end;
        if (end > 0 && body[end - 1] == '\r') --end;
        size_t ps = static_cast<size_t>(part_start);
        ParseEntity(body.substr(ps, end > ps ? end - ps : 0), idx, depth + 1, digest);
        if (msg_.parts.size() >= lim_.max_parts) {
          msg_.anomalies |= kAnomalyTooManyParts;
          return;
        }
      }
      size_t eol = body.find('\n', at);
      if (closing) {
        closed = true;
        break;
      }
      if (eol == std::string_view::npos) {
        part_start = -1;
        break;
      }
      part_start = static_cast<long>(eol + 1);
      search = eol + 1;
    }
    if (!closed) {
      msg_.anomalies |= kAnomalyUnclosedMultipart;
      if (part_start >= 0 && static_cast<size_t>(part_start) < body.size())
        ParseEntity(body.substr(static_cast<size_t>(part_start)), idx, depth + 1, digest);
    }
  }

  Message& msg_;
  const ParseLimits& lim_;
};

}  // namespace

const Header* Message::Find(std::string_view name) const {
  for (const Header& h : headers())
    if (IEquals(h.name, name)) return &h;
  return nullptr;
}

std::string HeaderParam(std::string_view v, std::string_view key) {
  size_t pos = v.find(';');
  while (pos != std::string_view::npos && pos < v.size()) {
    ++pos;
    while (pos < v.size() && (v[pos] == ' ' || v[pos] == '\t')) ++pos;
    size_t eq = v.find('=', pos);
    if (eq == std::string_view::npos) return std::string();
    std::string_view k = Trim(v.substr(pos, eq - pos));
    size_t vs = eq + 1;
    while (vs < v.size() && (v[vs] == ' ' || v[vs] == '\t')) ++vs;
    std::string value;
    size_t next;
    if (vs < v.size() && v[vs] == '"') {
      size_t i = vs + 1;
      while (i < v.size() && v[i] != '"') {
        if (v[i] == '\\' && i + 1 < v.size()) ++i;
        value.push_back(v[i]);
        ++i;
      }
      next = v.find(';', i);
    } else {
      next = v.find(';', vs);
      value = std::string(Trim(v.substr(vs, next == std::string_view::npos ? std::string_view::npos : next - vs)));
    }
    // RFC 2231 forms "key*" and "key*0" count as the key; their charset
    // prefix ("utf-8''") is dropped.
    std::string_view kb = k;
    size_t star = kb.find('*');
    bool extended = star != std::string_view::npos;
    if (extended) kb = kb.substr(0, star);
    if (IEquals(kb, key)) {
      if (extended) {
        size_t q = value.find("''");
        if (q != std::string::npos) value.erase(0, q + 2);
      }
      return value;
    }
    pos = next;
  }
  return std::string();
}

void ParseMessage(std::string_view raw, Message& msg, const ParseLimits& limits) {
  msg.parts.clear();
  msg.anomalies = 0;
  if (raw.size() > limits.max_message_bytes) {
    raw = raw.substr(0, limits.max_message_bytes);
    msg.anomalies |= kAnomalyTruncated;
  }
  if (raw.size() >= 5 && raw.compare(0, 5, "From ") == 0) {
    size_t nl = raw.find('\n');
    raw.remove_prefix(nl == std::string_view::npos ? raw.size() : nl + 1);
  }
  msg.raw = raw;
  size_t scan = raw.size() < 65536 ? raw.size() : 65536;
  if (std::memchr(raw.data(), '\0', scan)) msg.anomalies |= kAnomalyBinary;
  Parser(msg, limits).ParseEntity(raw, -1, 0, false);
  if (msg.parts.empty()) msg.parts.emplace_back();
}

void DecodePartBody(const MimePart& part, std::string& out, size_t max_bytes) {
  std::string_view body = part.body;
  const std::string& e = part.encoding;
  if (e == "base64") {
    if (body.size() / 4 * 3 > max_bytes) body = body.substr(0, max_bytes / 3 * 4 + 4);
    DecodeBase64(body, out);
  } else if (e == "quoted-printable") {
    if (body.size() > max_bytes) body = body.substr(0, max_bytes);
    DecodeQuotedPrintable(body, out);
  } else {
    if (body.size() > max_bytes) body = body.substr(0, max_bytes);
    out.append(body);
  }
  if (out.size() > max_bytes) out.resize(max_bytes);
}

void DecodePartText(const MimePart& part, std::string& out, size_t max_bytes) {
  std::string bytes;
  DecodePartBody(part, bytes, max_bytes);
  ToUtf8(bytes, part.charset, out);
}

}  // namespace eml
