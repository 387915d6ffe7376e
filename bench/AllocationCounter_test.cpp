#include "AllocationCounter.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {
namespace {

// Blocks taken with the C allocator, so that nothing else allocates between
// the steps of a test.
class AllocationCounterTest : public ::testing::Test {
 protected:
  void* take(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) throw std::bad_alloc();
    std::memset(block, 1, size);
    return block;
  }
  static std::int64_t heapChunk(void* block) {
    return static_cast<std::int64_t>(malloc_usable_size(block) + 8);
  }
};

TEST_F(AllocationCounterTest, TheRunningAllocatorHasTheAssumedChunkLayout) {
  EXPECT_NO_THROW(checkChunkLayout());
}

TEST_F(AllocationCounterTest, SmallBlocksCountWithTheirEightByteHeader) {
  std::vector<void*> blocks;
  blocks.reserve(1000);
  CountingWindow window;
  for (int i = 0; i < 1000; ++i) blocks.push_back(take(1));
  // A 1-byte request gets glibc's smallest chunk: 24 usable bytes + 8.
  EXPECT_EQ(window.currentAbove(), 1000 * 32);
  for (void* block : blocks) std::free(block);
  EXPECT_EQ(window.currentAbove(), 0);
  EXPECT_EQ(window.peakAbove(), 1000 * 32);
}

TEST_F(AllocationCounterTest, AMappedBlockCountsWithItsSixteenByteHeader) {
  CountingWindow window;
  void* block = take(std::size_t{64} << 20);
  const auto expected = static_cast<std::int64_t>(malloc_usable_size(block) + 16);
  EXPECT_EQ(window.currentAbove(), expected);
  EXPECT_EQ(static_cast<std::int64_t>(chunkBytes(block)), expected);
  std::free(block);
  EXPECT_EQ(window.peakAbove(), expected);
}

TEST_F(AllocationCounterTest, PeakStaysAtTheHighestHoldingWhileCurrentFollowsReleases) {
  CountingWindow window;
  void* first = take(1000);
  void* second = take(5000);
  const std::int64_t both = heapChunk(first) + heapChunk(second);
  std::free(second);
  void* third = take(100);
  EXPECT_EQ(window.peakAbove(), both);
  EXPECT_EQ(window.currentAbove(), heapChunk(first) + heapChunk(third));
  std::free(first);
  std::free(third);
}

TEST_F(AllocationCounterTest, AReallocThatMovesAHeapBlockHoldsOldAndNewAtThePeak) {
  void* moving = take(100);
  void* neighbour = take(100);  // keeps the block from growing in place
  CountingWindow window;
  const std::int64_t old = heapChunk(moving);
  void* moved = std::realloc(moving, 10000);
  ASSERT_NE(moved, nullptr);
  ASSERT_NE(moved, moving);
  EXPECT_EQ(window.currentAbove(), heapChunk(moved) - old);
  EXPECT_EQ(window.peakAbove(), heapChunk(moved));
  std::free(moved);
  std::free(neighbour);
}

TEST_F(AllocationCounterTest, NothingIsCountedOutsideAWindow) {
  void* outside = take(1000);
  const std::int64_t chunk = heapChunk(outside);
  CountingWindow window;
  std::free(outside);  // held before the window: counts as a release
  EXPECT_EQ(window.currentAbove(), -chunk);
  EXPECT_EQ(window.peakAbove(), 0);
}

}  // namespace
}  // namespace bench
