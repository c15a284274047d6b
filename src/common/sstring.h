// sstring.h - the foundation's byte string.
//
// A string is either null (no buffer) or holds a NUL-terminated buffer. Texts
// that need at most 23 bytes (22 characters) live in the inline area; longer
// ones take a heap block of exactly the size needed. Nothing here throws:
// failures leave the old text in place and set the status field.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bbobject.h"

namespace ascommon {

class usstring;

// Status values kept in the status fields of both string classes.
enum { AS_STR_OK = 0, AS_STR_NOMEM = -2, AS_STR_BADLEN = -50, AS_STR_CONVERSION = -250 };

class sstring : public CBlackBoxObject {
public:
  static const size_t kInlineSize = 24;

  sstring();                               // null string
  sstring(const char* text);               // null pointer gives a null string
  sstring(const char* text, size_t count); // copies count bytes, length by strlen
  sstring(const sstring& other);
  ~sstring() override;

  sstring& operator=(const sstring& other);
  sstring& operator=(const char* text);

  int assign(const char* text, size_t count);
  int fill(size_t count, char c);
  int append(const char* text, size_t count);
  int append(const sstring& other);

  int compare(const sstring& other, bool ignore_case = false) const;
  int compare(const char* other, bool ignore_case = false) const;
  bool operator==(const sstring& other) const;
  bool operator!=(const sstring& other) const;
  bool operator<(const sstring& other) const;
  bool operator>(const sstring& other) const;

  uint32_t hash() const;
  usstring to_usstring() const;

  const char* c_str() const { return data_; } // null for a null string
  char* buffer() { return data_; }            // writable text (after fill)
  bool is_null() const { return data_ == nullptr; }
  size_t length() const { return (size_t)length_; }
  size_t size() const { return (size_t)size_; }
  int status() const { return status_; }
  void set_status(int status) { status_ = status; }
  // After writing into a fill()ed buffer: sets the length (must be < size).
  void set_length(size_t length);

private:
  friend struct LayoutCheck;
  void release();

  char* data_;
  char inline_[kInlineSize];
  uint64_t length_;
  uint64_t size_;
  int32_t status_;
};

sstring operator+(const sstring& a, const sstring& b);

} // namespace ascommon

// Plug-ins embed sstring names at fixed places: the layout is binary contract.
static_assert(sizeof(ascommon::sstring) == 64, "sstring layout");
