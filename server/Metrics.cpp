#include "Metrics.h"

#include <simdjson.h>

#include <cstdio>
#include <nlohmann/json.hpp>

namespace browse::serve {

namespace {

constexpr const char* kEvictionReasons[] = {"memory", "idle", "changed"};

void appendMetric(std::string& text, const char* name, const char* type, const char* help) {
  text += "# HELP ";
  text += name;
  text += ' ';
  text += help;
  text += "\n# TYPE ";
  text += name;
  text += ' ';
  text += type;
  text += '\n';
}

void appendSample(std::string& text, const std::string& series, double value) {
  char number[32];
  std::snprintf(number, sizeof number, "%.9g", value);
  text += series;
  text += ' ';
  text += number;
  text += '\n';
}

// `text` with each byte that is not part of UTF-8 replaced by U+FFFD, as the
// JSON writer replaces them: the text format is UTF-8, a file name need not be.
std::string validUtf8(std::string_view text) {
  if (simdjson::validate_utf8(text)) return std::string(text);
  const std::string quoted = nlohmann::json(std::string(text))
                                 .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  return nlohmann::json::parse(quoted).get<std::string>();
}

// A label value as the text format escapes it.
std::string labelValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (const char c : value) {
    if (c == '\\' || c == '"') {
      escaped += '\\';
      escaped += c;
    } else if (c == '\n') {
      escaped += "\\n";
    } else {
      escaped += c;
    }
  }
  return escaped;
}

void appendSample(std::string& text, const std::string& series, std::uint64_t value) {
  text += series;
  text += ' ';
  text += std::to_string(value);
  text += '\n';
}

}  // namespace

void Metrics::countRequest(int status, std::chrono::microseconds took) {
  if (status >= 0 && status < kStatuses) {
    requestsByStatus_[static_cast<std::size_t>(status)].fetch_add(1, std::memory_order_relaxed);
  }
  const double seconds = static_cast<double>(took.count()) / 1e6;
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    if (seconds <= kLatencyBuckets[i]) {
      latencyBuckets_[i].fetch_add(1, std::memory_order_relaxed);
      break;
    }
  }
  latencyCount_.fetch_add(1, std::memory_order_relaxed);
  latencySumMicros_.fetch_add(static_cast<std::uint64_t>(took.count()), std::memory_order_relaxed);
}

void Metrics::countCollection(std::string_view dataSet) {
  collections_.fetch_add(1, std::memory_order_relaxed);
  // Names that differ only in bytes that are not UTF-8 share one series, as
  // they would show the same label.
  const std::string label = validUtf8(dataSet);
  std::lock_guard lock(dataSetMutex_);
  auto series = collectionsByDataSet_.find(label);
  if (series == collectionsByDataSet_.end()) {
    // The "other" series takes one of the places, so the bound holds for the
    // series written.
    const bool full = collectionsByDataSet_.size() + 1 >= kMaxDataSetSeries;
    series = collectionsByDataSet_.try_emplace(full ? std::string(kOtherDataSets) : label, 0).first;
  }
  ++series->second;
}

std::uint64_t Metrics::collections(std::string_view dataSet) const {
  const std::string label = validUtf8(dataSet);
  std::lock_guard lock(dataSetMutex_);
  const auto series = collectionsByDataSet_.find(label);
  return series == collectionsByDataSet_.end() ? 0 : series->second;
}

