// exceptions.cpp - the exception family's message handling.
//
// Messages are formatted into the object's own 513-byte buffer, never onto the
// heap, so an out-of-memory failure can still be described. Formatting writes
// at most 512 bytes including the NUL; the last byte is forced to NUL after
// every write so even a full 512-byte copy stays terminated.
#include "exceptions.h"

#include <cstdio>
#include <cstring>

const char* AException::what() const noexcept { return "Antispam Exception"; }
int AException::GetCode() const { return -1; }
bool AException::GetFlag() const { return false; }

ASException::ASException() : flag_(false), code_(-1) {
  message_[0] = 0;
  message_[kMessageSize - 1] = 0;
}

ASException::ASException(const char* format, ...) : flag_(false), code_(-1) {
  message_[0] = 0;
  va_list args;
  va_start(args, format);
  SetMessageV(format, args);
  va_end(args);
}

ASException::ASException(int code, const char* format, ...) : flag_(false), code_(code) {
  message_[0] = 0;
  va_list args;
  va_start(args, format);
  SetMessageV(format, args);
  va_end(args);
}

ASException::ASException(const ASException& other)
    : AException(other), flag_(other.flag_), code_(other.code_) {
  std::memcpy(message_, other.message_, kMessageSize - 1);
  message_[kMessageSize - 1] = 0;
}

ASException& ASException::operator=(const ASException& other) {
  if (this == &other) return *this;
  flag_ = other.flag_;
  code_ = other.code_;
  std::memcpy(message_, other.message_, kMessageSize - 1);
  message_[kMessageSize - 1] = 0;
  return *this;
}

const char* ASException::what() const noexcept { return message_[0] ? message_ : "unknown exception"; }
int ASException::GetCode() const { return code_; }
bool ASException::GetFlag() const { return flag_; }

void ASException::SetMessageV(const char* format, va_list args) {
  if (!format) {
    code_ = 0;
    std::memset(message_, 0, kMessageSize);
    return;
  }
  std::vsnprintf(message_, kMessageSize - 1, format, args);
  message_[kMessageSize - 1] = 0;
}

ASInternalException::ASInternalException(const char* format, ...) : ASException(DefaultCode(), kDefaultCode) {
  va_list args;
  va_start(args, format);
  SetMessageV(format, args);
  va_end(args);
}

ASInternalException::ASInternalException(int code, const char* format, ...) : ASException(DefaultCode(), code) {
  va_list args;
  va_start(args, format);
  SetMessageV(format, args);
  va_end(args);
}
