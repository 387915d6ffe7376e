// Replacements of the malloc family that feed CountingWindow.
#include "AllocationCounter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

// glibc x86-64 chunks: a heap chunk's size word sits before the block and the
// next chunk's first word is lent to the block, so chunk = usable + 8; a
// mapped chunk (size word bit 1) lends nothing, so chunk = usable + 16.
constexpr std::size_t kHeapChunkHeader = 8;
constexpr std::size_t kMappedChunkHeader = 16;
constexpr std::size_t kMappedBit = 0x2;
constexpr std::size_t kSizeFlagBits = 0x7;

std::size_t sizeWord(const void* block) {
  std::size_t word;
  std::memcpy(&word, static_cast<const char*>(block) - sizeof word, sizeof word);
  return word;
}

std::size_t countedBytes(void* block) {
  const std::size_t header = (sizeWord(block) & kMappedBit) ? kMappedChunkHeader : kHeapChunkHeader;
  return malloc_usable_size(block) + header;
}

std::atomic<bool> counting{false};
std::atomic<std::int64_t> held{0};
std::atomic<std::int64_t> peak{0};

void noteAllocated(void* block) {
  if (block == nullptr || !counting.load(std::memory_order_relaxed)) return;
  const auto bytes = static_cast<std::int64_t>(countedBytes(block));
  const std::int64_t now = held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  std::int64_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

void noteReleased(void* block) {
  if (block == nullptr || !counting.load(std::memory_order_relaxed)) return;
  held.fetch_sub(static_cast<std::int64_t>(countedBytes(block)), std::memory_order_relaxed);
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

std::size_t chunkBytes(void* block) { return countedBytes(block); }

void checkChunkLayout() {
  // A small block comes from the heap, a large one from a mapping of its own.
  for (const std::size_t request : {std::size_t{1}, std::size_t{1000}, std::size_t{64} << 20}) {
    void* const block = __libc_malloc(request);
    if (block == nullptr) throw std::bad_alloc();
    const std::size_t chunk = sizeWord(block) & ~kSizeFlagBits;
    const std::size_t counted = countedBytes(block);
    const bool mapped = (sizeWord(block) & kMappedBit) != 0;
    __libc_free(block);
    if (chunk != counted || mapped != (request > (1u << 20))) {
      throw std::runtime_error(
          "malloc chunks are not laid out as the memory counter assumes: "
          "a block of " +
          std::to_string(request) + " bytes has chunk size " + std::to_string(chunk) +
          ", counted as " + std::to_string(counted));
    }
  }
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
  const auto before = block ? static_cast<std::int64_t>(countedBytes(block)) : 0;
  // A heap block that moves is copied, so old and new are held at once; a
  // mapped block moves by remapping its pages.
  const bool copiedWhenMoved = block != nullptr && (sizeWord(block) & kMappedBit) == 0;
  void* moved = __libc_realloc(block, size);
  if (moved == nullptr && size != 0) return nullptr;  // the old block is still held
  if (!counting.load(std::memory_order_relaxed)) return moved;
  if (moved != block && copiedWhenMoved) {
    noteAllocated(moved);
    held.fetch_sub(before, std::memory_order_relaxed);
  } else {
    held.fetch_sub(before, std::memory_order_relaxed);
    noteAllocated(moved);
  }
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
