// The cache's bookkeeping: request matching, sort-field comparison, reset and
// item collection.
#include <gtest/gtest.h>

#include "BrowseResponseHandler.h"
#include "testing/BrowseBuilders.h"

namespace {

using namespace browse_testing;
using databrowse::ByFlag;
using databrowse::ByName;
using databrowse::ByNumber;

class CacheTest : public ::testing::Test {
 protected:
  bool canServe(BrowseRequest request) { return cache.canServeRequest(request); }
  bool changed(BrowseRequest request) { return cache.sortFieldsChanged(request); }
  void sortFor(BrowseRequest request) { ASSERT_TRUE(cache.sort(request).isSuccess()); }

  BrowseResponseCache cache;
};

TEST_F(CacheTest, NewCacheServesOnlyRequestsWithTheEmptyPath) {
  EXPECT_TRUE(canServe(BrowseRequest()));
  BrowseRequest emptyList;
  emptyList.paths(true);
  databrowse::markSet(emptyList, BrowseRequest::kPaths);
  EXPECT_TRUE(canServe(emptyList));
  EXPECT_TRUE(canServe(request("")));
  EXPECT_FALSE(canServe(request("/a")));
}

TEST_F(CacheTest, PathsCompareIgnoringAsciiCaseOnly) {
  BrowseRequest cached = request("/Data/Items");
  cache.reset(cached);
  EXPECT_TRUE(canServe(request("/data/ITEMS")));
  EXPECT_FALSE(canServe(request("/data/items ")));
  EXPECT_FALSE(canServe(request("/data/\xc3\x84")));  // non-ASCII bytes are not folded
  EXPECT_TRUE(canServe(request(std::vector<std::string>{"/data/items", "/other"})));
  EXPECT_FALSE(canServe(request(std::vector<std::string>{"/other", "/data/items"})));
}

TEST_F(CacheTest, ResetRemembersACopyOfTheRequest) {
  BrowseRequest cached = request("/a");
  cache.reset(cached);
  cached.paths()[0].setPath("/b");
  EXPECT_TRUE(canServe(request("/A")));
  EXPECT_FALSE(canServe(request("/b")));
}

TEST_F(CacheTest, SortFieldsChangedComparesTheFirstQueryFieldsOnly) {
  EXPECT_FALSE(changed(BrowseRequest())) << "no query: no fields, like a new cache";
  sortFor(request("/", {pageQuery("q", {ByName, ByNumber}, 0, 1)}));
  EXPECT_FALSE(changed(request("/", {pageQuery("q", {ByName, ByNumber}, 5, 9, 1)})));
  EXPECT_TRUE(changed(request("/", {pageQuery("q", {ByNumber, ByName}, 0, 1)})));
  EXPECT_TRUE(changed(request("/", {pageQuery("q", {ByName}, 0, 1)})));
  EXPECT_TRUE(changed(request("/", {pageQuery("q", {ByName, ByNumber, ByFlag}, 0, 1)})));
  EXPECT_FALSE(changed(
      request("/", {pageQuery("q", {ByName, ByNumber}, 0, 1), pageQuery("r", {ByFlag}, 0, 1)})));
  EXPECT_TRUE(changed(request("/", {countQuery("c")})));
}

TEST_F(CacheTest, EmptyFieldsAfterASortWithoutFieldsAreUnchanged) {
  sortFor(request("/", {countQuery("c")}));
  EXPECT_FALSE(changed(request("/", {countQuery("c")})));
  EXPECT_FALSE(changed(BrowseRequest()));
  EXPECT_FALSE(changed(request("/", {pageQuery("q", {}, 0, 1)})));
}

TEST_F(CacheTest, ResetEmptiesItemsAndKeepsSortFields) {
  BrowseData data = item("a");
  cache.addItem(data);
  cache.addItem(data);
  sortFor(request("/", {pageQuery("q", {ByName}, 0, 1)}));
  BrowseRequest same = request("/");
  cache.reset(same);
  EXPECT_EQ(0u, cache.itemCount());
  EXPECT_FALSE(cache.isSorted());
  EXPECT_EQ(Fields{ByName}, cache.lastSortFields());
  cache.reset(same);
  EXPECT_EQ(0u, cache.itemCount());
}

TEST_F(CacheTest, AddItemKeepsAnIndependentCopyAndTheSortState) {
  BrowseData data = item("first", 1);
  cache.addItem(data);  // before any reset
  EXPECT_TRUE(canServe(BrowseRequest()));
  sortFor(request("/", {pageQuery("q", {ByName}, 0, 10)}));
  data.setName("changed");
  cache.addItem(data);
  EXPECT_TRUE(cache.isSorted());
  EXPECT_EQ(2u, cache.itemCount());

  std::vector<BrowseResponse> responses;
  BrowseRequest again = request("/", {pageQuery("q", {ByName}, 0, 10)});
  ASSERT_TRUE(cache.getResults(again, responses).isSuccess());
  EXPECT_EQ(std::vector<std::string>{"first"}, names(responses.at(0)));
}

TEST_F(CacheTest, ReserveMakesRoomThatTheItemsFillWithoutGrowingAgain) {
  BrowseRequest browse = request("/browse");
  cache.reset(browse);
  BrowseData first = item("b", 2);
  cache.addItem(first);
  const std::size_t before = cache.memoryBytes();
  cache.reserve(600);
  const std::size_t reserved = cache.memoryBytes();
  EXPECT_GE(reserved - before, 599 * sizeof(BrowseData)) << "memoryBytes counts the room";
  cache.reserve(10);
  EXPECT_EQ(reserved, cache.memoryBytes()) << "a smaller reserve changes nothing";
  for (int i = 599; i > 0; --i) {
    BrowseData data = item(i % 2 == 0 ? "a" : "c", i);
    cache.addItem(data);
  }
  EXPECT_EQ(reserved, cache.memoryBytes()) << "the items fill the room without growing";
  EXPECT_EQ(600u, cache.itemCount());

  std::vector<BrowseResponse> responses;
  BrowseRequest page = request("/browse", {pageQuery("q", {ByName, ByNumber}, 298, 3)});
  ASSERT_TRUE(cache.getResults(page, responses).isSuccess());
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), names(responses.at(0)));
}

