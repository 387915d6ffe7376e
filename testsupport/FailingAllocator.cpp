// Replacements of operator new/delete and the malloc family that count
// allocations and fail the one asked for.
#include "FailingAllocator.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

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

std::atomic<std::uint64_t> allocations{0};
std::atomic<std::int64_t> live{0};
// Allocations left until the one that fails; 0 when none is to fail.
std::atomic<std::uint64_t> countdown{0};
std::atomic<bool> failed{false};

// Counts one allocation; false when it is the one to fail.
bool admit() {
  allocations.fetch_add(1, std::memory_order_relaxed);
  std::uint64_t left = countdown.load(std::memory_order_relaxed);
  while (left != 0 && !countdown.compare_exchange_weak(left, left - 1)) {
  }
  if (left != 1) return true;
  failed.store(true, std::memory_order_relaxed);
  return false;
}

void* noteBlock(void* block) {
  if (block != nullptr) live.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void* allocate(std::size_t size) {
  if (!haveUnderlying()) return arenaAllocate(size);
  if (!admit()) return nullptr;
  return noteBlock(underlying.malloc(size));
}

void* allocateAligned(std::size_t alignment, std::size_t size) {
  if (!haveUnderlying()) {
    return alignment <= alignof(std::max_align_t) ? arenaAllocate(size) : nullptr;
  }
  if (!admit()) return nullptr;
  return noteBlock(underlying.memalign(alignment, size));
}

void release(void* block) {
  // A block from before the lookup can only be an arena block; anything else
  // is leaked rather than handed to an allocator that is not known yet.
  if (block == nullptr || inArena(block) || !haveUnderlying()) return;
  live.fetch_sub(1, std::memory_order_relaxed);
  underlying.free(block);
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

std::uint64_t allocationCount() { return allocations.load(std::memory_order_relaxed); }

std::int64_t liveBlocks() { return live.load(std::memory_order_relaxed); }

void failAllocation(std::uint64_t k) {
  failed.store(false, std::memory_order_relaxed);
  countdown.store(k, std::memory_order_relaxed);
}

bool allocationFailed() { return failed.load(std::memory_order_relaxed); }

}  // namespace testsupport

extern "C" {

void* malloc(std::size_t size) { return allocate(size); }

void* calloc(std::size_t count, std::size_t size) {
  if (!haveUnderlying()) {
    if (size != 0 && count > static_cast<std::size_t>(-1) / size) return nullptr;
    return arenaAllocate(count * size);  // the arena is zeroed and never reused
  }
  if (!admit()) return nullptr;
  return noteBlock(underlying.calloc(count, size));
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
  if (!admit()) return nullptr;  // the old block stays as it was
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
