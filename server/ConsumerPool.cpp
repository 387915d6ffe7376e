#include "ConsumerPool.h"

#include <algorithm>
#include <new>
#include <type_traits>
#include <utility>

namespace browse::serve {

namespace {

// Bytes the key sorter is expected to need per item beyond the key's own
// bytes: the 12-byte key, the 4-byte value, the key's length and slack. The
// pool reserves this before a sort and measures what the sort really took
// right after it.
constexpr std::size_t kSortBytesPerKey = 24;
// Encoded widths of the key fields: 16- and 64-bit numbers, a text's
// terminator.
constexpr std::size_t kFlagKeyBytes = 2;
constexpr std::size_t kNumberKeyBytes = 8;
constexpr std::size_t kTextEndBytes = 2;
// A collection that leaves more than this share of its items' room unused
// gives the room back.
constexpr std::size_t kUnusedRoomShare = 8;

std::size_t sortEstimate(std::size_t items, std::size_t nameBytes,
                         const std::vector<databrowse::FilteredBrowseField>& fields) {
  std::size_t bytes = items * kSortBytesPerKey;
  for (const databrowse::FilteredBrowseField field : fields) {
    switch (field) {
      case databrowse::ByName:
        bytes += nameBytes + items * kTextEndBytes;
        break;
      case databrowse::ByNumber:
        bytes += items * kNumberKeyBytes;
        break;
      case databrowse::ByFlag:
        bytes += items * kFlagKeyBytes;
        break;
      default:
        break;  // adds no key
    }
  }
  return bytes;
}

std::string mebibytes(std::size_t bytes) {
  return std::to_string(bytes) + " bytes (" + std::to_string(bytes >> 20) + " MiB)";
}

}  // namespace

struct ConsumerPool::Entry {
  enum class State { kCollecting, kReady, kFailed };

  Entry(PoolKey key, FileVersion version) : key(std::move(key)), version(version) {}

  const PoolKey key;
  const FileVersion version;
  // Held by the one thread that works in the consumer, a collection included.
  std::mutex use;
  BrowseResponseConsumer consumer;

  // Guarded by the pool's mutex.
  State state = State::kCollecting;
  // Why the collection failed, for the requests that waited for it; each
  // gets a copy of its own.
  std::optional<ApiError> failure;
  std::size_t bytes = 0;  // counted in the pool's bytes
  std::size_t users = 0;  // leases and threads waiting for one
  bool inMap = true;
  std::chrono::steady_clock::time_point lastUse;
};

void ConsumerPool::ItemSink::add(databrowse::BrowseData& item) {
  entry_.consumer.addItem(item);
  nameBytes_ += item.nameView().size();
  if (++added_ % pool_.settings_.checkEvery == 0) pool_.charge(entry_, heldBytes());
}

void ConsumerPool::ItemSink::expect(std::size_t items) {
  if (items > pool_.settings_.memoryBudget / sizeof(databrowse::BrowseData)) return;
  try {
    entry_.consumer.cache().reserve(items);
  } catch (const std::bad_alloc&) {
    return;  // the items still arrive, and the memory checks see them
  }
  reserved_ = std::max(reserved_, items);
}

std::size_t ConsumerPool::ItemSink::heldBytes() const {
  const std::size_t toCome = reserved_ > added_ ? reserved_ - added_ : 0;
  return entry_.consumer.cache().memoryBytes() - toCome * sizeof(databrowse::BrowseData);
}

ConsumerPool::Lease::Lease(ConsumerPool& pool, std::shared_ptr<Entry> entry, bool collected)
    : pool_(&pool), entry_(std::move(entry)), collected_(collected) {}

ConsumerPool::Lease::Lease(Lease&& other) noexcept
    : pool_(other.pool_), entry_(std::move(other.entry_)), collected_(other.collected_) {}

ConsumerPool::Lease::~Lease() {
  if (entry_) pool_->release(*entry_);
}

BrowseResponseConsumer& ConsumerPool::Lease::consumer() { return entry_->consumer; }

ConsumerPool::ConsumerPool(PoolSettings settings, Metrics& metrics, Clock clock)
    : settings_(settings), metrics_(metrics), clock_(std::move(clock)) {
  std::lock_guard lock(mutex_);
  publish();
}

ConsumerPool::~ConsumerPool() = default;

ConsumerPool::Lease ConsumerPool::acquire(const PoolKey& key, const FileVersion& version,
                                          const Collect& collect) {
  std::shared_ptr<Entry> entry;
  std::unique_lock<std::mutex> collecting;  // a new entry's use, held by its collector
  bool collector = false;
  Victims victims;
  {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found != entries_.end() && found->second->version != version) {
      metrics_.countEviction(EvictionReason::kChanged);
      retire(found->second, victims);
      found = entries_.end();
    }
    if (found == entries_.end()) {
      entry = std::make_shared<Entry>(key, version);
      // Taken before another request can find the entry, so that one that
      // comes now waits for the collection instead of finding it empty. A
      // new mutex is free: try_lock takes it without waiting and, unlike
      // lock, orders nothing after the pool's mutex (lock only should it
      // fail spuriously, as the standard allows).
      collecting = std::unique_lock(entry->use, std::try_to_lock);
      if (!collecting.owns_lock()) collecting.lock();
      entries_.emplace(key, entry);
      collector = true;
    } else {
      entry = found->second;
    }
    ++entry->users;
    entry->lastUse = clock_();
    publish();
  }
  victims.clear();

