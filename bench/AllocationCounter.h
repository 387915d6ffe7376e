// Counts the heap bytes held while counting is on.
//
// The executable that links AllocationCounter.cpp replaces the malloc family
// (malloc, calloc, realloc, the aligned forms and free), which operator new
// also goes through. While a CountingWindow is open each allocation and
// release adjusts a running total and its peak; outside it they cost one flag
// test.
//
// A block counts as the whole malloc chunk that holds it: its usable bytes
// (malloc_usable_size) plus glibc's chunk header, 8 bytes for a block from the
// heap and 16 for a block of its own mapping (x86-64). checkChunkLayout()
// confirms that layout on the running allocator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bench {

// Opens counting for its lifetime and reports the peak of the bytes held above
// what was held when it opened. One window at a time, one thread.
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

// Bytes that the live block at `block` takes from the allocator: usable bytes
// plus the chunk header.
std::size_t chunkBytes(void* block);

// Throws std::runtime_error when the allocator's chunks do not look as
// chunkBytes assumes (size word before the block = usable bytes + header).
void checkChunkLayout();

}  // namespace bench
