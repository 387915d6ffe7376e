// Replacements of operator new/delete and the malloc family that count
// allocations and bytes and fail the one asked for.
#include "FailingAllocator.h"

#include <dlfcn.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

namespace {

using MallocFn = void* (*)(std::size_t);
using CallocFn = void* (*)(std::size_t, std::size_t);
using ReallocFn = void* (*)(void*, std::size_t);
using FreeFn = void (*)(void*);
using MemalignFn = void* (*)(std::size_t, std::size_t);

// The allocator underneath, looked up past this executable so that a
// sanitizer's allocator is found when it is there.
struct Underlying {
  MallocFn malloc = nullptr;
  CallocFn calloc = nullptr;
  ReallocFn realloc = nullptr;
  FreeFn free = nullptr;
  MemalignFn memalign = nullptr;
};

Underlying underlying;
std::atomic<int> lookupState{0};  // 0: not looked up, 1: looking up, 2: done

// dlsym may allocate while it runs; those requests are served from this
// arena, whose blocks are never given back.
constexpr std::size_t kArenaBytes = 64 * 1024;
alignas(std::max_align_t) char arena[kArenaBytes];
std::atomic<std::size_t> arenaUsed{0};

bool inArena(const void* block) {
  const char* p = static_cast<const char*>(block);
  return p >= arena && p < arena + kArenaBytes;
}

// Blocks of the arena carry their size in front, so that realloc can copy
// them.
void* arenaAllocate(std::size_t size) {
  constexpr std::size_t kAlign = alignof(std::max_align_t);
  const std::size_t need = (size + 2 * kAlign - 1) / kAlign * kAlign;
  const std::size_t at = arenaUsed.fetch_add(need);
  if (at + need > kArenaBytes) return nullptr;
  std::memcpy(arena + at, &size, sizeof size);
  return arena + at + kAlign;
}

std::size_t arenaSize(const void* block) {
  std::size_t size = 0;
  std::memcpy(&size, static_cast<const char*>(block) - alignof(std::max_align_t), sizeof size);
  return size;
}

template <class Fn>
Fn lookUp(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

// True once the underlying allocator is known; false while it is being
// looked up (by this thread or another), when the arena must serve.
bool haveUnderlying() {
  int state = lookupState.load(std::memory_order_acquire);
  if (state == 2) return true;
  if (state == 0 && lookupState.compare_exchange_strong(state, 1)) {
    underlying.malloc = lookUp<MallocFn>("malloc");
    underlying.calloc = lookUp<CallocFn>("calloc");
    underlying.realloc = lookUp<ReallocFn>("realloc");
    underlying.free = lookUp<FreeFn>("free");
    underlying.memalign = lookUp<MemalignFn>("memalign");
    if (!underlying.malloc || !underlying.calloc || !underlying.realloc || !underlying.free ||
        !underlying.memalign) {
      std::abort();
    }
    lookupState.store(2, std::memory_order_release);
    return true;
  }
  return false;
}

// What the replacements do beyond handing blocks out; with neither, an
// allocation costs one flag test.
constexpr unsigned kCountCalls = 1;  // from the first reading or failure on, for good
constexpr unsigned kCountBytes = 2;  // while a CountingWindow is open
std::atomic<unsigned> tracking{0};

unsigned trackingNow() { return tracking.load(std::memory_order_relaxed); }

void startCountingCalls() { tracking.fetch_or(kCountCalls, std::memory_order_relaxed); }

std::atomic<std::uint64_t> allocations{0};
std::atomic<std::int64_t> live{0};
// Allocations left until the one that fails; 0 when none is to fail.
std::atomic<std::uint64_t> countdown{0};
std::atomic<bool> failed{false};

// Counts one allocation when calls are counted; false when it is the one to
// fail.
bool admit(unsigned mode) {
  if ((mode & kCountCalls) == 0) return true;
  allocations.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t left = countdown.load(std::memory_order_relaxed);
  while (left != 0 && !countdown.compare_exchange_weak(left, left - 1)) {
  }
  if (left != 1) return true;
  failed.store(true, std::memory_order_relaxed);
  errno = ENOMEM;  // as the malloc family sets it when it fails
  return false;
}

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

bool isMapped(const void* block) { return (sizeWord(block) & kMappedBit) != 0; }

std::size_t countedBytes(void* block) {
  return malloc_usable_size(block) + (isMapped(block) ? kMappedChunkHeader : kHeapChunkHeader);
}

std::atomic<std::int64_t> held{0};
std::atomic<std::int64_t> peak{0};

void addHeld(void* block) {
  const auto bytes = static_cast<std::int64_t>(countedBytes(block));
  const std::int64_t now = held.fetch_add(bytes, std::memory_order_relaxed) + bytes;
  std::int64_t seen = peak.load(std::memory_order_relaxed);
  while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
  }
}

void subtractHeld(std::int64_t bytes) { held.fetch_sub(bytes, std::memory_order_relaxed); }

void* noteAllocated(void* block, unsigned mode) {
  if (block == nullptr || mode == 0) return block;
  if (mode & kCountCalls) live.fetch_add(1, std::memory_order_relaxed);
  if (mode & kCountBytes) addHeld(block);
  return block;
}

void noteReleased(void* block, unsigned mode) {
  if (mode & kCountCalls) live.fetch_sub(1, std::memory_order_relaxed);
  if (mode & kCountBytes) subtractHeld(static_cast<std::int64_t>(countedBytes(block)));
}

void* allocate(std::size_t size) {
  if (!haveUnderlying()) return arenaAllocate(size);
  const unsigned mode = trackingNow();
  if (!admit(mode)) return nullptr;
  return noteAllocated(underlying.malloc(size), mode);
}

void* allocateAligned(std::size_t alignment, std::size_t size) {
  if (!haveUnderlying()) {
    return alignment <= alignof(std::max_align_t) ? arenaAllocate(size) : nullptr;
  }
  const unsigned mode = trackingNow();
  if (!admit(mode)) return nullptr;
  return noteAllocated(underlying.memalign(alignment, size), mode);
}

void release(void* block) {
  // A block from before the lookup can only be an arena block; anything else
  // is leaked rather than handed to an allocator that is not known yet.
  if (block == nullptr || inArena(block) || !haveUnderlying()) return;
  noteReleased(block, trackingNow());
  underlying.free(block);
}

// A heap block that moves is copied, so old and new are held at once; a
// mapped block moves by remapping its pages.
void* reallocCountingBytes(void* block, std::size_t size) {
  const auto before = static_cast<std::int64_t>(countedBytes(block));
  const bool copiedWhenMoved = !isMapped(block);
  void* moved = underlying.realloc(block, size);
  if (moved == nullptr) return nullptr;  // the old block is still held
  if (moved != block && copiedWhenMoved) {
    addHeld(moved);
    subtractHeld(before);
  } else {
    subtractHeld(before);
    addHeld(moved);
  }
  return moved;
}

void* newOrThrow(std::size_t size, std::size_t alignment = 0) {
  if (size == 0) size = 1;
  for (;;) {
    void* block = alignment == 0 ? allocate(size) : allocateAligned(alignment, size);
    if (block != nullptr) return block;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* newOrNull(std::size_t size, std::size_t alignment = 0) noexcept {
  try {
    return newOrThrow(size, alignment);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

namespace testsupport {

std::uint64_t allocationCount() {
  startCountingCalls();
  return allocations.load(std::memory_order_relaxed);
}

std::int64_t liveBlocks() {
  startCountingCalls();
  return live.load(std::memory_order_relaxed);
}

void failAllocation(std::uint64_t k) {
  startCountingCalls();
  failed.store(false, std::memory_order_relaxed);
  countdown.store(k, std::memory_order_relaxed);
}

bool allocationFailed() { return failed.load(std::memory_order_relaxed); }

CountingWindow::CountingWindow() {
  start_ = held.load(std::memory_order_relaxed);
  peak.store(start_, std::memory_order_relaxed);
  tracking.fetch_or(kCountBytes, std::memory_order_relaxed);
}

CountingWindow::~CountingWindow() { tracking.fetch_and(~kCountBytes, std::memory_order_relaxed); }

std::int64_t CountingWindow::peakAbove() const {
  return peak.load(std::memory_order_relaxed) - start_;
}

std::int64_t CountingWindow::currentAbove() const {
  return held.load(std::memory_order_relaxed) - start_;
}

std::size_t chunkBytes(void* block) { return countedBytes(block); }

void checkChunkLayout() {
  if (!haveUnderlying()) throw std::logic_error("the allocator is still being looked up");
  // A small block comes from the heap, a large one from a mapping of its own.
  for (const std::size_t request : {std::size_t{1}, std::size_t{1000}, std::size_t{64} << 20}) {
    void* const block = underlying.malloc(request);
    if (block == nullptr) throw std::bad_alloc();
    const std::size_t chunk = sizeWord(block) & ~kSizeFlagBits;
    const std::size_t counted = countedBytes(block);
    const bool mapped = isMapped(block);
    underlying.free(block);
    if (chunk != counted || mapped != (request > (1u << 20))) {
      throw std::runtime_error(
          "malloc chunks are not laid out as the memory counter assumes: "
          "a block of " +
          std::to_string(request) + " bytes has chunk size " + std::to_string(chunk) +
          ", counted as " + std::to_string(counted));
    }
  }
}

}  // namespace testsupport

extern "C" {

void* malloc(std::size_t size) { return allocate(size); }

void* calloc(std::size_t count, std::size_t size) {
  if (!haveUnderlying()) {
    if (size != 0 && count > static_cast<std::size_t>(-1) / size) return nullptr;
    return arenaAllocate(count * size);  // the arena is zeroed and never reused
  }
  const unsigned mode = trackingNow();
  if (!admit(mode)) return nullptr;
  return noteAllocated(underlying.calloc(count, size), mode);
}

void* realloc(void* block, std::size_t size) {
  if (block != nullptr && inArena(block)) {
    void* moved = allocate(size);
    if (moved != nullptr) std::memcpy(moved, block, std::min(size, arenaSize(block)));
    return moved;
  }
  if (block == nullptr) return allocate(size);
  if (size == 0) {
    release(block);
    return nullptr;
  }
  const unsigned mode = trackingNow();
  if (!admit(mode)) return nullptr;  // the old block stays as it was
  if (mode & kCountBytes) return reallocCountingBytes(block, size);
  return underlying.realloc(block, size);
}

void free(void* block) { release(block); }

void* memalign(std::size_t alignment, std::size_t size) { return allocateAligned(alignment, size); }

void* aligned_alloc(std::size_t alignment, std::size_t size) {
  return allocateAligned(alignment, size);
}

int posix_memalign(void** result, std::size_t alignment, std::size_t size) {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* block = allocateAligned(alignment, size);
  if (block == nullptr) return ENOMEM;
  *result = block;
  return 0;
}

}  // extern "C"

void* operator new(std::size_t size) { return newOrThrow(size); }
void* operator new[](std::size_t size) { return newOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return newOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return newOrNull(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  return newOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return newOrThrow(size, static_cast<std::size_t>(alignment));
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return newOrNull(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  return newOrNull(size, static_cast<std::size_t>(alignment));
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
