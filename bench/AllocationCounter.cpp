// Replacements of the malloc family that feed CountingWindow.
#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cerrno>

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

}  // namespace

// glibc's own allocator entry points, which the replacements below forward to.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
}

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

// The malloc family is replaced, so every allocation is seen: operator new
// (which calls malloc), the sorter's realloc-grown buffers and SQLite alike.
extern "C" {

void* malloc(std::size_t size) {
  void* block = __libc_malloc(size);
  noteAllocated(block);
  return block;
}

void* calloc(std::size_t count, std::size_t size) {
  void* block = __libc_calloc(count, size);
  noteAllocated(block);
  return block;
}

void* realloc(void* block, std::size_t size) {
  const auto before = block ? static_cast<std::int64_t>(malloc_usable_size(block)) : 0;
  void* moved = __libc_realloc(block, size);
  if (moved == nullptr && size != 0) return nullptr;  // the old block is still held
  if (counting.load(std::memory_order_relaxed)) held.fetch_sub(before, std::memory_order_relaxed);
  noteAllocated(moved);
  return moved;
}

void* memalign(std::size_t alignment, std::size_t size) {
  void* block = __libc_memalign(alignment, size);
  noteAllocated(block);
  return block;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  void* block = memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *result = block;
  return 0;
}

void free(void* block) {
  noteReleased(block);
  __libc_free(block);
}

}  // extern "C"
