// A growable array of trivially copyable elements, used by the key sorter.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace I2::detail {

// Offers the whole 2 MiB pages inside a large block to the kernel for
// transparent huge pages, so that filling the block takes one page fault per
// 2 MiB instead of one per 4 KiB. A hint: ignored where not supported.
inline void AdviseHugePages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHugePage) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

// A growable array of a trivially copyable type in one malloc block. It grows
// by half its capacity through std::realloc, which can move a large block by
// remapping its pages instead of copying and touching them again. Elements
// past size() are uninitialised.
template <class T>
class PodBuffer {
 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer& other) { copyFrom(other); }
  PodBuffer(PodBuffer&& other) noexcept { swap(other); }
  PodBuffer& operator=(PodBuffer other) noexcept {
    swap(other);
    return *this;
  }
  ~PodBuffer() { std::free(data_); }

  void swap(PodBuffer& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }

  // Makes room for at least `extra` elements past size(); throws
  // std::bad_alloc and keeps the contents when that fails.
  void reserveMore(std::size_t extra) {
    if (capacity_ - size_ < extra) grow(extra);
  }
  // Makes room for exactly `extra` elements past size() when there is less.
  void reserveExactly(std::size_t extra) {
    if (capacity_ - size_ < extra) resize(checkedTotal(extra));
  }
  // Sets the size; `n` must not exceed capacity().
  void setSize(std::size_t n) {
    assert(n <= capacity_);
    size_ = n;
  }
  // Appends `v`; needs reserveMore(1) first.
  void pushUnchecked(const T& v) {
    assert(size_ < capacity_);
    data_[size_++] = v;
  }
  // Appends `v` into room reserved earlier, for callers that must not
  // allocate; throws std::logic_error, before writing, when there is none.
  void pushWithinCapacity(const T& v) {
    if (size_ == capacity_) throw std::logic_error("PodBuffer: push past the reserved capacity");
    data_[size_++] = v;
  }
  void clear() { size_ = 0; }
  // Gives back the capacity past size(); keeps everything when that fails.
  void shrinkToFit() noexcept {
    if (capacity_ == size_) return;
    if (size_ == 0) {
      release();
      return;
    }
    if (void* const moved = std::realloc(data_, size_ * sizeof(T))) {
      data_ = static_cast<T*>(moved);
      capacity_ = size_;
    }
  }
  void release() noexcept {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  std::size_t checkedTotal(std::size_t extra) const {
    if (extra > static_cast<std::size_t>(-1) / sizeof(T) - size_) throw std::bad_alloc();
    return size_ + extra;
  }
  void grow(std::size_t extra) {
    std::size_t const needed = checkedTotal(extra);
    std::size_t want = capacity_ + capacity_ / 2;
    if (want < needed) want = needed;
    if (want < 64 / sizeof(T) + 1) want = 64 / sizeof(T) + 1;
    if (want > static_cast<std::size_t>(-1) / sizeof(T)) want = needed;
    resize(want);
  }
  void resize(std::size_t want) {
    void* const moved = std::realloc(data_, want * sizeof(T));
    if (moved == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(moved);
    capacity_ = want;
    AdviseHugePages(data_, want * sizeof(T));
  }
  void copyFrom(const PodBuffer& other) {
    if (other.size_ == 0) return;
    data_ = static_cast<T*>(std::malloc(other.size_ * sizeof(T)));
    if (data_ == nullptr) throw std::bad_alloc();
    std::memcpy(data_, other.data_, other.size_ * sizeof(T));
    size_ = capacity_ = other.size_;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace I2::detail
