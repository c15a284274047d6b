// convert.h - UTF-8 <-> wide (UTF-32) conversions.
//
// The two core converters allocate nothing and never throw. Statuses:
// 0 done, -51 input ends inside a sequence or output full, -50 illegal input,
// -1 null pointer.
#pragma once

#include <cstddef>
#include <wchar.h>

#include "sstring.h"
#include "ustring.h"

namespace ascommon {

enum { AS_CONV_OK = 0, AS_CONV_NULL = -1, AS_CONV_ILLEGAL = -50, AS_CONV_INCOMPLETE = -51 };

// UTF-8 to wide. *units: capacity of out in, units written out.
int utf8_to_wide(const char* in, size_t in_bytes, wchar_t* out, size_t* units, bool strict);

// Wide to UTF-8. out null: stores the number of bytes needed in *bytes and
// answers 0. Otherwise *bytes: capacity in, bytes written out.
int wide_to_utf8(const wchar_t* in, size_t in_units, char* out, size_t* bytes);

// UTF-8 pointer and length into target (length + 1 zeroed units, converted,
// terminated, length by wcslen; -250 status in target when output did not fit).
int utf8_to_usstring(const char* text, size_t length, usstring& target, bool strict);
int sstring_to_usstring(const sstring& source, usstring& target, bool strict);

// Wide text (units long) into target (size asked first).
int wide_to_sstring(const wchar_t* text, size_t units, sstring& target);
int usstring_to_sstring(const usstring& source, sstring& target);

} // namespace ascommon