  if (collector) {
    collecting.release();  // the lease unlocks it
  } else {
    entry->use.lock();
  }
  Lease lease(*this, entry, collector);
  if (collector) {
    try {
      collectInto(*entry, collect);
    } catch (const ApiError& e) {
      abandon(*entry, &e);
      throw;
    } catch (...) {
      abandon(*entry, nullptr);
      throw;
    }
  } else {
    std::optional<ApiError> failure;
    bool failed = false;
    {
      std::lock_guard lock(mutex_);
      failed = entry->state == Entry::State::kFailed;
      if (failed) failure = entry->failure;
    }
    if (failure) throw *failure;
    if (failed) throw std::bad_alloc();  // the collector had no memory to keep its failure
    metrics_.countCacheHit();
  }
  return lease;
}

void ConsumerPool::abandon(Entry& entry, const ApiError* failure) noexcept {
  // Runs where memory may have run out: the entry leaves the map and gives
  // back its bytes whatever fails to be allocated here.
  std::optional<ApiError> kept;
  try {
    kept = failure ? *failure
                   : ApiError(503, "unavailable",
                              "reading the data set " + entry.key.dataSet + " failed; retry later");
  } catch (...) {
    // Only memory can be short here; the waiters then fail for want of it.
  }
  {
    std::lock_guard lock(mutex_);
    entry.state = Entry::State::kFailed;
    static_assert(std::is_nothrow_move_assignable_v<std::optional<ApiError>>);
    entry.failure = std::move(kept);
    bytes_ -= entry.bytes;
    entry.bytes = 0;
    // Not retire(): the collector's lease keeps the entry, and a victim's
    // place would be one more allocation.
    if (entry.inMap) {
      entries_.erase(entry.key);
      entry.inMap = false;
    }
    publish();
  }
  // The items go at once rather than with the last waiter; a move, unlike a
  // new consumer, cannot fail.
  const BrowseResponseConsumer freed = std::move(entry.consumer);
}

void ConsumerPool::collectInto(Entry& entry, const Collect& collect) {
  BrowseResponseCache& cache = entry.consumer.cache();
  // The cache keeps only the data set's path of the request it is reset
  // with, not the first client's whole request.
  databrowse::BrowseRequest request;
  request.paths(true).emplace_back().setPath(entry.key.dataSet);
  cache.reset(request);

  ItemSink sink(*this, entry);
  collect(sink);
  metrics_.countCollection(entry.key.dataSet);

  const std::size_t items = cache.itemCount();
  // Room for more items than came, past the hint's own slack, is given back.
  if (sink.reserved_ > items + items / kUnusedRoomShare) cache.shrinkToFit();
  charge(entry, cache.memoryBytes() + sortEstimate(items, sink.nameBytes_, entry.key.sortFields));
  if (!entry.key.sortFields.empty()) {
    request.queries(true).emplace_back().parameters(true).sort(true).fields(true) =
        entry.key.sortFields;
  }
  // A failed sort leaves the cache unsorted; getResults reports it.
  cache.sort(request);
  metrics_.countSort();
  charge(entry, cache.memoryBytes());

  std::lock_guard lock(mutex_);
  entry.state = Entry::State::kReady;
  // A consumer retired meanwhile holds an older version than the pool knows.
  if (entry.inMap) counts_[entry.key.dataSet] = {entry.version, items};
}

