// LargeBlockAllocator: the allocator of the cache's item array.
//
// Blocks of kLargeBlock bytes and more are aligned to 2 MiB and offered to
// the kernel for transparent huge pages, so that filling them costs one page
// fault per 2 MiB instead of one per 4 KiB (the item array of a browse of
// millions of items is filled once, front to back, and regrown by doubling).
// Smaller blocks come from operator new. Where huge pages are not available
// the hint is ignored and the blocks behave as any other.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace browse_detail {

template <class T>
class LargeBlockAllocator {
 public:
  using value_type = T;

  static constexpr std::size_t kHugePage = std::size_t{2} << 20;
  static constexpr std::size_t kLargeBlock = 2 * kHugePage;

  LargeBlockAllocator() noexcept = default;
  template <class U>
  LargeBlockAllocator(const LargeBlockAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kLargeBlock) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (block == nullptr) throw std::bad_alloc();
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    ::madvise(block, rounded, MADV_HUGEPAGE);  // a hint; its failure changes nothing
#endif
    return static_cast<T*>(block);
  }

  void deallocate(T* block, std::size_t n) noexcept {
    if (n * sizeof(T) < kLargeBlock) {
      ::operator delete(block);
    } else {
      std::free(block);
    }
  }

  template <class U>
  bool operator==(const LargeBlockAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace browse_detail
