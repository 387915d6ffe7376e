// The pool of browse consumers that the service answers from: one consumer
// per (data set, sort fields), shared by every request for that key.
//
// The first request for a key collects the data set into a new consumer and
// sorts it; a request that arrives meanwhile waits for that collection
// instead of reading the file again. Later requests for the key are answered
// by the same consumer (paging and a flipped direction never sort again)
// until its file changes version, it is evicted for memory, or it stays idle
// longer than the idle timeout.
//
// Memory: the pool keeps the bytes its consumers hold (as their caches
// measure them) within its budget. A collection checks them every few
// thousand items and before and after its sort, evicting least recently used
// idle consumers to make room; it fails with ApiError 503 when its data set
// alone does not fit, or when the rest of the budget is held by consumers in
// use.
//
// Thread safety: every operation may run on any number of threads at once.
// A consumer serves one thread at a time: a Lease holds it exclusively, and
// leases of different keys proceed in parallel.
#pragma once

#include <chrono>
#include <compare>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ApiError.h"
#include "BrowseResponseHandler.h"
#include "DataSetCatalog.h"
#include "Metrics.h"

namespace browse::serve {

struct PoolKey {
  std::string dataSet;  // as requests name it: "/music/2024"
  std::vector<databrowse::FilteredBrowseField> sortFields;

  auto operator<=>(const PoolKey&) const = default;
};

struct PoolSettings {
  std::size_t memoryBudget = std::size_t{1} << 30;
  std::chrono::steady_clock::duration idleTimeout = std::chrono::minutes(10);
  // Items collected between two memory checks.
  std::size_t checkEvery = 4096;
};

class ConsumerPool {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  struct Entry;

  // Takes the items of a collection into its consumer.
  class ItemSink {
   public:
    // Adds a copy of `item`; every checkEvery items, checks the pool's
    // memory (which may throw ApiError 503).
    void add(databrowse::BrowseData& item);
    // Makes room for about `items` items in all, so that the item array is
    // not moved as it grows. A hint: does nothing when the room alone would
    // pass the pool's budget or cannot be had. The room counts in the pool's
    // memory as items take it, and what no item took is given back when the
    // collection ends, so that an estimate too high costs no memory.
    void expect(std::size_t items);

   private:
    friend class ConsumerPool;
    ItemSink(ConsumerPool& pool, Entry& entry) : pool_(pool), entry_(entry) {}
    // The cache's memory without the room made for items still to come,
    // which holds no pages until items take it.
    std::size_t heldBytes() const;

    ConsumerPool& pool_;
    Entry& entry_;
    std::size_t added_ = 0;
    std::size_t reserved_ = 0;
    std::size_t nameBytes_ = 0;
  };

  // Adds every item of the data set to the sink. What it throws fails the
  // collection and passes to every request that waited for it.
  using Collect = std::function<void(ItemSink& sink)>;

  // Exclusive use of one collected, sorted consumer until destroyed.
  class Lease {
   public:
    Lease(Lease&& other) noexcept;
    Lease& operator=(Lease&&) = delete;
    ~Lease();

    // The consumer; its cache holds the data set's items sorted by the key's
    // fields. Valid while the lease lives.
    BrowseResponseConsumer& consumer();
    // True when this acquire collected the data set rather than finding it.
    bool collected() const { return collected_; }

   private:
    friend class ConsumerPool;
    Lease(ConsumerPool& pool, std::shared_ptr<Entry> entry, bool collected);

    ConsumerPool* pool_;
    std::shared_ptr<Entry> entry_;
    bool collected_;
  };

  explicit ConsumerPool(PoolSettings settings, Metrics& metrics,
                        Clock clock = &std::chrono::steady_clock::now);
  ~ConsumerPool();
  ConsumerPool(const ConsumerPool&) = delete;
  ConsumerPool& operator=(const ConsumerPool&) = delete;

  // The consumer of `key` for the data set's file at `version`: the pooled
  // one, or a new one that `collect` fills and the pool then sorts by the
  // key's fields (a pooled one of another version is dropped). Blocks while
  // another thread uses the consumer or collects it. Throws what `collect`
  // throws, ApiError 503 when the data set does not fit in memory, and
  // std::bad_alloc.
  Lease acquire(const PoolKey& key, const FileVersion& version, const Collect& collect);

  // Drops every consumer not in use whose last use is older than the idle
  // timeout; returns how many.
  std::size_t expireIdle();

  // The number of items of the data set at `version` when a collection of
  // that version has completed, even if its consumer has been dropped since.
  std::optional<std::size_t> itemCount(const std::string& dataSet,
                                       const FileVersion& version) const;

  std::size_t liveConsumers() const;
  std::size_t memoryBytes() const;

 private:
  struct KnownCount {
    FileVersion version;
    std::size_t items;
  };
  using Victims = std::vector<std::shared_ptr<Entry>>;

  void collectInto(Entry& entry, const Collect& collect);
  // Marks a failed collection, frees its items and takes it out of the map.
  // Its waiters get `failure`, or a 503 when the collection threw something
  // else. Never throws, so that no failed entry stays in the map.
  void abandon(Entry& entry, const ApiError* failure) noexcept;
  // Records that `entry` holds `bytes` and evicts idle consumers until the
  // pool fits its budget; throws ApiError 503 when it cannot.
  void charge(Entry& entry, std::size_t bytes);
  void release(Entry& entry);
  // Takes `entry` out of the map; its bytes leave the count when its last
  // user leaves. REQUIRES: mutex_ held.
  void retire(std::shared_ptr<Entry> entry, Victims& victims);
  // Retires the least recently used idle consumer other than `keep`; false
  // when there is none. REQUIRES: mutex_ held.
  bool evictOne(const Entry* keep, Victims& victims);
  void publish();  // REQUIRES: mutex_ held

  const PoolSettings settings_;
  Metrics& metrics_;
  const Clock clock_;
  mutable std::mutex mutex_;  // guards everything below and each entry's bookkeeping
  std::map<PoolKey, std::shared_ptr<Entry>> entries_;
  std::map<std::string, KnownCount> counts_;
  std::size_t bytes_ = 0;
};

}  // namespace browse::serve
