// The pool shares one collection per key, keeps to its memory budget by
// evicting idle consumers, and recollects changed files.
#include "ConsumerPool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ApiError.h"
#include "FailingAllocator.h"
#include "ItemGenerator.h"

namespace browse::serve {
namespace {

using std::chrono::steady_clock;

// A collection of `count` generated items.
ConsumerPool::Collect items(std::size_t count, std::atomic<int>* calls = nullptr,
                            std::atomic<std::size_t>* added = nullptr) {
  return [=](ConsumerPool::ItemSink& sink) {
    if (calls) ++*calls;
    ItemGenerator generator(3);
    for (std::size_t i = 0; i < count; ++i) {
      databrowse::BrowseData item = generator.next();
      sink.add(item);
      if (added) ++*added;
    }
  };
}

const PoolKey kByName{"/a", {databrowse::ByName}};
const PoolKey kByNumber{"/a", {databrowse::ByNumber}};
const PoolKey kOther{"/b", {databrowse::ByName}};
const FileVersion kVersion{1, 2, 3, 4};

class ConsumerPoolTest : public ::testing::Test {
 protected:
  // A pool whose clock the test moves.
  ConsumerPool pool(std::size_t budget, std::chrono::seconds idle = std::chrono::seconds(60)) {
    return ConsumerPool({budget, idle, 256}, metrics_, [this] { return now_; });
  }

  // The bytes that one consumer of `count` items holds once sorted.
  std::size_t bytesOf(std::size_t count) {
    Metrics metrics;
    ConsumerPool measuring({std::size_t{1} << 40, std::chrono::seconds(60), 256}, metrics);
    { ConsumerPool::Lease lease = measuring.acquire(kByName, kVersion, items(count)); }
    return measuring.memoryBytes();
  }

  static int statusOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const ApiError& e) {
      return e.status();
    }
    return 200;
  }

  Metrics metrics_;
  steady_clock::time_point now_{std::chrono::hours(1)};
};

TEST_F(ConsumerPoolTest, ACollectedKeyIsSortedAndServedAgainWithoutReading) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::atomic<int> calls{0};
  {
    ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(1000, &calls));
    EXPECT_TRUE(lease.collected());
    BrowseResponseCache& cache = lease.consumer().cache();
    EXPECT_EQ(1000u, cache.itemCount());
    EXPECT_TRUE(cache.isSorted());
    EXPECT_EQ(std::vector<databrowse::FilteredBrowseField>{databrowse::ByName},
              cache.lastSortFields());
    databrowse::BrowseRequest same;
    same.paths(true).emplace_back().setPath("/a");
    EXPECT_TRUE(cache.canServeRequest(same));
  }
  {
    ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(1000, &calls));
    EXPECT_FALSE(lease.collected());
  }
  { ConsumerPool::Lease lease = pool.acquire(kByNumber, kVersion, items(1000, &calls)); }
  EXPECT_EQ(2, calls.load()) << "one collection per (data set, sort fields)";
  EXPECT_EQ(2u, pool.liveConsumers());
  EXPECT_EQ(1u, metrics_.cacheHits());
  EXPECT_EQ(2u, metrics_.collections());
  EXPECT_EQ(2u, metrics_.sorts());
  EXPECT_EQ(1000u, pool.itemCount("/a", kVersion).value());
  EXPECT_FALSE(pool.itemCount("/a", FileVersion{9, 9, 9, 9}).has_value());
  EXPECT_FALSE(pool.itemCount("/b", kVersion).has_value());
}

TEST_F(ConsumerPoolTest, RequestsDuringACollectionWaitForItInsteadOfReadingAgain) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::atomic<int> calls{0};
  std::vector<std::thread> threads;
  std::atomic<int> collected{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(20000, &calls));
      EXPECT_EQ(20000u, lease.consumer().cache().itemCount());
      if (lease.collected()) ++collected;
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(1, calls.load());
  EXPECT_EQ(1, collected.load());
  EXPECT_EQ(7u, metrics_.cacheHits());
}

