// The service's counters and gauges, written in the Prometheus text format.
//
// Thread safety: every operation may run on any number of threads at once;
// counters are atomic, so a scrape may see one request counted in the
// requests but not yet in the histogram.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace browse::serve {

enum class EvictionReason { kMemory, kIdle, kChanged };

class Metrics {
 public:
  Metrics() = default;
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  // One answered request: its status and how long it took.
  void countRequest(int status, std::chrono::microseconds took);
  // An answer cut short after its status went out: the client left, a write
  // timed out or the answer's stream failed. Counted in countRequest too.
  void countIncompleteAnswer() { incompleteAnswers_.fetch_add(1, std::memory_order_relaxed); }

  // The consumer pool: a request answered by a cached consumer, a data set
  // read into a new consumer, a sort of one, a consumer dropped.
  void countCacheHit() { cacheHits_.fetch_add(1, std::memory_order_relaxed); }
  // Counted in total and for the data set: the first kMaxDataSetSeries data
  // sets collected have a series each, later ones share kOtherDataSets.
  void countCollection(std::string_view dataSet);
  void countSort() { sorts_.fetch_add(1, std::memory_order_relaxed); }
  void countEviction(EvictionReason reason);
  // The consumers the pool holds and the bytes they hold, with its budget.
  void setCacheState(std::size_t live, std::size_t bytes, std::size_t budget);

  // Connections: accepted and being served or waiting (open), and refused
  // because the bound was reached.
  void connectionOpened() { openConnections_.fetch_add(1, std::memory_order_relaxed); }
  void connectionClosed() { openConnections_.fetch_sub(1, std::memory_order_relaxed); }
  void connectionRefused() { refusedConnections_.fetch_add(1, std::memory_order_relaxed); }

  std::uint64_t cacheHits() const { return cacheHits_.load(); }
  std::uint64_t collections() const { return collections_.load(); }
  // Collections counted under `dataSet` (kOtherDataSets for those past the bound).
  std::uint64_t collections(std::string_view dataSet) const;
  std::uint64_t sorts() const { return sorts_.load(); }
  std::uint64_t evictions(EvictionReason reason) const;
  std::uint64_t requests(int status) const;
  std::uint64_t incompleteAnswers() const { return incompleteAnswers_.load(); }

  // Every metric in the Prometheus text exposition format (version 0.0.4).
  std::string prometheusText() const;

  // Data sets with a collection series of their own; the bound keeps a
  // scrape's size independent of how many data sets clients name.
  static constexpr std::size_t kMaxDataSetSeries = 1000;
  // The series of the data sets past the bound: data-set paths start with
  // '/', so no data set has this name.
  static constexpr std::string_view kOtherDataSets = "other";

 private:
  // Upper bounds of the latency histogram's buckets, in seconds.
  static constexpr std::array<double, 14> kLatencyBuckets = {
      0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 5};
  static constexpr int kStatuses = 600;

  std::array<std::atomic<std::uint64_t>, kStatuses> requestsByStatus_{};
  std::array<std::atomic<std::uint64_t>, kLatencyBuckets.size()> latencyBuckets_{};
  std::atomic<std::uint64_t> latencyCount_{0};
  std::atomic<std::uint64_t> latencySumMicros_{0};
  std::atomic<std::uint64_t> incompleteAnswers_{0};
  std::atomic<std::uint64_t> cacheHits_{0};
  std::atomic<std::uint64_t> collections_{0};
  std::atomic<std::uint64_t> sorts_{0};
  mutable std::mutex dataSetMutex_;  // guards collectionsByDataSet_
  std::map<std::string, std::uint64_t, std::less<>> collectionsByDataSet_;
  std::array<std::atomic<std::uint64_t>, 3> evictions_{};
  std::atomic<std::size_t> liveCaches_{0};
  std::atomic<std::size_t> cacheBytes_{0};
  std::atomic<std::size_t> cacheBudget_{0};
  std::atomic<std::int64_t> openConnections_{0};
  std::atomic<std::uint64_t> refusedConnections_{0};
};

}  // namespace browse::serve
