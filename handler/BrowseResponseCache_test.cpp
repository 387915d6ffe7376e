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

}  // namespace
