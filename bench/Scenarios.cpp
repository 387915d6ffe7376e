#include "Scenarios.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "BrowseResponseHandler.h"
#include "FailingAllocator.h"
#include "I2/TVarlenSortCache.h"
#include "Peers.h"

namespace bench {

namespace {

using databrowse::BrowseData;
using databrowse::BrowseResponse;

void requireSuccess(const CTzError& result, const char* what) {
  if (!result.isSuccess()) {
    throw std::runtime_error(std::string(what) + " failed with code " +
                             std::to_string(result.code()) + ": " + result.message());
  }
}

double perItem(std::int64_t bytes, const Items& items) {
  return items.empty() ? 0.0 : static_cast<double>(bytes) / static_cast<double>(items.size());
}

// Counts the heap of a scenario when asked; does nothing otherwise.
class HeapCount {
 public:
  explicit HeapCount(bool on) {
    if (on) window_.emplace();
  }
  bool on() const { return window_.has_value(); }
  std::int64_t current() const { return window_ ? window_->currentAbove() : 0; }
  // Records the peak so far; call before building anything the scenario does
  // not own, such as the page of the report.
  void reportPeak(ChildReport& report, const Items& items) const {
    if (!window_) return;
    report.counters["heap_bytes_per_item"] = perItem(window_->peakAbove(), items);
    report.counters["input_bytes_per_item"] = workloadBytesPerItem();
  }