TEST_F(CacheTest, ShrinkToFitGivesBackTheRoomNoItemTookAndKeepsTheOrder) {
  BrowseRequest browse = request("/browse");
  cache.reset(browse);
  cache.reserve(1000);
  for (int i = 100; i > 0; --i) {
    BrowseData data = item("item " + std::to_string(i % 10), i);
    cache.addItem(data);
  }
  std::vector<BrowseResponse> before;
  BrowseRequest page = request("/browse", {pageQuery("q", {ByName, ByNumber}, 45, 10)});
  ASSERT_TRUE(cache.getResults(page, before).isSuccess());
  const std::size_t reserved = cache.memoryBytes();

  cache.shrinkToFit();
  EXPECT_LE(cache.memoryBytes() + 900 * sizeof(BrowseData), reserved);
  EXPECT_TRUE(cache.isSorted()) << "the sorted order survives the move of the items";
  std::vector<BrowseResponse> after;
  ASSERT_TRUE(cache.getResults(page, after).isSuccess());
  EXPECT_EQ(names(before.at(0)), names(after.at(0)));
  EXPECT_EQ((std::vector<std::string>{"item 4", "item 4", "item 4", "item 4", "item 4", "item 5",
                                      "item 5", "item 5", "item 5", "item 5"}),
            names(after.at(0)));

  const std::size_t fitted = cache.memoryBytes();
  cache.shrinkToFit();
  EXPECT_EQ(fitted, cache.memoryBytes()) << "an array without room to spare stays";
}

TEST_F(CacheTest, MemoryBytesCountItemsTheirNamesAndTheSortedKeys) {
  BrowseRequest browse = request("/browse");
  cache.reset(browse);
  const std::size_t empty = cache.memoryBytes();
  for (int i = 0; i < 1000; ++i) {
    BrowseData data = item("item " + std::to_string(i), i);
    cache.addItem(data);
  }
  const std::size_t collected = cache.memoryBytes();
  EXPECT_GE(collected - empty, 1000 * sizeof(BrowseData));

  const std::string longName(500, 'n');
  BrowseData big = item(longName, 1, 1);
  big.flags(true).setFlag(2);  // held in the full form by the caller
  cache.addItem(big);
  EXPECT_GE(cache.memoryBytes() - collected, longName.size()) << "a name kept on the heap";

  const std::size_t unsorted = cache.memoryBytes();
  sortFor(request("/", {pageQuery("q", {ByName, ByNumber}, 0, 1)}));
  const std::size_t sorted = cache.memoryBytes();
  // The key array alone takes 12 bytes a key.
  EXPECT_GE(sorted - unsorted, 1001 * 12u) << "one key per item";

  cache.reset(browse);
  EXPECT_LE(cache.memoryBytes(), sorted - longName.size()) << "the items' own heap is gone";
  EXPECT_GE(cache.memoryBytes(), empty + 1001 * sizeof(BrowseData))
      << "the item array and the sorter's buffers are kept for the next collection";
  BrowseResponseCache moved(std::move(cache));
  EXPECT_GT(moved.memoryBytes(), cache.memoryBytes());
}

}  // namespace
