// sstring.cpp - the foundation's byte string.
//
// Allocation rule: a text whose size (length + 1) is at most 23 bytes lives in
// the inline area; anything longer gets a heap block of exactly its size from
// _as_new(size, false). Nothing throws: every failure keeps the old text and
// records a status. Sources may point into the string's own buffer (s = s.c_str()
// + 1, s.append(s)): the old buffer is released only after the copy.
#include "sstring.h"

#include "layout_check.h" // compile-time layout checks, here for library and SDK alike

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "hooks.h"
#include "ustring.h"

namespace ascommon {

namespace {

// Texts with a size up to this many bytes stay inline. The area has one byte
// more; fill() may use it for a 23-character work buffer.
const size_t kInlineText = sstring::kInlineSize - 1;

char* alloc_bytes(size_t size) {
  try {
    return static_cast<char*>(_as_new(size, false));
  } catch (...) {
    return nullptr; // a replaced hook that throws anyway must not escape
  }
}

} // namespace

sstring::sstring() : data_(nullptr), length_(0), size_(0), status_(AS_STR_OK) { inline_[0] = 0; }

sstring::sstring(const char* text) : sstring() {
  if (text) assign(text, std::strlen(text));
}

sstring::sstring(const char* text, size_t count) : sstring() {
  if (text && assign(text, count) == AS_STR_OK) length_ = std::strlen(data_);
}

sstring::sstring(const sstring& other) : sstring() {
  if (other.data_) assign(other.data_, (size_t)other.length_);
}

sstring::~sstring() { release(); }

void sstring::release() {
  if (data_ && data_ != inline_) _as_delete(data_);
  data_ = nullptr;
  length_ = 0;
  size_ = 0;
}

sstring& sstring::operator=(const sstring& other) {
  if (this == &other) return *this;
  if (!other.data_) {
    release();
    status_ = AS_STR_OK;
    return *this;
  }
  assign(other.data_, (size_t)other.length_);
  return *this;
}

sstring& sstring::operator=(const char* text) {
  if (text == data_ && text) return *this;
  if (!text) {
    release();
    status_ = AS_STR_OK;
    return *this;
  }
  assign(text, std::strlen(text));
  return *this;
}

int sstring::assign(const char* text, size_t count) {
  if (!text) {
    release();
    status_ = AS_STR_OK;
    return 0;
  }
  if ((uint64_t)count == UINT64_MAX) return status_ = AS_STR_BADLEN;
  size_t need = count + 1;
  if (need <= kInlineText) {
    std::memmove(inline_, text, count);
    inline_[count] = 0;
    if (data_ && data_ != inline_) _as_delete(data_);
    data_ = inline_;
  } else {
    char* block = alloc_bytes(need);
    if (!block) return status_ = AS_STR_NOMEM;
    std::memcpy(block, text, count);
    block[count] = 0;
    release();
    data_ = block;
  }
  length_ = count;
  size_ = need;
  return status_ = AS_STR_OK;
}

int sstring::fill(size_t count, char c) {
  // A zero byte asks for a zeroed work buffer of exactly count bytes, length 0.
  size_t need = c ? count + 1 : count;
  if (c && need == 0) return status_ = AS_STR_NOMEM;
  char* block;
  if (count < kInlineSize) {
    block = inline_;
  } else {
    block = alloc_bytes(need);
    if (!block) return status_ = AS_STR_NOMEM;
  }
  if (data_ && data_ != inline_) _as_delete(data_);
  data_ = block;
  if (c) {
    std::memset(data_, c, count);
    data_[count] = 0;
    length_ = count;
  } else {
    std::memset(data_, 0, block == inline_ ? kInlineSize : need);
    length_ = 0;
  }
  size_ = need;
  return status_ = AS_STR_OK;
}

// Returns 0 even when the block cannot be had: callers that care read status().
int sstring::append(const char* text, size_t count) {
  if (!text || count == 0) return 0;
  if (!data_) {
    assign(text, count);
    return 0;
  }
  uint64_t need = length_ + (uint64_t)count + 1;
  if (need < (uint64_t)count) { // wrapped
    status_ = AS_STR_NOMEM;
    return 0;
  }
  if (need <= kInlineText) {
    if (data_ != inline_) {
      std::memmove(inline_, data_, (size_t)length_);
      std::memmove(inline_ + length_, text, count);
      _as_delete(data_);
      data_ = inline_;
    } else {
      std::memmove(inline_ + length_, text, count);
    }
  } else {
    char* block = alloc_bytes((size_t)need);
    if (!block) {
      status_ = AS_STR_NOMEM;
      return 0;
    }
    std::memcpy(block, data_, (size_t)length_);
    std::memcpy(block + length_, text, count);
    if (data_ != inline_) _as_delete(data_);
    data_ = block;
  }
  length_ += count;
  data_[length_] = 0;
  size_ = need;
  status_ = AS_STR_OK;
  return 0;
}

int sstring::append(const sstring& other) { return append(other.data_, (size_t)other.length_); }

int sstring::compare(const sstring& other, bool ignore_case) const { return compare(other.data_, ignore_case); }

int sstring::compare(const char* other, bool ignore_case) const {
  if (!data_) return -3;
  if (!other) return -2;
  return ignore_case ? strcasecmp(data_, other) : std::strcmp(data_, other);
}

bool sstring::operator==(const sstring& other) const {
  if (this == &other) return true;
  if (!data_ && !other.data_) return false;
  if (length_ != other.length_) return false;
  // A null string has length 0 and so equals an empty one.
  return length_ == 0 || std::memcmp(data_, other.data_, (size_t)length_) == 0;
}

bool sstring::operator!=(const sstring& other) const {
  if (this == &other || (!data_ && !other.data_)) return false;
  return compare(other) != 0;
}

bool sstring::operator<(const sstring& other) const {
  if (this == &other || (!data_ && !other.data_)) return false;
  return compare(other) < 0;
}

bool sstring::operator>(const sstring& other) const {
  if (this == &other || (!data_ && !other.data_)) return false;
  return compare(other) > 0;
}

uint32_t sstring::hash() const {
  if (!data_ || length_ == 0) return 0;
  uint32_t h = 5381;
  for (uint64_t i = 0; i < length_; ++i) h = (h * 33u) ^ (uint32_t)(int32_t)(signed char)data_[i];
  return h;
}

usstring sstring::to_usstring() const {
  usstring out;
  if (!data_) return out;
  size_t units = std::mbstowcs(nullptr, data_, 0);
  if (units == (size_t)-1) return out;
  if (out.fill(units + 1, 0) != AS_STR_OK) return usstring();
  if (std::mbstowcs(out.buffer(), data_, units + 1) == (size_t)-1) return usstring();
  out.set_length(units);
  return out;
}

void sstring::set_length(size_t length) {
  if (!data_ || (uint64_t)length >= size_) return;
  length_ = length;
  data_[length] = 0;
}

sstring operator+(const sstring& a, const sstring& b) {
  sstring out;
  if (a.length() + b.length() == 0) return out;
  out = a;
  out.append(b);
  return out;
}

} // namespace ascommon
