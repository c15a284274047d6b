// codec.h - transfer decodings and charset conversion for mail content.
//
// Every function here takes untrusted bytes and never fails: malformed input
// is decoded as far as it makes sense and the rest is skipped or replaced, so
// a hostile message costs at most linear time and an output no larger than
// its input (times a small constant for charset widening).
#pragma once

#include <string>
#include <string_view>

namespace eml {

// Lenient base64: characters outside the alphabet are skipped, decoding stops
// at the first '=' padding group.
void DecodeBase64(std::string_view in, std::string& out);

// Quoted-printable; soft line breaks are removed and invalid escapes kept as
// they are. With `underscore_is_space` set it decodes the "Q" encoding of
// encoded words instead.
void DecodeQuotedPrintable(std::string_view in, std::string& out, bool underscore_is_space = false);

// Appends `in`, read in charset `charset` (any case, e.g. "iso-8859-1"), to
// `out` as valid UTF-8. UTF-8 and unknown charsets are validated and invalid
// sequences replaced by U+FFFD, so the result is always valid UTF-8.
void ToUtf8(std::string_view in, std::string_view charset, std::string& out);

// True when `in` is well-formed UTF-8.
bool IsValidUtf8(std::string_view in);

// Decodes RFC 2047 encoded words ("=?charset?B|Q?text?=") inside a header
// value and returns the whole value as UTF-8. Whitespace between two adjacent
// encoded words is dropped, as the format requires.
std::string DecodeHeaderValue(std::string_view value);

// Lower-cases ASCII letters in place.
void AsciiLower(std::string& s);
std::string AsciiLowerCopy(std::string_view s);

// Case-insensitive ASCII comparison.
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view s, std::string_view prefix);

}  // namespace eml
