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

  // va_list forms, used by the exported variadic functions. Scalar reads,
  // what items carry most, are answered inline; the other types out of line.
  int SetV(unsigned int key, unsigned int type, unsigned int flags, va_list args);
  void* GetV(unsigned int key, unsigned int type, unsigned int flags, va_list args) {
    switch (type) {
    case BB_TYPE_BOOL: {
      bool* out = va_arg(args, bool*);
      return GetScalar<bool>(key, type, out, va_arg(args, int) != 0);
    }
    case BB_TYPE_INT: {
      int32_t* out = va_arg(args, int32_t*);
      return GetScalar<int32_t>(key, type, out, va_arg(args, int));
    }
    case BB_TYPE_LONG:
    case BB_TYPE_ULONG: {
      int64_t* out = va_arg(args, int64_t*);
      return GetScalar<int64_t>(key, type, out, va_arg(args, int64_t));
    }
    case BB_TYPE_DOUBLE: {
      double* out = va_arg(args, double*);
      return GetScalar<double>(key, type, out, va_arg(args, double));
    }
    default:
      return GetOtherV(key, type, flags, args);
    }
  }

  ascommon::CMap<unsigned int, Element*>& Elements() { return elements_; }

private:
  // The map's hash: one multiplication spreads keys that differ in any bits
  // (commonly neighbours) over the buckets; no caller outside the box ever
  // looks into its map, so it need not be the containers' default.
  static uint32_t KeyHash(const unsigned int& key) {
    uint32_t h = key * 0x9E3779B1u;
    return h ^ (h >> 16);
  }
  void* GetOtherV(unsigned int key, unsigned int type, unsigned int flags, va_list args);

  // A scalar element of the type: copied to out (out answered) or, with a
  // null out, its address. Absent (or of another type): the default in out.
  template <class T>
  void* GetScalar(unsigned int key, uint32_t type, T* out, T def) const {
    Element* e = FindElement(key);
    if (e && e->type == type) {
      T* stored = static_cast<T*>(e->value);
      if (!out) return stored;
      *out = *stored;
      return out;
    }
    if (!out) return nullptr;
    *out = def;
    return out;
  }

  // The element under key, or null; the hash is called directly, not through
  // the map's pointer.
  Element* FindElement(unsigned int key) const {
    Element* const* e = elements_.FindHashed(KeyHash(key), [key](unsigned int k) { return k == key; });
    return e ? *e : nullptr;
  }

  ascommon::CMap<unsigned int, Element*> elements_;
};
