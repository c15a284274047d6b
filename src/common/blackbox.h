// blackbox.h - the black box: a typed key/value bag.
//
// CBlackBox is the abstract interface that plug-ins call by slot; the slot
// order (destructors last) is binary contract. CBlackBoxInt is the one
// implementation.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "ascore/ascore.h"
#include "containers.h"

class CBlackBox {
public:
  virtual int Set(unsigned int key, unsigned int type, unsigned int flags, ...) = 0;      // 0
  virtual void* Get(unsigned int key, unsigned int type, unsigned int flags, ...) = 0;    // 1
  virtual int SetUnicodeString(unsigned int key, const wchar_t* text) = 0;                // 2
  virtual int SetUTF8String(unsigned int key, const char* text) = 0;                      // 3
  virtual int SetUnicodeArray(unsigned int key, const wchar_t* const* texts, size_t n) = 0; // 4
  virtual int SetUTF8Array(unsigned int key, const char* const* texts, size_t n) = 0;     // 5
  virtual int SetUnicodeArrayObject(unsigned int key, const ascommon::CArray<ascommon::usstring, 64>* a) = 0; // 6
  virtual int SetUTF8ArrayObject(unsigned int key, const ascommon::CArray<ascommon::sstring, 64>* a) = 0;     // 7
  virtual int Remove(unsigned int key) = 0;                                               // 8
  virtual void Empty() = 0;                                                               // 9
  virtual unsigned int GetCount() = 0;                                                    // 10
  virtual ~CBlackBox() {}                                                                 // 11, 12
};

// Flags of Set and Get.
enum { BB_FLAGS_RAW = 0, BB_FLAGS_OBJECT = 1 };

// Well-known black-box identifiers used by the core.
enum {
  BB_ID_DEPENDENCY_REQUEST = 25051, // bool, set before asking a module for its dependencies
  BB_ID_DEPENDENCIES = 25052,       // string array: names of modules that must come first
  BB_ID_BREAK_FAILED = 21101,       // bool, set in the item black box when breaking failed
  BB_ID_BREAK_FAILED2 = 31061,      // bool, set with the entry above
  BB_ID_BREAK_TIME = 22047          // double, seconds spent breaking for a timed filter
};

// Allocated and released through the hooks like the foundation objects: a
// box may be made by a plug-in and destroyed by the core, or the reverse.
class CBlackBoxInt : public CBlackBox, public ascommon::CHookAllocated<CBlackBoxInt> {
public:
  struct Element {
    uint32_t type;
    void* value; // owned
  };

  // Creates a box with 64 buckets; null (and -102 with its message recorded)
  // when it cannot be allocated.
  static CBlackBoxInt* Create();
  // Deep copy (pointer elements are left out); null on failure.
  CBlackBoxInt* Clone() const;

  CBlackBoxInt();
  ~CBlackBoxInt() override;

  int Set(unsigned int key, unsigned int type, unsigned int flags, ...) override;
  void* Get(unsigned int key, unsigned int type, unsigned int flags, ...) override;
  int SetUnicodeString(unsigned int key, const wchar_t* text) override;
  int SetUTF8String(unsigned int key, const char* text) override;
  int SetUnicodeArray(unsigned int key, const wchar_t* const* texts, size_t n) override;
  int SetUTF8Array(unsigned int key, const char* const* texts, size_t n) override;
  int SetUnicodeArrayObject(unsigned int key, const ascommon::CArray<ascommon::usstring, 64>* a) override;
  int SetUTF8ArrayObject(unsigned int key, const ascommon::CArray<ascommon::sstring, 64>* a) override;
  int Remove(unsigned int key) override;
  void Empty() override;
  unsigned int GetCount() override;

  // va_list forms, used by the exported variadic functions.
  int SetV(unsigned int key, unsigned int type, unsigned int flags, va_list args);
  void* GetV(unsigned int key, unsigned int type, unsigned int flags, va_list args);

  ascommon::CMap<unsigned int, Element*>& Elements() { return elements_; }

private:
  ascommon::CMap<unsigned int, Element*> elements_;
};