TEST_F(ConsumerPoolTest, DifferentKeysCollectInParallel) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  // Each collection waits until the other one has started: they can only
  // both finish when they run at the same time.
  const auto meetTheOther = [&](ConsumerPool::ItemSink&) {
    std::unique_lock lock(mutex);
    ++started;
    changed.notify_all();
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return started == 2; }));
  };
  std::thread first([&] { pool.acquire(kByName, kVersion, meetTheOther); });
  std::thread second([&] { pool.acquire(kOther, kVersion, meetTheOther); });
  first.join();
  second.join();
  EXPECT_EQ(2, started);
}

TEST_F(ConsumerPoolTest, AChangedFileIsCollectedAgain) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::atomic<int> calls{0};
  { pool.acquire(kByName, kVersion, items(100, &calls)); }
  const FileVersion changed{1, 2, 4, 4};
  {
    ConsumerPool::Lease lease = pool.acquire(kByName, changed, items(50, &calls));
    EXPECT_TRUE(lease.collected());
    EXPECT_EQ(50u, lease.consumer().cache().itemCount());
  }
  EXPECT_EQ(2, calls.load());
  EXPECT_EQ(1u, pool.liveConsumers());
  EXPECT_EQ(1u, metrics_.evictions(EvictionReason::kChanged));
  EXPECT_EQ(50u, pool.itemCount("/a", changed).value());
}

TEST_F(ConsumerPoolTest, EvictsTheLeastRecentlyUsedIdleConsumerToStayInBudget) {
  const std::size_t one = bytesOf(2000);
  ConsumerPool pool = this->pool(2 * one + one / 2);
  std::atomic<int> calls{0};
  { pool.acquire(kByName, kVersion, items(2000, &calls)); }
  now_ += std::chrono::seconds(1);
  { pool.acquire(kByNumber, kVersion, items(2000, &calls)); }
  now_ += std::chrono::seconds(1);
  { pool.acquire(kByName, kVersion, items(2000, &calls)); }  // now the most recent
  now_ += std::chrono::seconds(1);
  { pool.acquire(kOther, kVersion, items(2000, &calls)); }
  EXPECT_EQ(3, calls.load());
  EXPECT_EQ(2u, pool.liveConsumers());
  EXPECT_LE(pool.memoryBytes(), 2 * one + one / 2);
  EXPECT_EQ(1u, metrics_.evictions(EvictionReason::kMemory));
  {
    ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(2000, &calls));
    EXPECT_FALSE(lease.collected()) << "the least recently used one went";
  }
  EXPECT_EQ(2000u, pool.itemCount("/a", kVersion).value()) << "counts outlive consumers";
}

TEST_F(ConsumerPoolTest, ADataSetLargerThanTheBudgetIsRefusedEarly) {
  const std::size_t budget = bytesOf(2000);
  ConsumerPool pool = this->pool(budget);
  std::atomic<std::size_t> added{0};
  { pool.acquire(kOther, kVersion, items(500)); }
  try {
    pool.acquire(kByName, kVersion, items(100000, nullptr, &added));
    ADD_FAILURE() << "a data set over the budget was collected";
  } catch (const ApiError& e) {
    EXPECT_EQ(503, e.status());
    EXPECT_EQ("too_large", e.code());
    EXPECT_EQ("the data set /a needs more than the cache memory of " + std::to_string(budget) +
                  " bytes (0 MiB)",
              std::string(e.what()));
  }
  EXPECT_LT(added.load(), 10000u) << "the collection stops once it is over the budget";
  EXPECT_LE(pool.liveConsumers(), 1u) << "the refused one is gone; the small one may be too";
  EXPECT_LE(pool.memoryBytes(), budget);
  EXPECT_EQ(200, statusOf([&] { pool.acquire(kOther, kVersion, items(500)); }));
}

