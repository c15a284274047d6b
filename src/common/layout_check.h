// layout_check.h - field offsets of the foundation types that plug-ins built
// separately embed or read in place (module names, session maps, black-box
// arrays). Included by one source file of the library and of the SDK so that a
// moved field fails the build on both sides.
#pragma once

#include <cstddef>

#include "containers.h"
#include "exceptions.h"
#include "sstring.h"
#include "ustring.h"

namespace ascommon {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
struct LayoutCheck {
  // sstring: vtable, data, inline area, length, size, status.
  static_assert(offsetof(sstring, data_) == 8, "sstring data");
  static_assert(offsetof(sstring, inline_) == 16, "sstring inline area");
  static_assert(sizeof(sstring::inline_) == 24, "sstring inline area size");
  static_assert(offsetof(sstring, length_) == 40, "sstring length");
  static_assert(offsetof(sstring, size_) == 48, "sstring size");
  static_assert(offsetof(sstring, status_) == 56, "sstring status");
  // usstring: vtable, data, length, capacity, ignore case, status.
  static_assert(offsetof(usstring, data_) == 8, "usstring data");
  static_assert(offsetof(usstring, length_) == 16, "usstring length");
  static_assert(offsetof(usstring, capacity_) == 24, "usstring capacity");
  static_assert(offsetof(usstring, ignore_case_) == 32, "usstring ignore case");
  static_assert(offsetof(usstring, status_) == 36, "usstring status");
  // CArray: vtable, data, count, capacity, growth step.
  typedef CArray<sstring, 64> Strings;
  static_assert(offsetof(Strings, data_) == 8, "CArray data");
  static_assert(offsetof(Strings, count_) == 16, "CArray count");
  static_assert(offsetof(Strings, capacity_) == 24, "CArray capacity");
  static_assert(offsetof(Strings, step_) == 32, "CArray step");
  // CMap: vtable, bucket count, element count, heads, tails, ordered, hash.
  typedef CMap<unsigned long, void*> Map;
  static_assert(offsetof(Map, bucket_count_) == 8, "CMap bucket count");
  static_assert(offsetof(Map, count_) == 12, "CMap element count");
  static_assert(offsetof(Map, heads_) == 16, "CMap heads");
  static_assert(offsetof(Map, tails_) == 24, "CMap tails");
  static_assert(offsetof(Map, ordered_) == 32, "CMap ordered chains");
  static_assert(offsetof(Map, hash_) == 40, "CMap hash function");
  static_assert(offsetof(Map::Node, key) == 0 && offsetof(Map::Node, value) == 8 &&
                    offsetof(Map::Node, next) == 16, "CMap node: key, value, next");
  // CList: vtable, head, tail, count.
  typedef CList<void*> List;
  static_assert(offsetof(List, head_) == 8 && offsetof(List, tail_) == 16 && offsetof(List, count_) == 24,
                "CList layout");
  // ASException: vtable, flag, code, 513-byte message.
  static_assert(offsetof(ASException, flag_) == 8, "exception flag");
  static_assert(offsetof(ASException, code_) == 12, "exception code");
  static_assert(offsetof(ASException, message_) == 16, "exception message");
  static_assert(sizeof(ASException) == 536, "exception size");
};
#pragma GCC diagnostic pop

} // namespace ascommon
