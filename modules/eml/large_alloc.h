// large_alloc.h - an allocator for the models' big tables.
//
// A model's tables are megabytes read in random order: with 4 KiB pages,
// filling one takes a page fault per page and every look-up risks a TLB miss.
// Blocks of at least 1 MiB are mapped directly and marked for transparent
// huge pages (where the kernel offers them on request), which makes both a
// few hundred times rarer; smaller blocks come from the ordinary heap.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <new>

namespace eml {

template <typename T>
struct LargeAllocator {
  using value_type = T;
  static constexpr size_t kMinMapped = size_t(1) << 20;
  static constexpr size_t kHugePage = size_t(2) << 20;

  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) {}

  T* allocate(size_t n) {
    if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    size_t bytes = n * sizeof(T);
    if (bytes < kMinMapped) return static_cast<T*>(::operator new(bytes));
    void* p = ::mmap(nullptr, Rounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(p, Rounded(bytes), MADV_HUGEPAGE);  // a hint: refused, it changes nothing
#endif
    return static_cast<T*>(p);
  }
  void deallocate(T* p, size_t n) {
    size_t bytes = n * sizeof(T);
    if (bytes < kMinMapped) ::operator delete(p);
    else ::munmap(p, Rounded(bytes));
  }

  template <typename U>
  bool operator==(const LargeAllocator<U>&) const { return true; }
  template <typename U>
  bool operator!=(const LargeAllocator<U>&) const { return false; }

 private:
  static size_t Rounded(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
};

}  // namespace eml
