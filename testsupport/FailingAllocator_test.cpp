// The replaced allocator itself: which allocation fails, through which
// functions, and what the counters of calls and of bytes say.
#include "FailingAllocator.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "Sanitizer.h"

namespace {

using testsupport::AllocationFailure;
using testsupport::AllocationTally;
using testsupport::CountingWindow;

TEST(FailingAllocatorTest, FailsExactlyTheKthAllocation) {
  void* first = nullptr;
  void* second = nullptr;
  {
    AllocationFailure failure(2);
    first = std::malloc(16);
    second = std::malloc(16);
    EXPECT_TRUE(failure.happened());
  }
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, second);
  std::free(first);

  AllocationFailure failure(1);
  EXPECT_THROW(static_cast<void>(std::make_unique<std::string>(100, 'x')), std::bad_alloc);
  EXPECT_TRUE(failure.happened());
  EXPECT_NO_THROW(static_cast<void>(std::make_unique<int>(1))) << "only one allocation fails";
}

TEST(FailingAllocatorTest, EveryFormOfAllocationCanFail) {
  {
    AllocationFailure failure(1);
    EXPECT_EQ(nullptr, std::calloc(4, 4));
  }
  {
    void* block = std::malloc(8);
    AllocationFailure failure(1);
    void* moved = std::realloc(block, 1 << 20);
    EXPECT_EQ(nullptr, moved);
    std::free(moved != nullptr ? moved : block);  // a failed realloc keeps the block
  }
  {
    AllocationFailure failure(1);
    EXPECT_EQ(nullptr, std::aligned_alloc(64, 64));
  }
  {
    AllocationFailure failure(1);
    EXPECT_EQ(nullptr, new (std::nothrow) int(3));
  }
  {
    AllocationFailure failure(1);
    EXPECT_THROW(static_cast<void>(new (std::align_val_t{64}) char[64]), std::bad_alloc);
  }
}

TEST(FailingAllocatorTest, CountsAllocationsAndFreedBlocks) {
  AllocationTally tally;
  auto* a = new int(1);
  void* b = std::malloc(3);
  EXPECT_EQ(2u, tally.allocations());
  EXPECT_EQ(-2, tally.blocksFreed());
  delete a;
  std::free(b);
  EXPECT_EQ(0, tally.blocksFreed());
}

TEST(FailingAllocatorTest, EachKFailsItsOwnAllocationOfASequence) {
  constexpr int kSequence = 5;
  for (int k = 1; k <= kSequence; ++k) {
    void* blocks[kSequence] = {};
    {
      AllocationFailure failure(static_cast<std::uint64_t>(k));
      for (void*& block : blocks) block = std::malloc(32);
    }
    for (int i = 0; i < kSequence; ++i) {
      EXPECT_EQ(i + 1 == k, blocks[i] == nullptr) << "k " << k << ", allocation " << i + 1;
      std::free(blocks[i]);
    }
  }
  testsupport::failAllocation(0);
  EXPECT_FALSE(testsupport::allocationFailed());
}

// Bytes are counted as glibc's chunks. Blocks are taken with the C
// allocator, so that nothing else allocates between the steps of a test.
class CountingWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (testsupport::kAddressSanitizer) {
      GTEST_SKIP() << "the sanitizer's allocator does not lay blocks out as glibc's";
    }
  }
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

TEST_F(CountingWindowTest, TheRunningAllocatorHasTheAssumedChunkLayout) {
  EXPECT_NO_THROW(testsupport::checkChunkLayout());
}

TEST_F(CountingWindowTest, SmallBlocksCountWithTheirEightByteHeader) {
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

TEST_F(CountingWindowTest, AMappedBlockCountsWithItsSixteenByteHeader) {
  CountingWindow window;
  void* block = take(std::size_t{64} << 20);
  const auto expected = static_cast<std::int64_t>(malloc_usable_size(block) + 16);
  EXPECT_EQ(window.currentAbove(), expected);
  EXPECT_EQ(static_cast<std::int64_t>(testsupport::chunkBytes(block)), expected);
  std::free(block);
  EXPECT_EQ(window.peakAbove(), expected);
}

TEST_F(CountingWindowTest, PeakStaysAtTheHighestHoldingWhileCurrentFollowsReleases) {
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

TEST_F(CountingWindowTest, AReallocThatMovesAHeapBlockHoldsOldAndNewAtThePeak) {
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

TEST_F(CountingWindowTest, NothingIsCountedOutsideAWindow) {
  void* outside = take(1000);
  const std::int64_t chunk = heapChunk(outside);
  CountingWindow window;
  std::free(outside);  // held before the window: counts as a release
  EXPECT_EQ(window.currentAbove(), -chunk);
  EXPECT_EQ(window.peakAbove(), 0);
}

// Calls and bytes are counted together, and a failed allocation holds
// nothing.
TEST_F(CountingWindowTest, CountsCallsAndBytesAtOnce) {
  AllocationTally tally;
  CountingWindow window;
  void* block = take(1000);
  {
    AllocationFailure failure(1);
    EXPECT_EQ(nullptr, std::malloc(5000));
  }
  EXPECT_EQ(2u, tally.allocations());
  EXPECT_EQ(-1, tally.blocksFreed());
  EXPECT_EQ(window.peakAbove(), heapChunk(block));
  std::free(block);
  EXPECT_EQ(0, tally.blocksFreed());
  EXPECT_EQ(0, window.currentAbove());
}

}  // namespace
