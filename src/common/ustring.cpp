// ustring.cpp - the foundation's wide (UTF-32) string.
//
// Unlike sstring there is no inline area: a non-null usstring always owns a
// heap block from _as_new(…, false), and appends reallocate exactly. Nothing
// throws; failures keep the old text and record a status.
#include "ustring.h"

#include <cstring>
#include <cwchar>

#include "hooks.h"

namespace ascommon {

namespace {

// A block of `units` wide units (at least one, so that even a zero-unit work
// buffer is terminated), or null.
wchar_t* alloc_units(size_t units) {
  if (units > SIZE_MAX / sizeof(wchar_t) - 1) return nullptr;
  size_t bytes = (units ? units : 1) * sizeof(wchar_t);
  wchar_t* block;
  try {
    block = static_cast<wchar_t*>(_as_new(bytes, false));
  } catch (...) {
    return nullptr; // a replaced hook that throws anyway must not escape
  }
  if (block && units == 0) block[0] = 0;
  return block;
}

} // namespace

usstring::usstring() : data_(nullptr), length_(0), capacity_(0), ignore_case_(false), status_(AS_STR_OK) {}

usstring::usstring(const wchar_t* text) : usstring() {
  if (text) assign(text, wcslen(text));
}

usstring::usstring(const wchar_t* text, size_t count) : usstring() {
  if (text && assign(text, count) == AS_STR_OK) length_ = wcslen(data_);
}

usstring::usstring(const usstring& other) : usstring() { *this = other; }

usstring::~usstring() { release(); }

void usstring::release() {
  if (data_) _as_delete(data_);
  data_ = nullptr;
  length_ = 0;
  capacity_ = 0;
}

usstring& usstring::operator=(const usstring& other) {
  if (this == &other) return *this;
  if (!other.data_) {
    release();
    ignore_case_ = other.ignore_case_;
    status_ = AS_STR_OK;
    return *this;
  }
  // Work buffers (fill with 0) may hold more than length + 1 units: copy them
  // whole so that a copy is as usable as the original.
  uint64_t units = other.capacity_ > other.length_ ? other.capacity_ : other.length_ + 1;
  wchar_t* block = alloc_units((size_t)units);
  if (!block) {
    status_ = AS_STR_NOMEM;
    return *this;
  }
  if (other.capacity_ >= units)
    std::memcpy(block, other.data_, (size_t)units * sizeof(wchar_t));
  else {
    std::memcpy(block, other.data_, (size_t)other.length_ * sizeof(wchar_t));
    block[other.length_] = 0;
  }
  release();
  data_ = block;
  length_ = other.length_;
  capacity_ = units;
  ignore_case_ = other.ignore_case_;
  status_ = AS_STR_OK;
  return *this;
}

int usstring::assign(const wchar_t* text, size_t count) {
  if (!text) {
    release();
    status_ = AS_STR_OK;
    return 0;
  }
  wchar_t* block = count < SIZE_MAX / sizeof(wchar_t) ? alloc_units(count + 1) : nullptr;
  if (!block) return status_ = AS_STR_NOMEM;
  std::memcpy(block, text, count * sizeof(wchar_t));
  block[count] = 0;
  release();
  data_ = block;
  length_ = count;
  capacity_ = (uint64_t)count + 1;
  return status_ = AS_STR_OK;
}

int usstring::fill(size_t count, wchar_t c) {
  size_t units = c ? count + 1 : count;
  if (c && units == 0) return status_ = AS_STR_NOMEM;
  wchar_t* block = alloc_units(units);
  if (!block) return status_ = AS_STR_NOMEM;
  if (c) {
    for (size_t i = 0; i < count; ++i) block[i] = c;
    block[count] = 0;
  } else if (units) {
    std::memset(block, 0, units * sizeof(wchar_t));
  }
  release();
  data_ = block;
  length_ = c ? count : 0;
  capacity_ = units;
  return status_ = AS_STR_OK;
}

int usstring::append(const wchar_t* text, size_t count) {
  if (!text) return 0;
  size_t available = wcslen(text);
  if (!data_) return assign(text, available);
  if (count > available) return status_ = AS_STR_BADLEN;
  uint64_t units = length_ + (uint64_t)count + 1;
  wchar_t* block = alloc_units((size_t)units);
  if (!block) return status_ = AS_STR_NOMEM;
  std::memcpy(block, data_, (size_t)length_ * sizeof(wchar_t));
  std::memcpy(block + length_, text, count * sizeof(wchar_t));
  block[length_ + count] = 0;
  uint64_t length = length_ + count;
  release();
  data_ = block;
  length_ = length;
  capacity_ = units;
  return status_ = AS_STR_OK;
}

int usstring::append(const usstring& other) {
  if (!other.data_) return 0;
  return append(other.data_, (size_t)other.length_);
}

int usstring::compare(const usstring& other, bool ignore_case) const { return compare(other.data_, ignore_case); }

int usstring::compare(const wchar_t* other, bool ignore_case) const {
  if (!data_) return -3;
  if (!other) return -2;
  return ignore_case ? wcscasecmp(data_, other) : wcscmp(data_, other);
}

bool usstring::operator==(const usstring& other) const {
  if (this == &other) return true;
  if (!data_ && !other.data_) return false;
  return compare(other, ignore_case_) == 0;
}

bool usstring::operator!=(const usstring& other) const {
  if (this == &other || (!data_ && !other.data_)) return false;
  return compare(other, ignore_case_) != 0;
}

bool usstring::operator<(const usstring& other) const {
  if (this == &other || (!data_ && !other.data_)) return false;
  return compare(other, ignore_case_) < 0;
}

bool usstring::operator>(const usstring& other) const {
  if (this == &other || (!data_ && !other.data_)) return false;
  return compare(other, ignore_case_) > 0;
}

uint32_t usstring::hash() const {
  if (!data_ || length_ == 0) return 0;
  uint32_t h = 5381;
  for (uint64_t i = 0; i < length_; ++i) h = (h * 33u) ^ (uint32_t)data_[i];
  return h;
}

void usstring::set_length(size_t length) {
  if (!data_ || (uint64_t)length >= capacity_) return;
  length_ = length;
  data_[length] = 0;
}

usstring operator+(const usstring& a, const usstring& b) {
  usstring out;
  if (a.length() + b.length() == 0) return out;
  out = a;
  out.append(b);
  return out;
}

} // namespace ascommon
