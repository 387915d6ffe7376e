// The failure injection itself: which allocation fails, through which
// functions, and what the counters say.
#include "FailingAllocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

namespace {

using testsupport::AllocationFailure;
using testsupport::AllocationTally;

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

}  // namespace
