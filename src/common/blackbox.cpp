// blackbox.cpp - the black box: a typed key/value bag.
//
// Each key holds one element: a type code and the value storage that the
// element owns (a scalar, a foundation string, a pair of them, or arrays of
// them), kept in one block with the map node that files it. Opaque pointers and string handles are stored as given and never
// followed. Everything is allocated through the _as_new hook and released
// through _as_delete, never the global operators: a box filled by a plug-in
// may be emptied by the core. Nothing throws for memory: an allocation that
// fails turns into -102 "memory allocation", never into a throw across a
// plug-in slot.
//
// This file is compiled into plug-ins as well; it reaches the error state and
// the trace log only through the hooks.
//
// Threading: a box has no lock. Whoever shares one between threads
// serialises the calls on it.
#include "blackbox.h"

#include <climits>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "convert.h"
#include "exceptions.h"
#include "hooks.h"
#include "trace.h"

using ascommon::CArray;
using ascommon::sstring;
using ascommon::usstring;

namespace {

using Element = CBlackBoxInt::Element;

// BB_TYPE_UTF8: the text as given and its wide conversion.
struct Utf8Value {
  sstring narrow;
  usstring wide;
};

// BB_TYPE_UTF8_ARRAY: the texts as given and their wide conversions, index
// for index. Both arrays are allocated by Init so that a failure can be seen.
struct Utf8ArrayValue {
  Utf8ArrayValue() : narrow(nullptr), wide(nullptr) {}
  ~Utf8ArrayValue() {
    delete narrow;
    delete wide;
  }
  Utf8ArrayValue(const Utf8ArrayValue&) = delete;
  Utf8ArrayValue& operator=(const Utf8ArrayValue&) = delete;
  bool Init() {
    narrow = new (std::nothrow) CArray<sstring, 64>();
    wide = new (std::nothrow) CArray<usstring, 64>();
    return narrow && wide;
  }
  CArray<sstring, 64>* narrow;
  CArray<usstring, 64>* wide;
};

const int kInvalidInput = AS_ERR_INVALID_INPUT;
const int kNoMemory = AS_ERR_MEMORY;
const int kBadPointer = AS_ERR_INVALID_POINTER;

template <class T>
struct Tag {
  using type = T;
};

// Calls f(Tag<storage type>) for a valid type code; false for codes above 17.
template <class F>
bool WithStorageType(uint32_t type, F&& f) {
  switch (type) {
  case BB_TYPE_BOOL: f(Tag<bool>()); return true;
  case BB_TYPE_INT: f(Tag<int32_t>()); return true;
  case BB_TYPE_LONG: f(Tag<int64_t>()); return true;
  case BB_TYPE_ULONG: f(Tag<uint64_t>()); return true;
  case BB_TYPE_DOUBLE: f(Tag<double>()); return true;
  case BB_TYPE_STRING: f(Tag<sstring>()); return true;
  case BB_TYPE_WSTRING: f(Tag<usstring>()); return true;
  case BB_TYPE_POINTER: f(Tag<void*>()); return true;
  case BB_TYPE_UTF8: f(Tag<Utf8Value>()); return true;
  case BB_TYPE_BYTE_ARRAY: f(Tag<CArray<char, 64>>()); return true;
  case BB_TYPE_INT_ARRAY: f(Tag<CArray<int, 64>>()); return true;
  case BB_TYPE_LONG_ARRAY: f(Tag<CArray<long, 64>>()); return true;
  case BB_TYPE_ULONG_ARRAY: f(Tag<CArray<unsigned long, 64>>()); return true;
  case BB_TYPE_DOUBLE_ARRAY: f(Tag<CArray<double, 64>>()); return true;
  case BB_TYPE_STRING_ARRAY: f(Tag<CArray<sstring, 64>>()); return true;
  case BB_TYPE_WSTRING_ARRAY: f(Tag<CArray<usstring, 64>>()); return true;
  case BB_TYPE_HANDLE_ARRAY: f(Tag<CArray<unicode_carr_string_t, 64>>()); return true;
  case BB_TYPE_UTF8_ARRAY: f(Tag<Utf8ArrayValue>()); return true;
  default: return false;
  }
}

// Each element lives in one hook block together with the map node that files
// it and its value storage: [node | element | value], so that a Set costs one
// allocation. The map frees the block when it deletes the node; the value's
// own destructor (strings, arrays) must have run before (DropValue).
using Map = ascommon::CMap<unsigned int, Element*>;
using Node = Map::Node;

constexpr size_t RoundUp(size_t n, size_t to) { return (n + to - 1) / to * to; }
constexpr size_t kElementAt = RoundUp(sizeof(Node), alignof(Element));

// A node for key holding an element of the type with an empty (zeroed or
// null) value, not yet filed; null when the block cannot be had.
Node* NewNode(unsigned int key, uint32_t type) {
  Node* node = nullptr;
  WithStorageType(type, [&](auto tag) {
    using T = typename decltype(tag)::type;
    constexpr size_t value_at = RoundUp(kElementAt + sizeof(Element), alignof(T));
    void* block = nullptr;
    try {
      block = _as_new(value_at + sizeof(T), false);
    } catch (...) {
      block = nullptr; // a replaced hook that throws anyway
    }
    if (!block) return;
    char* base = static_cast<char*>(block);
    T* value = ::new (base + value_at) T{};
    if constexpr (std::is_same<T, Utf8ArrayValue>::value) {
      if (!value->Init()) {
        value->~T();
        _as_delete(block);
        return;
      }
    }
    Element* element = ::new (base + kElementAt) Element{type, value};
    node = ::new (block) Node(key, element);
  });
  return node;
}

void DropValue(Element* element) {
  WithStorageType(element->type, [&](auto tag) {
    using T = typename decltype(tag)::type;
    static_cast<T*>(element->value)->~T();
  });
}

// For a node that is not (or no longer) filed in a map.
void DisposeNode(Node* node) {
  if (!node) return;
  DropValue(node->value);
  delete node;
}

// Owns a node until it is filed in the map.
class NodeHold {
public:
  NodeHold() : node_(nullptr) {}
  ~NodeHold() { DisposeNode(node_); }
  NodeHold(const NodeHold&) = delete;
  NodeHold& operator=(const NodeHold&) = delete;

