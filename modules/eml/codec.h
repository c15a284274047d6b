// codec.h - transfer decodings and charset conversion for mail content.
//
// Every function here takes untrusted bytes and never fails: malformed input
// is decoded as far as it makes sense and the rest is skipped or replaced, so
// a hostile message costs at most linear time and an output no larger than
// its input (times a small constant for charset widening).
#pragma once

#include <cstdint>
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

// Appends `in`, read in charset `charset`, to `out` as valid UTF-8. The label
// may carry any case, quotes and blanks around it, and any of the usual
// aliases ("ks_c_5601-1987", "x-sjis", "cp1251", ...). UTF-8, Latin-1 (read
// as Windows-1252, its superset) and Latin-9 are decoded here, every other
// charset the C library knows through iconv; labels that name a subset are
// read as the superset mailers really mean (GB2312 as GB18030, EUC-KR as
// Windows-949, Shift_JIS as Windows-31J, Big5 with HKSCS). Bytes the
// charset cannot decode become U+FFFD. Text with no charset, US-ASCII or an
// unknown one is taken as UTF-8 where it is valid and as Windows-1252 byte by
// byte where it is not. The output is at most four times the input plus a
// small constant (longer conversions are cut there). Thread-safe; never
// throws but std::bad_alloc.
void ToUtf8(std::string_view in, std::string_view charset, std::string& out);

// Appends code point `cp` as UTF-8; U+0000, surrogates and values past
// U+10FFFF become U+FFFD.
void AppendUtf8(uint32_t cp, std::string& out);

// The Unicode character of Windows-1252 byte `b` (0x80..0x9F hold
// typographic characters; the five unassigned positions map to themselves).
uint32_t Windows1252(unsigned char b);

// Removes, in place, the characters a reader never sees but that split words
// for a tokenizer: zero-width spaces and joiners, direction marks, the soft
// hyphen, word joiners, byte-order marks, variation selectors, tag characters
// and the rest of Unicode's default-ignorable set. `s` must be valid UTF-8.
void DropInvisible(std::string& s);

// True when `in` is well-formed UTF-8.
bool IsValidUtf8(std::string_view in);

// Decodes RFC 2047 encoded words ("=?charset?B|Q?text?=") inside a header
// value and returns the whole value as UTF-8, invisible characters dropped.
// Whitespace between two adjacent encoded words is dropped, as the format
// requires, and the bytes of adjacent words in the same charset are joined
// before conversion, so a character split across two words survives. Linear
// in the length of the value.
std::string DecodeHeaderValue(std::string_view value);

// Lower-cases ASCII letters in place.
void AsciiLower(std::string& s);
std::string AsciiLowerCopy(std::string_view s);

// Case-insensitive ASCII comparison.
bool IEquals(std::string_view a, std::string_view b);
bool IStartsWith(std::string_view s, std::string_view prefix);

}  // namespace eml