 private:
  std::optional<testsupport::CountingWindow> window_;
};

std::unique_ptr<BrowseResponseConsumer> filledConsumer(Items& items,
                                                       databrowse::BrowseRequest& request) {
  auto consumer = std::make_unique<BrowseResponseConsumer>();
  consumer->cache().reset(request);
  for (BrowseData& item : items) consumer->addItem(item);
  return consumer;
}

std::vector<PlainItem> plainCopies(const Items& items) {
  std::vector<PlainItem> copies;
  copyToPlain(items, copies);
  return copies;
}

std::string sqliteLabel(SqlitePeer& table, Order order, bool descending, const char* steps) {
  return std::string(steps) + "; plan: " + table.plan(order, descending);
}

}  // namespace

std::vector<PlainItem> plainPage(std::vector<BrowseResponse>& responses) {
  std::vector<PlainItem> page;
  if (responses.empty()) return page;
  for (BrowseData& item : responses.front().result().items()) page.push_back(plainOf(item));
  return page;
}

ChildReport addItemsOurs(Items& items, bool reserve) {
  ChildReport report;
  databrowse::BrowseRequest request = pageRequest(Order::kNameNumber, false, 0);
  BrowseResponseConsumer consumer;
  consumer.cache().reset(request);
  {
    TimedRegion timed(report);
    if (reserve) consumer.cache().reserve(items.size());
    for (BrowseData& item : items) consumer.addItem(item);
  }
  if (consumer.cache().itemCount() != items.size()) throw std::runtime_error("items were lost");
  report.label = reserve ? "reserve(N), then N x addItem into a new consumer"
                         : "N x addItem into a new consumer";
  return report;
}

ChildReport addItemsPlain(Items& items) {
  ChildReport report;
  std::vector<PlainItem> copies;
  {
    TimedRegion timed(report);
    copyToPlain(items, copies);
  }
  if (copies.size() != items.size()) throw std::runtime_error("items were lost");
  report.label = "reserve, then copy";
  return report;
}

ChildReport browseOurs(Items& items, Order order, bool descending, bool countHeap) {
  ChildReport report;
  databrowse::BrowseRequest request = pageRequest(order, descending, 0);
  HeapCount heap(countHeap);
  auto consumer = std::make_unique<BrowseResponseConsumer>();
  std::vector<BrowseResponse> responses;
  {
    TimedRegion timed(report);
    consumer->cache().reset(request);
    for (BrowseData& item : items) consumer->addItem(item);
    if (heap.on()) report.counters["copies_bytes_per_item"] = perItem(heap.current(), items);
    requireSuccess(consumer->getResults(request, responses), "getResults");
  }
  heap.reportPeak(report, items);
  report.page = plainPage(responses);
  report.label = "reset, addItem x N, getResults";
  return report;
}

ChildReport browsePlain(Items& items, Order order, bool descending, bool countHeap) {
  ChildReport report;
  HeapCount heap(countHeap);
  std::vector<PlainItem> work;
  std::vector<PlainItem> page;
  {
    TimedRegion timed(report);
    copyToPlain(items, work);
    stableSortPlain(work, order, descending);
    page = cutPage(work, 0);
  }
  heap.reportPeak(report, items);
  report.page = std::move(page);
  report.label = "copy, stable_sort, page";
  return report;
}

ChildReport browseSqlite(Items& items, Order order, bool descending, bool indexed, bool countHeap) {
  ChildReport report;
  HeapCount heap(countHeap);
  SqlitePeer table;
  std::vector<PlainItem> page;
  {
    TimedRegion timed(report);
    table.insertAll(items);
    if (indexed) table.createIndex(order);
    page = table.page(order, descending, 0);
  }
  heap.reportPeak(report, items);
  report.page = std::move(page);
  report.label =
      sqliteLabel(table, order, descending, indexed ? "insert, index, page" : "insert, page");
  return report;
}

ChildReport firstSortOurs(Items& items, Order order, bool descending) {
  ChildReport report;
  databrowse::BrowseRequest request = pageRequest(order, descending, 0);
  auto consumer = filledConsumer(items, request);
  {
    TimedRegion timed(report);
    requireSuccess(consumer->cache().sort(request), "sort");
  }
  // The cache is in this order now: getResults must not sort again.
  std::vector<BrowseResponse> responses;
  requireSuccess(consumer->getResults(request, responses), "getResults");
  report.page = plainPage(responses);
  report.label = "cache().sort after the adds";
  return report;
}

ChildReport firstSortPlain(Items& items, Order order, bool descending) {
  ChildReport report;
  std::vector<PlainItem> work = plainCopies(items);
  {
    TimedRegion timed(report);
    stableSortPlain(work, order, descending);
  }
  report.page = cutPage(work, 0);
  report.label = "stable_sort of the fresh copies";
  return report;
}

ChildReport firstPageOurs(Items& items) {
  ChildReport report;
  databrowse::BrowseRequest request = pageRequest(Order::kNameNumber, false, 0);
  auto consumer = filledConsumer(items, request);
  std::vector<BrowseResponse> responses;
  {
    TimedRegion timed(report);
    requireSuccess(consumer->getResults(request, responses), "getResults");
  }
  report.page = plainPage(responses);
  report.label = "first getResults after the adds";
  return report;
}

ChildReport firstPageSqlite(Items& items) {
  ChildReport report;
  SqlitePeer table;
  table.insertAll(items);
  std::vector<PlainItem> page;
  {
    TimedRegion timed(report);
    page = table.page(Order::kNameNumber, false, 0);
  }
  report.page = std::move(page);
  report.label = sqliteLabel(table, Order::kNameNumber, false, "query after the insert");
  return report;
}

ChildReport sorterAlone(Items& items, std::size_t positionsRead, bool countHeap) {
  // As the cache keys [ByName, ByNumber]: the name ignoring case, cut to the
  // 16-bit length the sorter takes; the number with its sign bit flipped, so
  // that unsigned order is signed order.
  constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;
  constexpr std::size_t kMaxKeyText = std::numeric_limits<unsigned short>::max();
  if (items.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("positions are 32-bit values");
  }
  ChildReport report;
  std::vector<std::int32_t> firstPositions;
  firstPositions.reserve(static_cast<std::size_t>(kPageSize));
  std::uint64_t positionSum = 0;
  std::size_t read = 0;
  HeapCount heap(countHeap);
  {
    I2::TVarlenSortCache sorter;
    TimedRegion timed(report);
    if (sorter.Initialize(2, sizeof(std::int32_t), "machinebrowse", "temp", false, false,
                          nullptr) != 0) {
      throw std::runtime_error("the sorter did not initialise");
    }
    // As the cache does: room for every key, announced before the first.
    sorter.Reserve(items.size());
    for (std::size_t index = 0; index < items.size(); ++index) {
      const std::string_view name = items[index].nameView();
      const auto length = static_cast<unsigned short>(std::min(name.size(), kMaxKeyText));
      const unsigned long number = static_cast<std::uint64_t>(items[index].number()) ^ kSignBit;
      sorter.PrepareKey();
      sorter.AddFieldToKey_IgnoreCase(name.data(), length);
      sorter.AddFieldToKey(number);
      sorter.FinishKey();
      auto position = static_cast<std::int32_t>(index);
      sorter.StoreCurrentKeywithVal(reinterpret_cast<char*>(&position));
    }
    sorter.SortKeys();
    char* value = nullptr;
    for (std::int32_t found = sorter.GetFirstVal(0, 0, value, false);
         found == 0 && read < positionsRead; found = sorter.GetNextVal(0, value, false)) {
      std::int32_t position;
      std::memcpy(&position, value, sizeof position);
      positionSum += static_cast<std::uint64_t>(position);
      if (firstPositions.size() < firstPositions.capacity()) firstPositions.push_back(position);
      ++read;
    }
    timed.stop();
    heap.reportPeak(report, items);
  }
  const std::size_t expected = std::min(positionsRead, items.size());
  if (read != expected) {
    throw std::runtime_error("the sorter gave " + std::to_string(read) + " positions, expected " +
                             std::to_string(expected));
  }
  const std::uint64_t n = items.size();
  if (read == n && positionSum != n * (n - 1) / 2) {
    throw std::runtime_error("the sorter's positions are not each item once");
  }
  for (const std::int32_t position : firstPositions) {
    report.page.push_back(plainOf(items.at(static_cast<std::size_t>(position))));
  }
  report.counters["positions_read"] = static_cast<double>(read);
  report.label = "keys, SortKeys, " + std::to_string(read) + " positions read";
  return report;
}

ChildReport teardownOurs(Items& items) {
  ChildReport report;
  databrowse::BrowseRequest request = pageRequest(Order::kNameNumber, false, 0);
  auto consumer = filledConsumer(items, request);
  {
    std::vector<BrowseResponse> responses;
    requireSuccess(consumer->getResults(request, responses), "getResults");
    report.page = plainPage(responses);
  }
  {
    TimedRegion timed(report);
    consumer.reset();
  }
  report.label = "destroying the filled, sorted consumer";
  return report;
}

ChildReport teardownPlain(Items& items) {
  ChildReport report;
  auto work = std::make_unique<std::vector<PlainItem>>(plainCopies(items));
  stableSortPlain(*work, Order::kNameNumber, false);
  report.page = cutPage(*work, 0);
  {
    TimedRegion timed(report);
    work.reset();
  }
  report.label = "destroying the sorted vector";
  return report;
}

Order warmOrder(WarmChange change) {
  return change == WarmChange::kFlipDirection ? Order::kNameNumber : Order::kNumber;
}

bool warmDescending(WarmChange change) { return change == WarmChange::kFlipDirection; }

ChildReport warmResort(Items& items, WarmChange change) {
  ChildReport report;
  databrowse::BrowseRequest first = pageRequest(Order::kNameNumber, false, 0);
  databrowse::BrowseRequest second = pageRequest(warmOrder(change), warmDescending(change), 0);
  auto consumer = filledConsumer(items, first);
  std::vector<BrowseResponse> responses;
  requireSuccess(consumer->getResults(first, responses), "first getResults");
  {
    TimedRegion timed(report);
    requireSuccess(consumer->getResults(second, responses), "second getResults");
  }
  report.page = plainPage(responses);
  report.label = change == WarmChange::kFlipDirection
                     ? "getResults descending after ascending"
                     : "getResults [ByNumber] after [ByName, ByNumber]";
  return report;
}

}  // namespace bench
