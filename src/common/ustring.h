// ustring.h - the foundation's wide (UTF-32) string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <wchar.h>

#include "bbobject.h"
#include "sstring.h"

namespace ascommon {

class usstring : public CBlackBoxObject {
public:
  usstring();                                  // null string
  usstring(const wchar_t* text);               // null pointer gives a null string
  usstring(const wchar_t* text, size_t count); // copies count units, length by wcslen
  usstring(const usstring& other);
  ~usstring() override;

  usstring& operator=(const usstring& other);

  int assign(const wchar_t* text, size_t count);
  int fill(size_t count, wchar_t c);
  int append(const wchar_t* text, size_t count);
  int append(const usstring& other);

  int compare(const usstring& other, bool ignore_case = false) const;
  int compare(const wchar_t* other, bool ignore_case = false) const;
  bool operator==(const usstring& other) const;
  bool operator!=(const usstring& other) const;
  bool operator<(const usstring& other) const;
  bool operator>(const usstring& other) const;

  uint32_t hash() const;

  const wchar_t* c_str() const { return data_; }
  wchar_t* buffer() { return data_; }
  bool is_null() const { return data_ == nullptr; }
  size_t length() const { return (size_t)length_; }
  size_t capacity() const { return (size_t)capacity_; }
  bool ignore_case() const { return ignore_case_; }
  void set_ignore_case(bool on) { ignore_case_ = on; }
  int status() const { return status_; }
  void set_status(int status) { status_ = status; }
  void set_length(size_t length);

private:
  friend struct LayoutCheck;
  void release();

  wchar_t* data_;
  uint64_t length_;
  uint64_t capacity_;
  bool ignore_case_;
  int32_t status_;
};

usstring operator+(const usstring& a, const usstring& b);

} // namespace ascommon

static_assert(sizeof(wchar_t) == 4, "wide strings hold 32-bit units");
static_assert(sizeof(ascommon::usstring) == 40, "usstring layout");
