// exceptions.h - the library's exception family and the log-then-throw helper.
//
// Every exception carries a signed code and a fixed 513-byte message buffer, so
// constructing, copying and throwing one never allocates (beyond the exception
// storage itself) - out-of-memory can still be reported.
#pragma once

#include <cstdarg>
#include <exception>

#include "hooks.h"
#include "trace.h"

namespace ascommon {
struct LayoutCheck;
}

class AException : public std::exception {
public:
  ~AException() override {}                  // slots 0, 1
  const char* what() const noexcept override; // slot 2: "Antispam Exception"
  virtual int GetCode() const;                 // slot 3: -1
  virtual bool GetFlag() const;                // slot 4: false
};

class ASException : public AException {
public:
  static const unsigned kMessageSize = 513;

  ASException();
  explicit ASException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  ASException(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
  ASException(const ASException& other);
  ASException& operator=(const ASException& other);
  ~ASException() override {}

  const char* what() const noexcept override;
  int GetCode() const override;
  bool GetFlag() const override;

  void SetMessageV(const char* format, va_list args);
  void SetCode(int code) { code_ = code; }
  void SetFlag(bool flag) { flag_ = flag; }

protected:
  struct DefaultCode {};
  ASException(DefaultCode, int code) : flag_(false), code_(code) { message_[0] = 0; message_[kMessageSize - 1] = 0; }

private:
  friend struct ascommon::LayoutCheck;
  bool flag_;
  int code_;
  char message_[kMessageSize];
};

// Subclasses add no fields: they differ by class, default code and vtable.
#define AS_DECLARE_EXCEPTION(Name, Code)                                              \
  class Name : public ASException {                                                   \
  public:                                                                             \
    static const int kDefaultCode = (Code);                                           \
    Name() : ASException(DefaultCode(), kDefaultCode) {}                              \
    explicit Name(const char* format, ...) __attribute__((format(printf, 2, 3)))      \
        : ASException(DefaultCode(), kDefaultCode) {                                  \
      va_list args;                                                                   \
      va_start(args, format);                                                         \
      SetMessageV(format, args);                                                      \
      va_end(args);                                                                   \
    }                                                                                 \
    ~Name() override {}                                                               \
  }

AS_DECLARE_EXCEPTION(ASMemException, -2);
AS_DECLARE_EXCEPTION(ASBadPtrException, -1);
AS_DECLARE_EXCEPTION(ASBadCastException, -1);
AS_DECLARE_EXCEPTION(InternalLoaderException, -1);
AS_DECLARE_EXCEPTION(CASConfigurerBadEx, -1);
AS_DECLARE_EXCEPTION(CASConfigurerSpecialEx, -1);
AS_DECLARE_EXCEPTION(InvalidIndexException, -301);
AS_DECLARE_EXCEPTION(EmptyListException, -400);

class ASInternalException : public ASException {
public:
  static const int kDefaultCode = -3;
  ASInternalException() : ASException(DefaultCode(), kDefaultCode) {}
  explicit ASInternalException(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Coded form: the given code, the bare detail text (no class prefix).
  ASInternalException(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));
  ~ASInternalException() override {}
};

// Log-then-throw: one "[ANTISPAM EXCEPTION]" trace line with the composed
// message, then the exception built from the same format and arguments.
// The format names the class first, e.g.
//   AS_THROW(ASMemException, "ASMemException - MESSAGE: Not enough memory for a new item.");
#define AS_THROW_AT(level, ExClass, format, ...)                                       \
  do {                                                                                \
    AS_TRACE_EXCEPTION(level, format, ##__VA_ARGS__);                                 \
    throw ExClass(format, ##__VA_ARGS__);                                             \
  } while (0)
#define AS_THROW(ExClass, format, ...) AS_THROW_AT(1, ExClass, format, ##__VA_ARGS__)