void ConsumerPool::charge(Entry& entry, std::size_t bytes) {
  Victims victims;
  bool alone = false;
  bool fits = true;
  {
    std::lock_guard lock(mutex_);
    bytes_ = bytes_ - entry.bytes + bytes;
    entry.bytes = bytes;
    alone = bytes > settings_.memoryBudget;
    while (!alone && bytes_ > settings_.memoryBudget && evictOne(&entry, victims)) {
    }
    fits = bytes_ <= settings_.memoryBudget;
    publish();
  }
  victims.clear();
  if (alone) {
    throw ApiError(503, "too_large",
                   "the data set " + entry.key.dataSet + " needs more than the cache memory of " +
                       mebibytes(settings_.memoryBudget));
  }
  if (!fits) {
    throw ApiError(503, "busy",
                   "the cache memory is held by requests in flight; retry the data set " +
                       entry.key.dataSet + " later");
  }
}

void ConsumerPool::release(Entry& entry) {
  Victims victims;
  {
    std::lock_guard lock(mutex_);
    // Reads finish the sorted order where they read, so the sorter's bytes
    // may grow with use.
    if (entry.inMap && entry.state == Entry::State::kReady) {
      const std::size_t bytes = entry.consumer.cache().memoryBytes();
      bytes_ = bytes_ - entry.bytes + bytes;
      entry.bytes = bytes;
      while (bytes_ > settings_.memoryBudget && evictOne(&entry, victims)) {
      }
    }
    entry.lastUse = clock_();
    --entry.users;
    if (!entry.inMap && entry.users == 0) {
      bytes_ -= entry.bytes;
      entry.bytes = 0;
    }
    publish();
  }
  entry.use.unlock();
}

void ConsumerPool::retire(std::shared_ptr<Entry> entry, Victims& victims) {
  entries_.erase(entry->key);
  entry->inMap = false;
  if (entry->users == 0) {
    bytes_ -= entry->bytes;
    entry->bytes = 0;
  }
  // Destroyed by the caller once the mutex is released: freeing a large
  // cache takes milliseconds.
  victims.push_back(std::move(entry));
}

bool ConsumerPool::evictOne(const Entry* keep, Victims& victims) {
  std::shared_ptr<Entry> oldest;
  for (const auto& [key, entry] : entries_) {
    if (entry.get() == keep || entry->users != 0 || entry->state != Entry::State::kReady) continue;
    if (!oldest || entry->lastUse < oldest->lastUse) oldest = entry;
  }
  if (!oldest) return false;
  metrics_.countEviction(EvictionReason::kMemory);
  retire(oldest, victims);
  return true;
}

std::size_t ConsumerPool::expireIdle() {
  Victims victims;
  {
    std::lock_guard lock(mutex_);
    const auto now = clock_();
    std::vector<std::shared_ptr<Entry>> idle;
    for (const auto& [key, entry] : entries_) {
      if (entry->users == 0 && entry->state == Entry::State::kReady &&
          now - entry->lastUse >= settings_.idleTimeout) {
        idle.push_back(entry);
      }
    }
    for (const auto& entry : idle) {
      metrics_.countEviction(EvictionReason::kIdle);
      retire(entry, victims);
    }
    publish();
  }
  return victims.size();
}

std::optional<std::size_t> ConsumerPool::itemCount(const std::string& dataSet,
                                                   const FileVersion& version) const {
  std::lock_guard lock(mutex_);
  const auto found = counts_.find(dataSet);
  if (found == counts_.end() || found->second.version != version) return std::nullopt;
  return found->second.items;
}

std::size_t ConsumerPool::liveConsumers() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

std::size_t ConsumerPool::memoryBytes() const {
  std::lock_guard lock(mutex_);
  return bytes_;
}

void ConsumerPool::publish() {
  metrics_.setCacheState(entries_.size(), bytes_, settings_.memoryBudget);
}

}  // namespace browse::serve
