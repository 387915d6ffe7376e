// Allocation counting and failure injection for tests.
//
// A test executable that links browse_failing_allocator gets replacements of
// operator new and delete (every form) and of the malloc family (malloc,
// calloc, realloc, free, memalign, aligned_alloc, posix_memalign). They count
// every allocation and can make one chosen allocation fail: the malloc family
// then returns null and operator new throws std::bad_alloc (its nothrow forms
// return null). Blocks come from the allocator underneath (glibc's, or the
// sanitizer's in a sanitizer build, so that ASan and LSan still see them).
//
// Link it into one executable at most, and only into tests: the replacements
// apply to the whole process.
//
// Thread safety: the counters are atomic, but which allocation fails is only
// well defined while a single thread allocates.
#pragma once

#include <cstdint>

namespace testsupport {

// Allocations requested so far through the replaced functions, failed ones
// included.
std::uint64_t allocationCount();

// Blocks handed out and not yet freed. Blocks allocated before the process
// reached main may make it negative; compare two readings.
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

}  // namespace testsupport