// The expected items are a hint from the file's first lines: their room is
// made at once but counts only as items take it, and room that they leave
// unused is given back, so that an estimate too high neither refuses a data
// set nor holds memory for it.
TEST_F(ConsumerPoolTest, ExpectedItemsAreReservedAndCountedAsTheyComeUnlessOverTheBudget) {
  constexpr std::size_t kItem = sizeof(databrowse::BrowseData);
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::size_t countedForTheRoom = 0;
  const auto expecting = [&](std::size_t expected) {
    return [&, expected](ConsumerPool::ItemSink& sink) {
      const std::size_t before = pool.memoryBytes();
      sink.expect(expected);
      countedForTheRoom = pool.memoryBytes() - before;
      items(1000)(sink);
    };
  };
  {
    ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, expecting(1062));
    EXPECT_EQ(1000u, lease.consumer().cache().itemCount());
    EXPECT_GE(lease.consumer().cache().memoryBytes(), 1062 * kItem)
        << "a close estimate's room stays";
  }
  EXPECT_LT(countedForTheRoom, 1000 * kItem) << "the room counts as the items come";
  {
    ConsumerPool::Lease lease = pool.acquire(kOther, kVersion, expecting(5000));
    EXPECT_EQ(1000u, lease.consumer().cache().itemCount());
    EXPECT_LT(lease.consumer().cache().memoryBytes(), 2000 * kItem)
        << "the room that no item took is given back";
  }
  EXPECT_LT(countedForTheRoom, 1000 * kItem);

  const std::size_t budget = bytesOf(2000);
  ConsumerPool small = this->pool(budget);
  const auto overBudget = [&](ConsumerPool::ItemSink& sink) {
    sink.expect(budget);  // room for more items than the budget holds bytes
    items(100)(sink);
  };
  ConsumerPool::Lease lease = small.acquire(kOther, kVersion, overBudget);
  EXPECT_EQ(100u, lease.consumer().cache().itemCount()) << "a hint past the budget is ignored";
  EXPECT_LE(small.memoryBytes(), budget);
}

TEST_F(ConsumerPoolTest, ConsumersInUseAreNotEvictedAndTheCollectionIsRefused) {
  const std::size_t one = bytesOf(2000);
  ConsumerPool pool = this->pool(one + one / 2);
  ConsumerPool::Lease held = pool.acquire(kByName, kVersion, items(2000));
  try {
    pool.acquire(kOther, kVersion, items(2000));
    ADD_FAILURE() << "collected past the budget";
  } catch (const ApiError& e) {
    EXPECT_EQ(503, e.status());
    EXPECT_EQ("busy", e.code());
  }
  EXPECT_EQ(1u, pool.liveConsumers());
  EXPECT_EQ(2000u, held.consumer().cache().itemCount());
}

TEST_F(ConsumerPoolTest, AFailedCollectionFailsItsWaitersAndTheNextRequestRetries) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<int> calls{0};
  const auto failing = [&](ConsumerPool::ItemSink&) {
    ++calls;
    std::unique_lock lock(mutex);
    released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    throw ApiError(500, "bad_data_set", "line 1: broken");
  };
  std::thread collector(
      [&] { EXPECT_EQ(500, statusOf([&] { pool.acquire(kByName, kVersion, failing); })); });
  while (calls.load() == 0) std::this_thread::yield();
  std::thread waiter(
      [&] { EXPECT_EQ(500, statusOf([&] { pool.acquire(kByName, kVersion, failing); })); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  collector.join();
  waiter.join();
  EXPECT_EQ(1, calls.load()) << "the waiter got the collector's failure";
  EXPECT_EQ(0u, pool.liveConsumers());
  ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(10, &calls));
  EXPECT_TRUE(lease.collected());
}

