// The peers and the fresh-process scenarios against a reference model of the
// orders, on random items with many ties, case variants and extreme numbers.
#include "Peers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>

#include "ItemGenerator.h"
#include "Scenarios.h"
#include "TestSeed.h"
#include "Workload.h"

namespace bench {
namespace {

using databrowse::BrowseData;

// The sort key of the reference: ASCII-folded name bytes (unsigned), number,
// flagged, compared in the order's field sequence.
using ReferenceKey = std::tuple<int, std::string, std::int64_t>;

ReferenceKey referenceKey(Order order, const PlainItem& item) {
  const std::string folded = foldAscii(item.name);
  switch (order) {
    case Order::kNameNumber:
      return {0, folded, item.number};
    case Order::kNumber:
      return {0, std::string(), item.number};
    case Order::kFlagName:
      return {item.flag != 0 ? 1 : 0, folded, 0};
  }
  return {};
}

bool unsignedLess(const ReferenceKey& a, const ReferenceKey& b) {
  if (std::get<0>(a) != std::get<0>(b)) return std::get<0>(a) < std::get<0>(b);
  const std::string& x = std::get<1>(a);
  const std::string& y = std::get<1>(b);
  if (x != y) {
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), [](char p, char q) {
      return static_cast<unsigned char>(p) < static_cast<unsigned char>(q);
    });
  }
  return std::get<2>(a) < std::get<2>(b);
}

class PeersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937 random(seed_.value());
    const char* names[] = {"ab",  "AB",  "Ab", "abc", "b", "", "B", "\xc3\xa9t\xc3\xa9",
                           "a_b", "A[b", "zz"};
    const std::int64_t numbers[] = {0,
                                    1,
                                    -1,
                                    7,
                                    std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max()};
    for (int i = 0; i < 400; ++i) {
      BrowseData& item = items.emplace_back();
      item.setName(names[random() % std::size(names)]);
      item.setNumber(numbers[random() % std::size(numbers)]);
      const unsigned flag = random() % 4;
      if (flag != 0) item.flags(true).setFlag(flag == 3 ? -5 : flag - 1);
    }
  }

  // The items in `order`, ties in insertion order (reversed with `descending`).
  std::vector<PlainItem> referenceOrder(Order order, bool descending) const {
    std::vector<PlainItem> plain;
    copyToPlain(items, plain);
    std::vector<std::size_t> index(plain.size());
    for (std::size_t i = 0; i < index.size(); ++i) index[i] = i;
    std::stable_sort(index.begin(), index.end(), [&](std::size_t a, std::size_t b) {
      return unsignedLess(referenceKey(order, plain[a]), referenceKey(order, plain[b]));
    });
    if (descending) {
      std::reverse(index.begin(), index.end());
    }
    std::vector<PlainItem> sorted;
    for (std::size_t i : index) sorted.push_back(plain[i]);
    return sorted;
  }

  static std::vector<OrderKey> keysOf(Order order, const std::vector<PlainItem>& page) {
    std::vector<OrderKey> keys;
    for (const PlainItem& item : page) keys.push_back(orderKeyOf(order, item));
    return keys;
  }

  void expectSameItems(const std::vector<PlainItem>& page, const std::vector<PlainItem>& expected,
                       const std::string& what) {
    ASSERT_EQ(page.size(), expected.size()) << what;
    for (std::size_t i = 0; i < page.size(); ++i) {
      EXPECT_EQ(page[i].name, expected[i].name) << what << " at " << i;
      EXPECT_EQ(page[i].number, expected[i].number) << what << " at " << i;
      EXPECT_EQ(page[i].flag, expected[i].flag) << what << " at " << i;
    }
  }

  const testsupport::TestSeed seed_{271828};
  std::vector<BrowseData> items;
};

