// convert.cpp - UTF-8 <-> wide (UTF-32) text conversion.
//
// The two core converters follow the classic table-driven reference
// conversion: they allocate nothing, never throw and stop at the first
// sequence they cannot finish, reporting how far they got. The string
// conversions on top size their target first, so for them "output full" can
// only mean the size query and the conversion disagreed.
#include "convert.h"

#include <cstdint>
#include <cstring>

namespace ascommon {

namespace {

enum ConvResult { kDone = 0, kSourceExhausted = 1, kTargetExhausted = 2, kSourceIllegal = 3 };

const uint32_t kMaxLegal = 0x10FFFF;
const uint32_t kReplacement = 0xFFFD;

// Trailing bytes implied by a lead byte (0 to 5, the reference table; 0x80 to
// 0xBF count as single bytes, which only the strict check rejects).
inline int trailing_bytes(unsigned char lead) {
  if (lead < 0xC0) return 0;
  if (lead < 0xE0) return 1;
  if (lead < 0xF0) return 2;
  if (lead < 0xF8) return 3;
  if (lead < 0xFC) return 4;
  return 5;
}

const uint32_t kOffsets[6] = {0x00000000u, 0x00003080u, 0x000E2080u, 0x03C82080u, 0xFA082080u, 0x82082080u};

// Strict well-formedness of one sequence of `length` bytes (length 1 to 6).
bool legal_sequence(const unsigned char* s, int length) {
  unsigned char a;
  const unsigned char* p = s + length;
  switch (length) {
  default: return false; // 5- and 6-byte forms are never legal
  case 4:
    if ((a = *--p) < 0x80 || a > 0xBF) return false;
    [[fallthrough]];
  case 3:
    if ((a = *--p) < 0x80 || a > 0xBF) return false;
    [[fallthrough]];
  case 2:
    if ((a = *--p) < 0x80 || a > 0xBF) return false;
    switch (*s) {
    case 0xE0: if (a < 0xA0) return false; break; // overlong 3-byte
    case 0xED: if (a > 0x9F) return false; break; // surrogates
    case 0xF0: if (a < 0x90) return false; break; // overlong 4-byte
    case 0xF4: if (a > 0x8F) return false; break; // above U+10FFFF
    default: break;
    }
    [[fallthrough]];
  case 1:
    if (*s >= 0x80 && *s < 0xC2) return false; // stray trail byte or overlong 2-byte
  }
  return *s <= 0xF4;
}

int map_result(int result) {
  switch (result) {
  case kDone: return AS_CONV_OK;
  case kSourceIllegal: return AS_CONV_ILLEGAL;
  default: return AS_CONV_INCOMPLETE;
  }
}

// Raw form of utf8_to_wide: answers a ConvResult.
int utf8_to_wide_raw(const unsigned char* in, size_t in_bytes, wchar_t* out, size_t* units, bool strict) {
  const unsigned char* src = in;
  const unsigned char* end = in + in_bytes;
  size_t capacity = *units;
  size_t written = 0;
  int result = kDone;
  while (src < end) {
    int extra = trailing_bytes(*src);
    if ((size_t)extra >= (size_t)(end - src)) {
      result = kSourceExhausted;
      break;
    }
    if (strict && !legal_sequence(src, extra + 1)) {
      result = kSourceIllegal;
      break;
    }
    if (written >= capacity) {
      result = kTargetExhausted;
      break;
    }
    uint32_t ch = 0;
    for (int i = 0; i < extra; ++i) {
      ch += *src++;
      ch <<= 6;
    }
    ch += *src++;
    ch -= kOffsets[extra];
    if (ch <= kMaxLegal) {
      out[written++] = (ch >= 0xD800 && ch <= 0xDFFF) ? (wchar_t)kReplacement : (wchar_t)ch;
    } else {
      out[written++] = (wchar_t)kReplacement;
      result = kSourceIllegal;
    }
  }
  *units = written;
  return result;
}

inline size_t utf8_size_of(uint32_t ch) {
  if (ch < 0x80) return 1;
  if (ch < 0x800) return 2;
  if (ch < 0x10000) return 3;
  return 4;
}

// Raw form of wide_to_utf8 with an output buffer: answers a ConvResult.
int wide_to_utf8_raw(const wchar_t* in, size_t in_units, unsigned char* out, size_t* bytes) {
  size_t capacity = *bytes;
  size_t written = 0;
  int result = kDone;
  for (size_t i = 0; i < in_units; ++i) {
    uint32_t ch = (uint32_t)in[i];
    bool illegal = ch > kMaxLegal;
    if (illegal) ch = kReplacement;
    size_t n = utf8_size_of(ch);
    if (n > capacity - written) {
      result = kTargetExhausted;
      break;
    }
    if (illegal) result = kSourceIllegal;
    unsigned char* p = out + written;
    switch (n) {
    case 1: p[0] = (unsigned char)ch; break;
    case 2:
      p[0] = (unsigned char)(0xC0 | (ch >> 6));
      p[1] = (unsigned char)(0x80 | (ch & 0x3F));
      break;
    case 3:
      p[0] = (unsigned char)(0xE0 | (ch >> 12));
      p[1] = (unsigned char)(0x80 | ((ch >> 6) & 0x3F));
      p[2] = (unsigned char)(0x80 | (ch & 0x3F));
      break;
    default:
      p[0] = (unsigned char)(0xF0 | (ch >> 18));
      p[1] = (unsigned char)(0x80 | ((ch >> 12) & 0x3F));
      p[2] = (unsigned char)(0x80 | ((ch >> 6) & 0x3F));
      p[3] = (unsigned char)(0x80 | (ch & 0x3F));
      break;
    }
    written += n;
  }
  *bytes = written;
  return result;
}

} // namespace

int utf8_to_wide(const char* in, size_t in_bytes, wchar_t* out, size_t* units, bool strict) {
  if (!in || !out || !units) return AS_CONV_NULL;
  if (in_bytes == 0) {
    *units = 0;
    return AS_CONV_OK;
  }
  return map_result(utf8_to_wide_raw(reinterpret_cast<const unsigned char*>(in), in_bytes, out, units, strict));
}

int wide_to_utf8(const wchar_t* in, size_t in_units, char* out, size_t* bytes) {
  if (!in || !bytes) return AS_CONV_NULL;
  if (in_units == 0) {
    *bytes = 0;
    return AS_CONV_OK;
  }
  if (!out) {
    // Size query: every unit from U+10000 up counts 4 bytes, so the answer
    // is never short even for units that will be replaced by U+FFFD.
    size_t need = 0;
    for (size_t i = 0; i < in_units; ++i) need += utf8_size_of((uint32_t)in[i]);
    *bytes = need;
    return AS_CONV_OK;
  }
  return map_result(wide_to_utf8_raw(in, in_units, reinterpret_cast<unsigned char*>(out), bytes));
}

int utf8_to_usstring(const char* text, size_t length, usstring& target, bool strict) {
  if (length == SIZE_MAX || target.fill(length + 1, 0) != AS_STR_OK) return AS_STR_NOMEM;
  if (!text) return AS_CONV_NULL;
  // One unit per byte at most, so `length` units always suffice and the
  // terminator has its own slot.
  size_t units = length;
  int result = length ? utf8_to_wide_raw(reinterpret_cast<const unsigned char*>(text), length, target.buffer(),
                                         &units, strict)
                      : kDone;
  if (length == 0) units = 0;
  target.buffer()[units] = 0;
  target.set_length(wcslen(target.c_str()));
  if (result == kTargetExhausted) target.set_status(AS_STR_CONVERSION);
  return map_result(result);
}

int sstring_to_usstring(const sstring& source, usstring& target, bool strict) {
  return utf8_to_usstring(source.c_str(), source.length(), target, strict);
}

int wide_to_sstring(const wchar_t* text, size_t units, sstring& target) {
  if (!text) return AS_CONV_NULL;
  size_t need = 0;
  wide_to_utf8(text, units, nullptr, &need);
  if (target.fill(need + 1, 0) != AS_STR_OK) return AS_STR_NOMEM;
  size_t bytes = need;
  int result = units ? wide_to_utf8_raw(text, units, reinterpret_cast<unsigned char*>(target.buffer()), &bytes)
                     : kDone;
  if (units == 0) bytes = 0;
  target.buffer()[bytes] = 0;
  target.set_length(std::strlen(target.c_str()));
  if (result == kTargetExhausted) target.set_status(AS_STR_CONVERSION);
  return map_result(result);
}

int usstring_to_sstring(const usstring& source, sstring& target) {
  return wide_to_sstring(source.c_str(), source.length(), target);
}

} // namespace ascommon