  bool Make(unsigned int key, uint32_t type) { return (node_ = NewNode(key, type)) != nullptr; }
  Node* get() const { return node_; }
  Element* element() const { return node_->value; }
  Node* release() {
    Node* n = node_;
    node_ = nullptr;
    return n;
  }

private:
  Node* node_;
};

template <class T>
T& ValueOf(Element* e) {
  return *static_cast<T*>(e->value);
}

bool IsArrayType(uint32_t type) { return type >= BB_TYPE_BYTE_ARRAY && type <= BB_TYPE_UTF8_ARRAY; }

// Guards the byte size computations of the arrays against a count that
// cannot be a real element count.
template <class T>
bool CountFits(size_t n) {
  return n <= SIZE_MAX / sizeof(T) / 2;
}

// A copy of a string array is only good if no string that had a text lost
// it (a string copy that runs out of memory stays null and says nothing).
template <class S>
bool CopiedAll(const CArray<S, 64>& dst, const S* src, size_t n) {
  if (dst.GetCount() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (!src[i].is_null() && dst.GetData()[i].is_null()) return false;
  return true;
}

// Replaces the content of dst with n strings; on failure dst is left empty.
template <class S>
int CopyStrings(CArray<S, 64>& dst, const S* src, size_t n) {
  if (!CountFits<S>(n) || dst.SetAll(src, n) != 0) return kNoMemory;
  if (!CopiedAll(dst, src, n)) {
    dst.RemoveAll();
    return kNoMemory;
  }
  return 0;
}

// A text array (null entries stay null strings) into a string array.
int AssignText(sstring& s, const char* text) { return text ? s.assign(text, strlen(text)) : s.assign(nullptr, 0); }
int AssignText(usstring& s, const wchar_t* text) { return text ? s.assign(text, wcslen(text)) : s.assign(nullptr, 0); }

template <class S, class C>
int CopyTexts(CArray<S, 64>& dst, const C* const* texts, size_t n) {
  if (!CountFits<S>(n)) return kNoMemory;
  S* tmp = new (std::nothrow) S[n ? n : 1];
  if (!tmp) return kNoMemory;
  int rc = 0;
  for (size_t i = 0; i < n && rc == 0; ++i)
    if (AssignText(tmp[i], texts[i]) != 0 || (texts[i] && tmp[i].is_null())) rc = kNoMemory;
  if (rc == 0) rc = CopyStrings(dst, tmp, n);
  delete[] tmp;
  return rc;
}

// The wide array of a UTF-8 array, index for index. Conversion problems
// leave what the conversion produced; only a lost allocation fails.
int ConvertTexts(CArray<usstring, 64>& dst, const CArray<sstring, 64>& src) {
  size_t n = (size_t)src.GetCount();
  usstring* tmp = new (std::nothrow) usstring[n ? n : 1];
  if (!tmp) return kNoMemory;
  int rc = 0;
  for (size_t i = 0; i < n && rc == 0; ++i) {
    const sstring& text = src.GetData()[i];
    if (text.is_null()) continue;
    ascommon::sstring_to_usstring(text, tmp[i], false);
    if (tmp[i].is_null()) rc = kNoMemory;
  }
  if (rc == 0) rc = CopyStrings(dst, tmp, n);
  delete[] tmp;
  return rc;
}

// The UTF-8 text and its wide copy. The conversion is lenient: an ill-formed
// sequence becomes U+FFFD rather than cutting the wide copy short.
int FillUtf8(Utf8Value& v, const char* text) {
  v.narrow = text;
  if (text && v.narrow.is_null()) return kNoMemory;
  if (v.narrow.is_null()) return 0;
  ascommon::sstring_to_usstring(v.narrow, v.wide, false);
  if (!v.wide.is_null()) return 0;
  // Without its wide half the value would read differently as type 6 and as
  // type 5; leave it empty instead.
  v.narrow = static_cast<const char*>(nullptr);
  return kNoMemory;
}

// The arguments of Set, read from the va_list in one place.
struct SetArgs {
  int i = 0;
  int64_t l = 0;
  double d = 0;
  const void* p = nullptr;
  size_t n = 0;
};

// Fills a fresh element's value from the arguments; 0 or -102.
int FillValue(Element* e, unsigned flags, const SetArgs& a) {
  switch (e->type) {
  case BB_TYPE_BOOL: ValueOf<bool>(e) = a.i != 0; return 0;
  case BB_TYPE_INT: ValueOf<int32_t>(e) = a.i; return 0;
  case BB_TYPE_LONG: ValueOf<int64_t>(e) = a.l; return 0;
  case BB_TYPE_ULONG: ValueOf<uint64_t>(e) = (uint64_t)a.l; return 0;
  case BB_TYPE_DOUBLE: ValueOf<double>(e) = a.d; return 0;
  case BB_TYPE_POINTER: ValueOf<void*>(e) = const_cast<void*>(a.p); return 0;
  case BB_TYPE_STRING: {
    const char* text = static_cast<const char*>(a.p);
    return AssignText(ValueOf<sstring>(e), text) != 0 ? kNoMemory : 0;
  }
  case BB_TYPE_WSTRING: {
    const wchar_t* text = static_cast<const wchar_t*>(a.p);
    return AssignText(ValueOf<usstring>(e), text) != 0 ? kNoMemory : 0;
  }
  case BB_TYPE_UTF8: return FillUtf8(ValueOf<Utf8Value>(e), static_cast<const char*>(a.p));
  default: break;
  }

  // Scalar arrays: raw pointer and count, or (flags 1) a source array. Handles
  // are always raw.
  auto fill_scalars = [&](auto tag) -> int {
    using T = typename decltype(tag)::type;
    CArray<T, 64>& dst = ValueOf<CArray<T, 64>>(e);
    if (flags == BB_FLAGS_OBJECT && e->type != BB_TYPE_HANDLE_ARRAY) {
      const CArray<T, 64>* src = static_cast<const CArray<T, 64>*>(a.p);
      return dst.SetAll(src->GetData(), (size_t)src->GetCount()) != 0 ? kNoMemory : 0;
    }
    if (!CountFits<T>(a.n)) return kNoMemory;
    return dst.SetAll(static_cast<const T*>(a.p), a.n) != 0 ? kNoMemory : 0;
  };

  switch (e->type) {
  case BB_TYPE_BYTE_ARRAY: return fill_scalars(Tag<char>());
  case BB_TYPE_INT_ARRAY: return fill_scalars(Tag<int>());
  case BB_TYPE_LONG_ARRAY: return fill_scalars(Tag<long>());
  case BB_TYPE_ULONG_ARRAY: return fill_scalars(Tag<unsigned long>());
  case BB_TYPE_DOUBLE_ARRAY: return fill_scalars(Tag<double>());
  case BB_TYPE_HANDLE_ARRAY: return fill_scalars(Tag<unicode_carr_string_t>());
  case BB_TYPE_STRING_ARRAY: {
    CArray<sstring, 64>& dst = ValueOf<CArray<sstring, 64>>(e);
    if (flags == BB_FLAGS_OBJECT) {
      const CArray<sstring, 64>* src = static_cast<const CArray<sstring, 64>*>(a.p);
      return CopyStrings(dst, src->GetData(), (size_t)src->GetCount());
    }
    return CopyTexts(dst, static_cast<const char* const*>(a.p), a.n);
  }
  case BB_TYPE_WSTRING_ARRAY: {
    CArray<usstring, 64>& dst = ValueOf<CArray<usstring, 64>>(e);
    if (flags == BB_FLAGS_OBJECT) {
      const CArray<usstring, 64>* src = static_cast<const CArray<usstring, 64>*>(a.p);
      return CopyStrings(dst, src->GetData(), (size_t)src->GetCount());
    }
    return CopyTexts(dst, static_cast<const wchar_t* const*>(a.p), a.n);
  }
  case BB_TYPE_UTF8_ARRAY: {
    Utf8ArrayValue& v = ValueOf<Utf8ArrayValue>(e);
    int rc;
    if (flags == BB_FLAGS_OBJECT) {
      const CArray<sstring, 64>* src = static_cast<const CArray<sstring, 64>*>(a.p);
      rc = CopyStrings(*v.narrow, src->GetData(), (size_t)src->GetCount());
    } else {
      rc = CopyTexts(*v.narrow, static_cast<const char* const*>(a.p), a.n);
    }
    if (rc != 0) return rc;
    rc = ConvertTexts(*v.wide, *v.narrow);
    // Keep the pair index for index: without its wide half the element
    // holds no texts at all.
    if (rc != 0) v.narrow->RemoveAll();
    return rc;
  }
  default: return 0;
  }
}

// A node for key with a deep copy of an element, or null when any part
// cannot be allocated.
Node* CopyNode(unsigned int key, const Element* src) {
  NodeHold hold;
  if (!hold.Make(key, src->type)) return nullptr;
  Element* e = hold.element();
  int rc = 0;
  switch (src->type) {
  case BB_TYPE_STRING: {
    const sstring& from = *static_cast<const sstring*>(src->value);
    ValueOf<sstring>(e) = from;
    if (!from.is_null() && ValueOf<sstring>(e).is_null()) rc = kNoMemory;
    break;
  }
  case BB_TYPE_WSTRING: {
    const usstring& from = *static_cast<const usstring*>(src->value);
    ValueOf<usstring>(e) = from;
    if (!from.is_null() && ValueOf<usstring>(e).is_null()) rc = kNoMemory;
    break;
  }
  case BB_TYPE_UTF8: {
    const Utf8Value& from = *static_cast<const Utf8Value*>(src->value);
    Utf8Value& to = ValueOf<Utf8Value>(e);
    to.narrow = from.narrow;
    to.wide = from.wide;
    if ((!from.narrow.is_null() && to.narrow.is_null()) || (!from.wide.is_null() && to.wide.is_null())) rc = kNoMemory;
    break;
  }
  case BB_TYPE_STRING_ARRAY: {
    const auto& from = *static_cast<const CArray<sstring, 64>*>(src->value);
    rc = CopyStrings(ValueOf<CArray<sstring, 64>>(e), from.GetData(), (size_t)from.GetCount());
    break;
  }
  case BB_TYPE_WSTRING_ARRAY: {
    const auto& from = *static_cast<const CArray<usstring, 64>*>(src->value);
    rc = CopyStrings(ValueOf<CArray<usstring, 64>>(e), from.GetData(), (size_t)from.GetCount());
    break;
  }
  case BB_TYPE_UTF8_ARRAY: {
    // A copied box carries both halves of a UTF-8 array, index for index,
    // so the copy reads back exactly like the original as types 14, 15, 17.
    const Utf8ArrayValue& from = *static_cast<const Utf8ArrayValue*>(src->value);
    Utf8ArrayValue& to = ValueOf<Utf8ArrayValue>(e);
    rc = CopyStrings(*to.narrow, from.narrow->GetData(), (size_t)from.narrow->GetCount());
    if (rc == 0) rc = CopyStrings(*to.wide, from.wide->GetData(), (size_t)from.wide->GetCount());
    break;
  }
  default: {
    // Scalars and scalar arrays copy by value.
    WithStorageType(src->type, [&](auto tag) {
      using T = typename decltype(tag)::type;
      if constexpr (std::is_trivially_copyable<T>::value) {
        ValueOf<T>(e) = *static_cast<const T*>(src->value);
      } else if constexpr (std::is_base_of<ascommon::CBlackBoxObject, T>::value &&
                           !std::is_same<T, sstring>::value && !std::is_same<T, usstring>::value) {
        const T& from = *static_cast<const T*>(src->value);
        if (ValueOf<T>(e).SetAll(from.GetData(), (size_t)from.GetCount()) != 0) rc = kNoMemory;
      }
    });
    break;
  }
  }
  if (rc != 0) return nullptr;
  return hold.release();
}

// --- Get -----------------------------------------------------------------

// The arguments of Get, read from the va_list in one place.
struct GetArgs {
  void* out = nullptr;
  size_t* count = nullptr;
};


// Text results: flags 0 gives the text (also stored in out), flags 1 the
// string object; absent, or an unknown flags value, stores null in out.
template <class S, class C>
void* GetText(const S* s, unsigned flags, const C** out) {
  if (!s || flags > BB_FLAGS_OBJECT) {
    if (out) *out = nullptr;
    return nullptr;
  }
  if (flags == BB_FLAGS_OBJECT) return const_cast<S*>(s);
  const C* text = s->c_str();
  if (out) *out = text;
  return const_cast<C*>(text);
}

// Copies min(*count, n) items with take(i) into buf, or reports n when buf is
// null (returning the count pointer). *count stays untouched when absent.
template <class A, class B, class F>
void* GetItems(const A* a, unsigned flags, B* buf, size_t* count, F take) {
  if (!a || flags > BB_FLAGS_OBJECT) return nullptr;
  if (flags == BB_FLAGS_OBJECT) return const_cast<A*>(a);
  if (!count) return nullptr;
  size_t n = (size_t)a->GetCount();
  if (!buf) {
    *count = n;
    return count;
  }
  if (*count < n) n = *count;
  for (size_t i = 0; i < n; ++i) buf[i] = take(a->GetData()[i]);
  *count = n;
  return buf;
}

template <class T>
void* GetScalarArray(Element* e, uint32_t type, unsigned flags, const GetArgs& a) {
  const CArray<T, 64>* arr = (e && e->type == type) ? static_cast<const CArray<T, 64>*>(e->value) : nullptr;
  return GetItems(arr, flags, static_cast<T*>(a.out), a.count, [](const T& v) { return v; });
}

template <class S, class C>
void* GetTextArray(const CArray<S, 64>* arr, unsigned flags, const GetArgs& a) {
  return GetItems(arr, flags, static_cast<const C**>(a.out), a.count, [](const S& s) { return s.c_str(); });
}

const sstring* NarrowTextOf(Element* e, bool any_text) {
  if (!e) return nullptr;
  if (e->type == BB_TYPE_UTF8) return &ValueOf<Utf8Value>(e).narrow;
  if (any_text && e->type == BB_TYPE_STRING) return &ValueOf<sstring>(e);
  return nullptr;
}

const usstring* WideTextOf(Element* e) {
  if (!e) return nullptr;
  if (e->type == BB_TYPE_UTF8) return &ValueOf<Utf8Value>(e).wide;
  if (e->type == BB_TYPE_WSTRING) return &ValueOf<usstring>(e);
  return nullptr;
}

const CArray<sstring, 64>* NarrowArrayOf(Element* e, bool any_array) {
  if (!e) return nullptr;
  if (e->type == BB_TYPE_UTF8_ARRAY) return ValueOf<Utf8ArrayValue>(e).narrow;
  if (any_array && e->type == BB_TYPE_STRING_ARRAY) return &ValueOf<CArray<sstring, 64>>(e);
  return nullptr;
}

const CArray<usstring, 64>* WideArrayOf(Element* e) {
  if (!e) return nullptr;
  if (e->type == BB_TYPE_UTF8_ARRAY) return ValueOf<Utf8ArrayValue>(e).wide;
  if (e->type == BB_TYPE_WSTRING_ARRAY) return &ValueOf<CArray<usstring, 64>>(e);
  return nullptr;
}

// The last line of defence at a plug-in slot: nothing in here is expected to
// throw, but nothing may unwind into a caller that cannot catch it either.
int CaughtStatus(const char* where) {
  try {
    throw;
  } catch (const ASException& ex) {
    AS_TRACE(AS_TL_CRITICAL, "Blackbox %s: exception caught: %s", where, ex.what());
    return _as_set_err(AS_ERR_INTERNAL, "internal error");
  } catch (const std::bad_alloc& ex) {
    AS_TRACE(AS_TL_CRITICAL, "Blackbox %s: STD exception caught: %s", where, ex.what());
    return _as_set_err(kNoMemory, "memory allocation");
  } catch (const std::exception& ex) {
    AS_TRACE(AS_TL_CRITICAL, "Blackbox %s: STD exception caught: %s", where, ex.what());
    return _as_set_err(AS_ERR_INTERNAL, "internal error");
  } catch (...) {
    AS_TRACE(AS_TL_CRITICAL, "Blackbox %s: unknown exception caught", where);
    return _as_set_err(AS_ERR_INTERNAL, "internal error");
  }
}

// Converts wide texts to UTF-8 into dst, for the wide array setters.
int WideToUtf8Array(CArray<sstring, 64>& dst, const wchar_t* const* texts, size_t n) {
  if (!CountFits<sstring>(n)) return kNoMemory;
  sstring* tmp = new (std::nothrow) sstring[n ? n : 1];
  if (!tmp) return kNoMemory;
  int rc = 0;
  for (size_t i = 0; i < n && rc == 0; ++i) {
    if (!texts[i]) continue;
    size_t units = wcslen(texts[i]);
    if (units == 0) {
      if (tmp[i].assign("", 0) != 0) rc = kNoMemory;
      continue;
    }
    ascommon::wide_to_sstring(texts[i], units, tmp[i]);
    if (tmp[i].is_null()) rc = kNoMemory;
  }
  if (rc == 0) rc = CopyStrings(dst, tmp, n);
  delete[] tmp;
  return rc;
}

} // namespace

// --- CBlackBoxInt ----------------------------------------------------------

CBlackBoxInt::CBlackBoxInt() : elements_(64, &CBlackBoxInt::KeyHash, false) {}

CBlackBoxInt::~CBlackBoxInt() { Empty(); }

CBlackBoxInt* CBlackBoxInt::Create() {
  CBlackBoxInt* box = nullptr;
  try {
    box = new (std::nothrow) CBlackBoxInt();
  } catch (...) {
    // The map's constructor throws when its second bucket array cannot be
    // had; the object storage is already given back by then.
    box = nullptr;
  }
  if (!box) {
    _as_set_err(kNoMemory, "Error allocating memory for blackbox");
    return nullptr;
  }
  // The map keeps going without its first bucket array; give it one now.
  if (!box->elements_.HasBuckets() || box->elements_.GetBucketCount() != 64) {
    if (box->elements_.Resize(64) != 0) {
      delete box;
      _as_set_err(kNoMemory, "Error resizing blackbox");
      return nullptr;
    }
  }
  return box;
}

CBlackBoxInt* CBlackBoxInt::Clone() const {
  try {
    CBlackBoxInt* copy = Create();
    if (!copy) return nullptr;
    for (auto& node : elements_) {
      const Element* src = node.value;
      // Pointers are not ours to duplicate; elements whose copy cannot be
      // allocated are left out rather than failing the whole copy.
      if (src->type == BB_TYPE_POINTER) continue;
      Node* dup = CopyNode(node.key, src);
      Node* replaced = nullptr;
      if (dup && copy->elements_.Link(dup, &replaced) != 0) DisposeNode(dup);
    }
    return copy;
  } catch (...) {
    CaughtStatus("Clone");
    return nullptr;
  }
}

int CBlackBoxInt::SetV(unsigned int key, unsigned int type, unsigned int flags, va_list args) {
  try {
    if (type > BB_TYPE_UTF8_ARRAY) return _as_set_err(kInvalidInput, "invalid input");

    SetArgs a;
    switch (type) {
    case BB_TYPE_BOOL:
    case BB_TYPE_INT: a.i = va_arg(args, int); break;
    case BB_TYPE_LONG:
    case BB_TYPE_ULONG: a.l = va_arg(args, int64_t); break;
    case BB_TYPE_DOUBLE: a.d = va_arg(args, double); break;
    case BB_TYPE_POINTER:
    case BB_TYPE_STRING:
    case BB_TYPE_WSTRING:
    case BB_TYPE_UTF8: a.p = va_arg(args, const void*); break;
    default:
      a.p = va_arg(args, const void*);
      if (flags == BB_FLAGS_RAW || type == BB_TYPE_HANDLE_ARRAY) a.n = va_arg(args, size_t);
      break;
    }

    NodeHold hold;
    if (!hold.Make(key, type)) return _as_set_err(kNoMemory, "memory allocation");

    if (IsArrayType(type)) {
      bool flags_ok = flags <= BB_FLAGS_OBJECT || type == BB_TYPE_HANDLE_ARRAY;
      if (!flags_ok || !a.p) return _as_set_err(kBadPointer, "invalid pointer for set");
    }

    // The value is filled before it replaces the old element, so a source
    // that points into the element being replaced is still intact here.
    int filled = FillValue(hold.element(), flags, a);

    // The new element takes the old one's place; the old one goes after, as
    // the source may have been it.
    Node* replaced = nullptr;
    if (elements_.Link(hold.get(), &replaced) != 0) return _as_set_err(kNoMemory, "memory allocation");
    hold.release();
    DisposeNode(replaced);
    // A value that could not be filled completely stays under its key, empty.
    if (filled != 0) return _as_set_err(kNoMemory, "memory allocation");
    return 0;
  } catch (...) {
    return CaughtStatus("Set");
  }
}

void* CBlackBoxInt::GetOtherV(unsigned int key, unsigned int type, unsigned int flags, va_list args) {
  try {
    if (type > BB_TYPE_UTF8_ARRAY) return nullptr;

    GetArgs a;
    switch (type) {
    case BB_TYPE_POINTER: break;
    case BB_TYPE_STRING:
    case BB_TYPE_WSTRING:
    case BB_TYPE_UTF8: a.out = va_arg(args, void*); break;
    default:
      a.out = va_arg(args, void*);
      a.count = va_arg(args, size_t*);
      break;
    }

    Element* e = FindElement(key);

    switch (type) {
    case BB_TYPE_POINTER: return (e && e->type == type) ? ValueOf<void*>(e) : nullptr;
    case BB_TYPE_STRING: return GetText(NarrowTextOf(e, true), flags, static_cast<const char**>(a.out));
    case BB_TYPE_UTF8: return GetText(NarrowTextOf(e, false), flags, static_cast<const char**>(a.out));
    case BB_TYPE_WSTRING: return GetText(WideTextOf(e), flags, static_cast<const wchar_t**>(a.out));
    case BB_TYPE_BYTE_ARRAY: return GetScalarArray<char>(e, type, flags, a);
    case BB_TYPE_INT_ARRAY: return GetScalarArray<int>(e, type, flags, a);
    case BB_TYPE_LONG_ARRAY: return GetScalarArray<long>(e, type, flags, a);
    case BB_TYPE_ULONG_ARRAY: return GetScalarArray<unsigned long>(e, type, flags, a);
    case BB_TYPE_DOUBLE_ARRAY: return GetScalarArray<double>(e, type, flags, a);
    case BB_TYPE_HANDLE_ARRAY: return GetScalarArray<unicode_carr_string_t>(e, type, flags, a);
    case BB_TYPE_STRING_ARRAY: return GetTextArray<sstring, char>(NarrowArrayOf(e, true), flags, a);
    case BB_TYPE_UTF8_ARRAY: return GetTextArray<sstring, char>(NarrowArrayOf(e, false), flags, a);
    case BB_TYPE_WSTRING_ARRAY: return GetTextArray<usstring, wchar_t>(WideArrayOf(e), flags, a);
    default: return nullptr;
    }
  } catch (...) {
    CaughtStatus("Get");
    return nullptr;
  }
}

int CBlackBoxInt::Set(unsigned int key, unsigned int type, unsigned int flags, ...) {
  va_list args;
  va_start(args, flags);
  int rc = SetV(key, type, flags, args);
  va_end(args);
  return rc;
}

void* CBlackBoxInt::Get(unsigned int key, unsigned int type, unsigned int flags, ...) {
  va_list args;
  va_start(args, flags);
  void* result = GetV(key, type, flags, args);
  va_end(args);
  return result;
}

int CBlackBoxInt::SetUnicodeString(unsigned int key, const wchar_t* text) {
  if (!text) return _as_set_err(kBadPointer, "invalid pointer for set unicode");
  try {
    sstring utf8;
    size_t units = wcslen(text);
    if (units == 0)
      utf8.assign("", 0);
    else
      ascommon::wide_to_sstring(text, units, utf8);
    if (utf8.is_null()) return _as_set_err(kNoMemory, "memory allocation");
    return Set(key, BB_TYPE_UTF8, BB_FLAGS_RAW, utf8.c_str());
  } catch (...) {
    return CaughtStatus("SetUnicodeString");
  }
}

int CBlackBoxInt::SetUTF8String(unsigned int key, const char* text) {
  if (!text) return _as_set_err(kBadPointer, "invalid pointer for set unicode");
  return Set(key, BB_TYPE_UTF8, BB_FLAGS_RAW, text);
}

int CBlackBoxInt::SetUnicodeArray(unsigned int key, const wchar_t* const* texts, size_t n) {
  if (!texts) return _as_set_err(kBadPointer, "invalid pointer for set unicode");
  try {
    CArray<sstring, 64> utf8;
    if (WideToUtf8Array(utf8, texts, n) != 0) return _as_set_err(kNoMemory, "memory allocation");
    return Set(key, BB_TYPE_UTF8_ARRAY, BB_FLAGS_OBJECT, &utf8);
  } catch (...) {
    return CaughtStatus("SetUnicodeArray");
  }
}

int CBlackBoxInt::SetUTF8Array(unsigned int key, const char* const* texts, size_t n) {
  if (!texts) return _as_set_err(kBadPointer, "invalid pointer for set unicode");
  return Set(key, BB_TYPE_UTF8_ARRAY, BB_FLAGS_RAW, texts, n);
}

int CBlackBoxInt::SetUnicodeArrayObject(unsigned int key, const CArray<usstring, 64>* a) {
  if (!a) return _as_set_err(kBadPointer, "invalid pointer for set unicode");
  try {
    size_t n = (size_t)a->GetCount();
    const wchar_t** texts = new (std::nothrow) const wchar_t*[n ? n : 1];
    if (!texts) return _as_set_err(kNoMemory, "memory allocation");
    for (size_t i = 0; i < n; ++i) texts[i] = a->GetData()[i].c_str();
    int rc = SetUnicodeArray(key, texts, n);
    delete[] texts;
    return rc;
  } catch (...) {
    return CaughtStatus("SetUnicodeArrayObject");
  }
}

int CBlackBoxInt::SetUTF8ArrayObject(unsigned int key, const CArray<sstring, 64>* a) {
  if (!a) return _as_set_err(kBadPointer, "invalid pointer for set unicode");
  return Set(key, BB_TYPE_UTF8_ARRAY, BB_FLAGS_OBJECT, a);
}

int CBlackBoxInt::Remove(unsigned int key) {
  Element** slot = elements_.Find(key);
  if (!slot) return 0;
  DropValue(*slot);
  elements_.Remove(key); // frees the element's block with its node
  return 0;
}

void CBlackBoxInt::Empty() {
  for (auto& node : elements_) DropValue(node.value);
  elements_.RemoveAll();
}

unsigned int CBlackBoxInt::GetCount() { return elements_.GetCount(); }