// A collection that fails (for want of memory, or on a bad line) may find
// memory short again while the pool records the failure. Whichever
// allocation fails, the entry leaves the pool with its bytes, so that the
// next request collects the data set again instead of being answered from
// the part that was collected.
TEST_F(ConsumerPoolTest, AFailedCollectionLeavesThePoolWhateverAllocationFailsAfterIt) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  const ConsumerPool::Collect outOfMemory = [](ConsumerPool::ItemSink& sink) {
    items(300)(sink);
    throw std::bad_alloc();
  };
  const ConsumerPool::Collect badLine = [](ConsumerPool::ItemSink& sink) {
    items(300)(sink);
    throw ApiError(500, "bad_data_set", "line 301: not an item");
  };
  for (const ConsumerPool::Collect* failing : {&outOfMemory, &badLine}) {
    bool failedEveryAllocation = false;
    for (std::uint64_t k = 1; !failedEveryAllocation; ++k) {
      SCOPED_TRACE("allocation " + std::to_string(k) + " fails");
      {
        testsupport::AllocationFailure failure(k);
        EXPECT_ANY_THROW(pool.acquire(kByName, kVersion, *failing));
        failedEveryAllocation = !failure.happened();
      }
      EXPECT_EQ(0u, pool.liveConsumers());
      EXPECT_EQ(0u, pool.memoryBytes());
      {
        ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(1000));
        EXPECT_EQ(1000u, lease.consumer().cache().itemCount());
        EXPECT_TRUE(lease.collected());
      }
      now_ += std::chrono::minutes(2);
      ASSERT_EQ(1u, pool.expireIdle());
    }
  }
}

// A request that waited for such a collection fails too, rather than being
// answered from its part.
TEST_F(ConsumerPoolTest, AWaiterFailsWithACollectionThatRanOutOfMemory) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30);
  std::mutex mutex;
  std::condition_variable released;
  bool release = false;
  std::atomic<bool> collecting{false};
  // Memory is still short once the collection has failed: the allocation
  // after the throw fails as well.
  struct ShortOfMemoryFromNowOn {
    ~ShortOfMemoryFromNowOn() { testsupport::failAllocation(1); }
  };
  const auto outOfMemory = [&](ConsumerPool::ItemSink& sink) {
    items(300)(sink);
    collecting = true;
    std::unique_lock lock(mutex);
    released.wait_for(lock, std::chrono::seconds(10), [&] { return release; });
    ShortOfMemoryFromNowOn shortOfMemory;
    throw std::bad_alloc();
  };
  std::thread collector(
      [&] { EXPECT_THROW(pool.acquire(kByName, kVersion, outOfMemory), std::bad_alloc); });
  while (!collecting) std::this_thread::yield();
  std::atomic<int> calls{0};
  std::size_t servedItems = 0;
  bool waiterOutOfMemory = false;
  std::thread waiter([&] {
    try {
      ConsumerPool::Lease lease = pool.acquire(kByName, kVersion, items(1000, &calls));
      servedItems = lease.consumer().cache().itemCount();
    } catch (const std::bad_alloc&) {
      waiterOutOfMemory = true;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  released.notify_all();
  collector.join();
  waiter.join();
  testsupport::failAllocation(0);
  EXPECT_EQ(0, calls.load()) << "the waiter came after the collection";
  EXPECT_TRUE(waiterOutOfMemory);
  EXPECT_EQ(0u, servedItems) << "the waiter was answered from the part collected";
  EXPECT_EQ(0u, pool.liveConsumers());
  EXPECT_EQ(0u, pool.memoryBytes());
}

TEST_F(ConsumerPoolTest, IdleConsumersExpire) {
  ConsumerPool pool = this->pool(std::size_t{1} << 30, std::chrono::seconds(30));
  { pool.acquire(kByName, kVersion, items(100)); }
  now_ += std::chrono::seconds(20);
  { pool.acquire(kOther, kVersion, items(100)); }
  ConsumerPool::Lease held = pool.acquire(kByNumber, kVersion, items(100));
  now_ += std::chrono::seconds(20);
  EXPECT_EQ(1u, pool.expireIdle()) << "only the first, unused for 40 s";
  now_ += std::chrono::seconds(60);
  EXPECT_EQ(1u, pool.expireIdle()) << "the one in use stays";
  EXPECT_EQ(1u, pool.liveConsumers());
  EXPECT_EQ(2u, metrics_.evictions(EvictionReason::kIdle));
}

}  // namespace
}  // namespace browse::serve
