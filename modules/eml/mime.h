// mime.h - RFC 5322 / MIME parsing of untrusted mail messages.
//
// ParseMessage() splits a raw message into its header fields and a flat list
// of MIME parts (the root first, children after their parent in document
// order). It copies only header text: part bodies are views into the raw
// buffer, which must outlive the Message. Transfer decoding and charset
// conversion happen later, per part, in DecodePartText().
//
// Hostile input never makes it fail: missing boundaries, truncated parts,
// header lines without a colon and absurd sizes are tolerated and noted in
// `anomalies`; nesting depth, part count and header count are capped so the
// cost stays linear in the input size.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace eml {

struct Header {
  std::string name;   // as written, e.g. "Content-Type"
  std::string value;  // unfolded (CRLF + blank removed), still RFC 2047 encoded;
                      // at most 64 KiB, the rest of a longer field is dropped
};

struct MimePart {
  std::vector<Header> headers;   // the part's own fields (the root: the message's)
  std::string type = "text";     // lower case, "text" when absent
  std::string subtype = "plain"; // lower case
  std::string charset;           // lower case, may be empty
  std::string boundary;          // multipart only
  std::string encoding;          // Content-Transfer-Encoding, lower case
  std::string filename;          // from Content-Disposition or the "name" parameter
  std::string_view body;         // raw body bytes (a view into the message)
  int parent = -1;               // index of the enclosing part, -1 for the root
  int depth = 0;
  bool is_multipart() const { return type == "multipart"; }
};

// Bits of Message::anomalies.
enum Anomaly : uint32_t {
  kAnomalyNoHeaderEnd = 1u << 0,       // no blank line: everything was taken as headers
  kAnomalyBadHeaderLine = 1u << 1,     // a header line without a colon
  kAnomalyMissingBoundary = 1u << 2,   // multipart without a boundary parameter
  kAnomalyUnclosedMultipart = 1u << 3, // no closing "--boundary--"
  kAnomalyTooDeep = 1u << 4,           // nesting cut at the depth limit
  kAnomalyTooManyParts = 1u << 5,      // part list cut at the count limit
  kAnomalyTooManyHeaders = 1u << 6,
  kAnomalyTruncated = 1u << 7,         // input longer than the size limit
  kAnomalyBinary = 1u << 8,            // NUL bytes in the header block
};

struct ParseLimits {
  size_t max_message_bytes = 32u << 20;
  int max_depth = 12;
  size_t max_parts = 512;
  size_t max_headers = 1024;
  bool headers_only = false;  // stop after the message's own header fields
};

struct Message {
  std::string_view raw;         // the (possibly size-capped) input
  std::vector<MimePart> parts;  // parts[0] is the root; never empty after parsing
  uint32_t anomalies = 0;

  const std::vector<Header>& headers() const { return parts[0].headers; }
  // First header with this name (case-insensitive), or null.
  const Header* Find(std::string_view name) const;
};

// Parses `raw` (a leading mbox "From " line is skipped).
void ParseMessage(std::string_view raw, Message& msg, const ParseLimits& limits = ParseLimits());

// Parses a Content-Type-like value "type/sub; key=value; key2=\"v\"" and returns
// the lower-cased parameter `key`'s value ("" when absent).
std::string HeaderParam(std::string_view value, std::string_view key);

// Transfer-decodes a part's body (base64, quoted-printable, or as is) into
// `out`, at most `max_bytes` of output.
void DecodePartBody(const MimePart& part, std::string& out, size_t max_bytes);

// Transfer-decodes a text part and converts it to UTF-8 into `out`.
void DecodePartText(const MimePart& part, std::string& out, size_t max_bytes);

}  // namespace eml