void Metrics::countEviction(EvictionReason reason) {
  evictions_[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
}

void Metrics::setCacheState(std::size_t live, std::size_t bytes, std::size_t budget) {
  liveCaches_.store(live, std::memory_order_relaxed);
  cacheBytes_.store(bytes, std::memory_order_relaxed);
  cacheBudget_.store(budget, std::memory_order_relaxed);
}

std::uint64_t Metrics::evictions(EvictionReason reason) const {
  return evictions_[static_cast<std::size_t>(reason)].load();
}

std::uint64_t Metrics::requests(int status) const {
  return status >= 0 && status < kStatuses
             ? requestsByStatus_[static_cast<std::size_t>(status)].load()
             : 0;
}

std::string Metrics::prometheusText() const {
  std::string text;
  appendMetric(text, "browse_requests_total", "counter", "Requests answered, by HTTP status.");
  for (int status = 0; status < kStatuses; ++status) {
    const std::uint64_t count = requests(status);
    if (count != 0) {
      appendSample(text, "browse_requests_total{status=\"" + std::to_string(status) + "\"}", count);
    }
  }
  appendMetric(text, "browse_answers_incomplete_total", "counter",
               "Answers cut short after their status went out: the client left, a write timed "
               "out or a streamed body failed.");
  appendSample(text, "browse_answers_incomplete_total", incompleteAnswers());
  appendMetric(text, "browse_request_duration_seconds", "histogram",
               "Time from a request's headers to its answer written.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kLatencyBuckets.size(); ++i) {
    cumulative += latencyBuckets_[i].load(std::memory_order_relaxed);
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", kLatencyBuckets[i]);
    appendSample(text, std::string("browse_request_duration_seconds_bucket{le=\"") + bound + "\"}",
                 cumulative);
  }
  const std::uint64_t count = latencyCount_.load(std::memory_order_relaxed);
  appendSample(text, "browse_request_duration_seconds_bucket{le=\"+Inf\"}", count);
  appendSample(text, "browse_request_duration_seconds_sum",
               static_cast<double>(latencySumMicros_.load(std::memory_order_relaxed)) / 1e6);
  appendSample(text, "browse_request_duration_seconds_count", count);

  appendMetric(text, "browse_cache_hits_total", "counter",
               "Browse requests answered by a cached consumer.");
  appendSample(text, "browse_cache_hits_total", cacheHits());
  appendMetric(text, "browse_cache_collections_total", "counter",
               "Data sets read into a new consumer.");
  appendSample(text, "browse_cache_collections_total", collections());
  appendMetric(text, "browse_dataset_collections_total", "counter",
               "Collections by data set; past the bound of series, data sets share "
               "dataset=\"other\".");
  {
    std::lock_guard lock(dataSetMutex_);
    for (const auto& [dataSet, count] : collectionsByDataSet_) {
      appendSample(
          text, "browse_dataset_collections_total{dataset=\"" + labelValue(dataSet) + "\"}", count);
    }
  }
  appendMetric(text, "browse_cache_sorts_total", "counter", "Sorts of a consumer's items.");
  appendSample(text, "browse_cache_sorts_total", sorts());
  appendMetric(text, "browse_cache_evictions_total", "counter",
               "Consumers dropped: for memory, idle too long, or their file changed.");
  for (std::size_t i = 0; i < evictions_.size(); ++i) {
    appendSample(
        text, std::string("browse_cache_evictions_total{reason=\"") + kEvictionReasons[i] + "\"}",
        evictions_[i].load());
  }
  appendMetric(text, "browse_cache_live", "gauge", "Consumers held by the pool.");
  appendSample(text, "browse_cache_live", static_cast<std::uint64_t>(liveCaches_.load()));
  appendMetric(text, "browse_cache_bytes", "gauge", "Bytes that the held consumers hold.");
  appendSample(text, "browse_cache_bytes", static_cast<std::uint64_t>(cacheBytes_.load()));
  appendMetric(text, "browse_cache_budget_bytes", "gauge", "The pool's memory budget.");
  appendSample(text, "browse_cache_budget_bytes", static_cast<std::uint64_t>(cacheBudget_.load()));
  appendMetric(text, "browse_connections_open", "gauge",
               "Connections being served or waiting for a worker.");
  const std::int64_t open = openConnections_.load();
  appendSample(text, "browse_connections_open", static_cast<std::uint64_t>(open < 0 ? 0 : open));
  appendMetric(text, "browse_connections_refused_total", "counter",
               "Connections answered 503 because the connection bound was reached.");
  appendSample(text, "browse_connections_refused_total", refusedConnections_.load());
  return text;
}

}  // namespace browse::serve