TEST_F(PeersTest, PlainAndSqlitePagesFollowTheReferenceInEveryOrder) {
  SqlitePeer table;
  table.insertAll(items);
  for (Order order : kOrders) {
    for (bool descending : {false, true}) {
      const std::string what = std::string(orderName(order)) + (descending ? " desc" : " asc");
      const std::vector<PlainItem> expected = referenceOrder(order, descending);
      std::vector<PlainItem> plain;
      copyToPlain(items, plain);
      stableSortPlain(plain, order, descending);
      for (const std::size_t offset : {std::size_t{0}, std::size_t{150}, std::size_t{350}}) {
        const std::vector<PlainItem> want = cutPage(expected, offset);
        const std::string at = what + " at " + std::to_string(offset);
        EXPECT_EQ(keysOf(order, cutPage(plain, offset)), keysOf(order, want)) << at;
        const std::vector<PlainItem> rows =
            table.page(order, descending, static_cast<long long>(offset));
        // SQLite breaks ties by rowid in the query's direction, as the reference does.
        expectSameItems(rows, want, "sqlite " + at);
      }
    }
  }
}

TEST_F(PeersTest, AnIndexChangesNoPage) {
  SqlitePeer plainTable;
  SqlitePeer indexedTable;
  plainTable.insertAll(items);
  indexedTable.insertAll(items);
  indexedTable.createIndex(Order::kNameNumber);
  EXPECT_NE(indexedTable.plan(Order::kNameNumber, false).find("INDEX"), std::string::npos);
  for (const long long offset : {0LL, 200LL, 390LL}) {
    expectSameItems(indexedTable.page(Order::kNameNumber, false, offset),
                    plainTable.page(Order::kNameNumber, false, offset),
                    "offset " + std::to_string(offset));
  }
}

TEST_F(PeersTest, ScenarioPagesFollowTheReference) {
  const std::vector<PlainItem> expected = cutPage(referenceOrder(Order::kNameNumber, false), 0);
  expectSameItems(sorterAlone(items, items.size(), false).page, expected, "sorter, all read");
  expectSameItems(sorterAlone(items, 100, true).page, expected, "sorter, 100 read");
  expectSameItems(firstPageOurs(items).page, expected, "first getResults");
  expectSameItems(firstPageSqlite(items).page, expected, "SQLite's first query");
  expectSameItems(teardownOurs(items).page, expected, "teardown, ours");
  expectSameItems(browseOurs(items, Order::kNameNumber, false, true).page, expected,
                  "whole browse, ours");
  for (const WarmChange change : {WarmChange::kFlipDirection, WarmChange::kOtherFields}) {
    const Order order = warmOrder(change);
    EXPECT_EQ(keysOf(order, warmResort(items, change).page),
              keysOf(order, cutPage(referenceOrder(order, warmDescending(change)), 0)));
  }
}

TEST_F(PeersTest, HeapCountedScenariosReportBytesPerItemAboveTheInput) {
  const ChildReport ours = browseOurs(items, Order::kNameNumber, false, true);
  const ChildReport plain = browsePlain(items, Order::kNameNumber, false, true);
  const ChildReport sorter = sorterAlone(items, items.size(), true);
  // Each item is at least copied once: a plain copy is a 48-byte struct.
  EXPECT_GE(plain.counters.at("heap_bytes_per_item"), 48.0);
  EXPECT_GT(ours.counters.at("heap_bytes_per_item"), ours.counters.at("copies_bytes_per_item"));
  EXPECT_GT(sorter.counters.at("heap_bytes_per_item"), 0.0);
  EXPECT_EQ(
      browseOurs(items, Order::kNameNumber, false, false).counters.count("heap_bytes_per_item"),
      0u);
}

}  // namespace
}  // namespace bench

namespace bench {
namespace {

// Both ways of building the workload hold the same items.
TEST(WorkloadTest, ItemsBuiltThroughTheAccessorsEqualTheGeneratorsInEveryOrder) {
  browse::ItemGenerator generator(7);
  for (std::size_t i = 0; i < 300; ++i) {
    const databrowse::BrowseData made = generator.next();
    const databrowse::BrowseData built = throughAccessors(plainOf(made), i);
    EXPECT_EQ(made, built) << "item " << i;
    EXPECT_NE(PKMessageBase::StorageForm::kFull, built.storageForm()) << "item " << i;
  }
}

}  // namespace
}  // namespace bench
