// bbobject.h - common root of every object that can live in a container or a
// black box. It holds only its virtual table (destructor pair).
//
// Foundation objects cross the library boundary: the core fills a string or a
// map node that a plug-in releases, or the reverse, and each side has its own
// copy of the inline code that does it. They therefore never use the global
// allocation operators, which differ between the core and a plug-in (a plug-in
// uses the process heap for its own objects); every form allocates through
// the _as_new hook and releases through _as_delete, which the core hands to
// each plug-in, so both sides always work one heap.
#pragma once

#include <cstddef>
#include <new>

#include "hooks.h"

namespace ascommon {

// Checks the field offsets of the foundation types (layout_check.h).
struct LayoutCheck;

// Class-level allocation operators routed to the hooks, for a class to derive
// from. It is empty and adds nothing to the layout as long as it can be folded
// away: the parameter (the deriving class) keeps the bases of, say, a map node
// and of the string key at its start distinct types, so they may share an
// address and the node stays key, value, next.
template <class Owner>
struct CHookAllocated {
  static void* operator new(std::size_t size) { return Allocate(size); }
  static void* operator new[](std::size_t size) { return Allocate(size); }
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
  static void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
  // Placement stays available: declaring any operator new here hides the global one.
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void* operator new[](std::size_t, void* where) noexcept { return where; }

  static void operator delete(void* block) noexcept { Release(block); }
  static void operator delete[](void* block) noexcept { Release(block); }
  // Called only when a constructor throws after a nothrow or placement new.
  static void operator delete(void* block, const std::nothrow_t&) noexcept { Release(block); }
  static void operator delete[](void* block, const std::nothrow_t&) noexcept { Release(block); }
  static void operator delete(void*, void*) noexcept {}
  static void operator delete[](void*, void*) noexcept {}

private:
  // A throwing new never answers null, even when a replaced hook does.
  static void* Allocate(std::size_t size) {
    void* block = _as_new(size, true);
    if (!block) throw std::bad_alloc();
    return block;
  }
  // A nothrow new never lets a replaced hook's exception out.
  static void* AllocateOrNull(std::size_t size) noexcept {
    try {
      return _as_new(size, false);
    } catch (...) {
      return nullptr;
    }
  }
  static void Release(void* block) noexcept {
    if (block) _as_delete(block);
  }
};

class CBlackBoxObject : public CHookAllocated<CBlackBoxObject> {
public:
  virtual ~CBlackBoxObject() {}
};

} // namespace ascommon

static_assert(sizeof(ascommon::CBlackBoxObject) == 8, "vtable pointer only");
