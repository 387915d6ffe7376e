// Replacements of the global operator new and delete that feed CountingWindow.
#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<std::int64_t> held{0};
std::atomic<std::int64_t> peak{0};

void noteAllocated(void* block) {
  if (block == nullptr || !counting.load(std::memory_order_relaxed)) return;
  const auto bytes = static_cast<std::int64_t>(malloc_usable_size(block));
  const std::int64_t now = held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  std::int64_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

void noteReleased(void* block) {
  if (block == nullptr || !counting.load(std::memory_order_relaxed)) return;
  held.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(block)), std::memory_order_relaxed);
}

void* allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  noteAllocated(block);
  return block;
}

void* allocateAligned(std::size_t size, std::align_val_t alignment) {
  const auto align = static_cast<std::size_t>(alignment);
  // aligned_alloc wants a size that is a multiple of the alignment.
  const std::size_t rounded = (size + align - 1) / align * align;
  void* block = std::aligned_alloc(align, rounded == 0 ? align : rounded);
  noteAllocated(block);
  return block;
}

void release(void* block) {
  noteReleased(block);
  std::free(block);
}

}  // namespace

namespace bench {

CountingWindow::CountingWindow() {
  start_ = held.load(std::memory_order_relaxed);
  peak.store(start_, std::memory_order_relaxed);
  counting.store(true, std::memory_order_relaxed);
}

CountingWindow::~CountingWindow() { counting.store(false, std::memory_order_relaxed); }

std::int64_t CountingWindow::peakAbove() const {
  return peak.load(std::memory_order_relaxed) - start_;
}

std::int64_t CountingWindow::currentAbove() const {
  return held.load(std::memory_order_relaxed) - start_;
}

}  // namespace bench

void* operator new(std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  if (void* block = allocate(size)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  if (void* block = allocateAligned(size, alignment)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  if (void* block = allocateAligned(size, alignment)) return block;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return allocateAligned(size, alignment);
}

void operator delete(void* block) noexcept { release(block); }
void operator delete[](void* block) noexcept { release(block); }
void operator delete(void* block, std::size_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t) noexcept { release(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { release(block); }
void operator delete(void* block, std::align_val_t) noexcept { release(block); }
void operator delete[](void* block, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { release(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { release(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  release(block);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
  release(block);
}
