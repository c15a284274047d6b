// as_errno.h - the per-thread error state and the status codes.
#pragma once

#include <cstdint>

#include "ascore/ascore.h"

// Abstract interface of the error state; plug-ins reach it through the
// _as_get_err hook and call it by slot, so the slot order is binary contract.
class AbstractASErrno {
public:
  virtual AbstractASErrno* SetCode(int code) = 0;          // slot 0
  virtual AbstractASErrno* SetMessage(const char* text) = 0; // slot 1
  virtual int GetCode() = 0;                               // slot 2
  virtual const char* GetMessage() = 0;                    // slot 3
  virtual ~AbstractASErrno() {}                            // slots 4, 5
};

// The one implementation. It holds no data: the state lives in three
// thread-specific blocks (code, stored message, formatted text).
class ASErrno : public AbstractASErrno {
public:
  static const unsigned kMessageSize = 4196;

  ASErrno();
  ~ASErrno() override;
  AbstractASErrno* SetCode(int code) override;
  AbstractASErrno* SetMessage(const char* text) override;
  int GetCode() override;
  const char* GetMessage() override;

  // The text for an arbitrary code, by the same rules as GetMessage.
  const char* TextForCode(int code);
};

// The process-wide object (constructed at library load).
ASErrno* as_errno_instance();

// Hook defaults.
AbstractASErrno* as_default_get_err();
int as_default_set_err(int code, const char* format, ...) __attribute__((format(printf, 2, 3)));
int as_default_set_err_msg(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Entry reset of an exported function: code 0, message "There are no errors".
void as_entry_reset();
