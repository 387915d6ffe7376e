// Allocation counting, byte counting and failure injection for tests and the
// benchmark.
//
// An executable that links browse_allocator (or browse_failing_allocator,
// which adds the compile options that tests of allocations need) gets
// replacements of operator new and delete (every form) and of the malloc
// family (malloc, calloc, realloc, free, memalign, aligned_alloc,
// posix_memalign). They hand blocks out from the allocator underneath
// (glibc's, or the sanitizer's in a sanitizer build, so that ASan and LSan
// still see them) and, on request:
//  - count the allocations and the blocks held: from the first call of
//    allocationCount, liveBlocks, failAllocation or AllocationTally on, to
//    the end of the process;
//  - make one chosen allocation fail: the malloc family then returns null and
//    operator new throws std::bad_alloc (its nothrow forms return null);
//  - count the bytes held and their peak while a CountingWindow is open.
// Until one of them is asked for, an allocation costs one flag test more than
// the allocator underneath.
//
// Link it into one executable at most, and only into tests and benchmarks:
// the replacements apply to the whole process.
//
// Thread safety: the counters are atomic, but which allocation fails is only
// well defined while a single thread allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testsupport {

// Allocations requested since counting started, failed ones included.
std::uint64_t allocationCount();

// Blocks handed out and not yet freed since counting started. Blocks
// allocated before then and freed after make it negative; compare two
// readings.
std::int64_t liveBlocks();

// Makes the k-th allocation from now on fail, once (k >= 1); k = 0 cancels
// a pending failure. Replaces any earlier request.
void failAllocation(std::uint64_t k);

// True when the failure last asked for by failAllocation has happened.
bool allocationFailed();

// Fails the k-th allocation made while it is open (see failAllocation) and
// cancels the failure when it closes. Open one at a time.
class AllocationFailure {
 public:
  explicit AllocationFailure(std::uint64_t k) { failAllocation(k); }
  ~AllocationFailure() { failAllocation(0); }
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;

  bool happened() const { return allocationFailed(); }
};

// Counts the allocations made and the blocks freed while it is open.
class AllocationTally {
 public:
  AllocationTally() : allocations_(allocationCount()), live_(liveBlocks()) {}

  std::uint64_t allocations() const { return allocationCount() - allocations_; }
  // Blocks freed minus blocks allocated since the tally opened.
  std::int64_t blocksFreed() const { return live_ - liveBlocks(); }

 private:
  std::uint64_t allocations_;
  std::int64_t live_;
};

// Counts the heap bytes held while it is open and reports their peak above
// the bytes held at its opening. A block counts as the whole malloc chunk
// that holds it (chunkBytes), so the counts hold for glibc's allocator only:
// checkChunkLayout() says whether the running allocator is laid out so. One
// window at a time, one thread.
class CountingWindow {
 public:
  CountingWindow();
  ~CountingWindow();
  CountingWindow(const CountingWindow&) = delete;
  CountingWindow& operator=(const CountingWindow&) = delete;

  // Highest number of bytes held at once since the window opened, above the
  // bytes held at its opening.
  std::int64_t peakAbove() const;
  // Bytes held now above the bytes held at the opening (may be negative when
  // older blocks were released).
  std::int64_t currentAbove() const;

 private:
  std::int64_t start_;
};

// Bytes that the live block at `block` takes from glibc's allocator: its
// usable bytes (malloc_usable_size) plus the chunk header, 8 bytes for a
// block from the heap and 16 for a block of its own mapping (x86-64).
std::size_t chunkBytes(void* block);

// Throws std::runtime_error when the chunks of the allocator underneath do
// not look as chunkBytes assumes (size word before the block = usable bytes
// + header), as with a sanitizer's allocator.
void checkChunkLayout();

}  // namespace testsupport
