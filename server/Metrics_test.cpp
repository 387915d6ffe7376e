// The per-data-set collection series: counted per data set, bounded in
// number, and written as valid label values.
#include "Metrics.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace browse::serve {
namespace {

std::size_t seriesIn(const std::string& text, const std::string& prefix) {
  std::size_t count = 0;
  for (std::size_t at = text.find(prefix); at != std::string::npos;
       at = text.find(prefix, at + 1)) {
    ++count;
  }
  return count;
}

TEST(MetricsTest, CollectionsAreCountedByDataSetUpToTheBoundOfSeries) {
  Metrics metrics;
  metrics.countCollection("/a");
  metrics.countCollection("/a");
  metrics.countCollection("/b");
  EXPECT_EQ(3u, metrics.collections());
  EXPECT_EQ(2u, metrics.collections("/a"));
  EXPECT_EQ(1u, metrics.collections("/b"));
  const std::string text = metrics.prometheusText();
  EXPECT_NE(std::string::npos, text.find("browse_dataset_collections_total{dataset=\"/a\"} 2\n"));
  EXPECT_NE(std::string::npos, text.find("browse_dataset_collections_total{dataset=\"/b\"} 1\n"));

  for (std::size_t i = 0; i < 2 * Metrics::kMaxDataSetSeries; ++i) {
    metrics.countCollection("/many/" + std::to_string(i));
  }
  // Data sets that have a series keep counting in it.
  metrics.countCollection("/a");
  EXPECT_EQ(3u, metrics.collections("/a"));
  const std::string bounded = metrics.prometheusText();
  EXPECT_EQ(Metrics::kMaxDataSetSeries, seriesIn(bounded, "browse_dataset_collections_total{"));
  // Two named series came first; the other places went to "/many/...", one
  // of them to the shared series.
  const std::size_t named = Metrics::kMaxDataSetSeries - 1;
  EXPECT_EQ(2 * Metrics::kMaxDataSetSeries - (named - 2),
            metrics.collections(Metrics::kOtherDataSets));
  EXPECT_EQ(0u, metrics.collections("/many/" + std::to_string(2 * Metrics::kMaxDataSetSeries - 1)));
  EXPECT_EQ(3 + 1 + 2 * Metrics::kMaxDataSetSeries, metrics.collections());
}

TEST(MetricsTest, DataSetNamesAreEscapedAsLabelValues) {
  Metrics metrics;
  metrics.countCollection("/say \"hi\"\\there\nnow");
  EXPECT_NE(
      std::string::npos,
      metrics.prometheusText().find(
          "browse_dataset_collections_total{dataset=\"/say \\\"hi\\\"\\\\there\\nnow\"} 1\n"));
}

// The text format is UTF-8; a file name need not be.
bool isUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = byte < 0x80           ? 1
                               : (byte >> 5) == 0x6  ? 2
                               : (byte >> 4) == 0xe  ? 3
                               : (byte >> 3) == 0x1e ? 4
                                                     : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2) return false;
    }
    i += length;
  }
  return true;
}

TEST(MetricsTest, TheTextIsUtf8WhateverBytesADataSetsPathHolds) {
  Metrics metrics;
  metrics.countCollection("/caf\xe9");  // a Latin-1 file name, as a data directory may hold
  metrics.countCollection("/caf\xc3\xa9");
  const std::string text = metrics.prometheusText();
  EXPECT_TRUE(isUtf8(text)) << text;
  EXPECT_NE(std::string::npos,
            text.find("browse_dataset_collections_total{dataset=\"/caf\xc3\xa9\"} 1\n"));
  EXPECT_EQ(2u, seriesIn(text, "browse_dataset_collections_total{"));
}

TEST(MetricsTest, ConcurrentCollectionsAreAllCounted) {
  Metrics metrics;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&metrics, t] {
      for (int i = 0; i < 500; ++i) {
        metrics.countCollection("/set/" + std::to_string((t + i) % 7));
        if (i % 100 == 0) metrics.prometheusText();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::uint64_t total = 0;
  for (int set = 0; set < 7; ++set) total += metrics.collections("/set/" + std::to_string(set));
  EXPECT_EQ(2000u, total);
  EXPECT_EQ(2000u, metrics.collections());
}

}  // namespace
}  // namespace browse::serve
