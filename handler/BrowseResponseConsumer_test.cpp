// Whole browses through the consumer with the real key sorter: orders, pages,
// counts and when the cache sorts again.
#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "BrowseResponseHandler.h"
#include "testing/BrowseBuilders.h"

namespace {

using namespace browse_testing;
using databrowse::ByFlag;
using databrowse::ByName;
using databrowse::ByNumber;

constexpr long long k2To32 = 1ll << 32;

class BrowseTest : public ::testing::Test {
 protected:
  void add(BrowseData data) { ASSERT_TRUE(consumer.addItem(data).isSuccess()); }
  void addNamed(const std::vector<std::string>& itemNames) {
    for (const std::string& name : itemNames) add(item(name));
  }

  // Runs getResults and returns the responses; the call must succeed.
  std::vector<BrowseResponse> answer(BrowseRequest request) {
    std::vector<BrowseResponse> responses;
    const CTzError result = consumer.getResults(request, responses);
    EXPECT_TRUE(result.isSuccess()) << result.message();
    return responses;
  }

  // The names of the one page that `query` gets.
  std::vector<std::string> page(const Query& query) {
    std::vector<BrowseResponse> responses = answer(request("/", {query}));
    EXPECT_EQ(1u, responses.size());
    return responses.empty() ? std::vector<std::string>{} : names(responses[0]);
  }

  std::vector<long long> numbers(const Query& query) {
    std::vector<BrowseResponse> responses = answer(request("/", {query}));
    std::vector<long long> result;
    for (BrowseData& data : responses.at(0).result().items()) result.push_back(data.number());
    return result;
  }

  BrowseResponseConsumer consumer;
};

// ---- Orders ---------------------------------------------------------------

TEST_F(BrowseTest, NameTiesAreOrderedByTheNextField) {
  add(item("apple", 3));
  add(item("banana", 2));
  add(item("Apple", 1));
  EXPECT_EQ((std::vector<long long>{1, 3, 2}), numbers(pageQuery("q", {ByName, ByNumber}, 0, 9)));
  EXPECT_EQ((std::vector<long long>{2, 3, 1}),
            numbers(pageQuery("q", {ByName, ByNumber}, 0, 9, -3)));
}

TEST_F(BrowseTest, NumbersSortInTheirTrueSignedOrder) {
  const std::vector<long long> shuffled = {k2To32 + 1, -1,        INT64_MAX, 0,
                                           INT64_MIN,  1ll << 40, 1,         -(1ll << 31)};
  for (long long n : shuffled) add(item("n", n));
  EXPECT_EQ(
      (std::vector<long long>{INT64_MIN, -(1ll << 31), -1, 0, 1, k2To32 + 1, 1ll << 40, INT64_MAX}),
      numbers(pageQuery("q", {ByNumber}, 0, 100)));
}

TEST_F(BrowseTest, UnsetNumberSortsAsZero) {
  add(item("one", 1));
  add(item("unset"));
  add(item("minus", -1));
  EXPECT_EQ((std::vector<std::string>{"minus", "unset", "one"}),
            page(pageQuery("q", {ByNumber}, 0, 9)));
}

TEST_F(BrowseTest, FlaggedItemsFollowUnflaggedOnes) {
  add(item("b", 0, 7));
  add(item("c"));
  add(item("a", 0, -1));
  add(item("d", 0, 1ll << 40));  // any nonzero 64-bit flag counts
  EXPECT_EQ((std::vector<std::string>{"c", "a", "b", "d"}),
            page(pageQuery("q", {ByFlag, ByName}, 0, 9)));
}

TEST_F(BrowseTest, NamesCompareWithoutCaseAndPrefixesFirst) {
  addNamed({"beta", "Alpha", "alp", "ALPHA2", "alpha"});
  EXPECT_EQ((std::vector<std::string>{"alp", "Alpha", "alpha", "ALPHA2", "beta"}),
            page(pageQuery("q", {ByName}, 0, 9)));
}

TEST_F(BrowseTest, NameOfExactly65536BytesDoesNotSortAsEmpty) {
  add(item(std::string(65536, 'b')));
  add(item(""));
  add(item("a"));
  const std::vector<std::string> sorted = page(pageQuery("q", {ByName}, 0, 9));
  ASSERT_EQ(3u, sorted.size());
  EXPECT_EQ("", sorted[0]);
  EXPECT_EQ("a", sorted[1]);
  EXPECT_EQ(65536u, sorted[2].size());
}

TEST_F(BrowseTest, WithoutSortFieldsItemsKeepTheirInsertionOrder) {
  addNamed({"c", "a", "b"});
  Query unsorted = pageQuery("q", {}, 0, 9);
  EXPECT_EQ((std::vector<std::string>{"c", "a", "b"}), page(unsorted));
  Query unknownField = pageQuery("q", {static_cast<FilteredBrowseField>(7)}, 0, 9);
  EXPECT_EQ((std::vector<std::string>{"c", "a", "b"}), page(unknownField));
  // A first query without parameters sorts all keys equal; a reversed sort
  // is not asked for, so insertion order stays.
  std::vector<BrowseResponse> responses =
      answer(request("/", {countQuery("count"), pageQuery("p", {ByName}, 0, 9)}));
  ASSERT_EQ(2u, responses.size());
  EXPECT_EQ((std::vector<std::string>{"c", "a", "b"}), names(responses[1]));
}

TEST_F(BrowseTest, EveryQueryIsPagedInTheFirstQueryOrder) {
  add(item("b", 1));
  add(item("a", 2));
  std::vector<BrowseResponse> responses = answer(
      request("/", {pageQuery("first", {ByName}, 0, 9), pageQuery("second", {ByNumber}, 0, 9)}));
  ASSERT_EQ(2u, responses.size());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names(responses[0]));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names(responses[1]));
  EXPECT_EQ("second", responses[1].result().queryId());
}

// ---- Pages ----------------------------------------------------------------

class PagingTest : public BrowseTest {
 protected:
  void SetUp() override {
    for (int i = 9; i >= 0; --i) add(item("item" + std::to_string(i)));
  }
  std::vector<std::string> cut(long long offset, long long limit) {
    return page(pageQuery("q", {ByName}, offset, limit));
  }
};

TEST_F(PagingTest, PagesAreCutFromTheSortedOrder) {
  EXPECT_EQ((std::vector<std::string>{"item2", "item3", "item4"}), cut(2, 3));
  EXPECT_EQ(10u, cut(0, 1000).size());
  EXPECT_EQ((std::vector<std::string>{"item8", "item9"}), cut(8, 5));
  EXPECT_EQ((std::vector<std::string>{"item0"}), cut(0, 1));
}

TEST_F(PagingTest, OutOfRangeOffsetsAndLimitsGiveEmptyPages) {
  for (auto [offset, limit] : std::vector<std::pair<long long, long long>>{{10, 5},
                                                                           {11, 5},
                                                                           {-1, 5},
                                                                           {INT64_MIN, 5},
                                                                           {1ll << 31, 5},
                                                                           {k2To32 + 3, 5},
                                                                           {0, 0},
                                                                           {0, -1},
                                                                           {0, INT64_MIN}}) {
    EXPECT_TRUE(cut(offset, limit).empty()) << "offset " << offset << " limit " << limit;
  }
}

TEST_F(PagingTest, LimitsBeyondThirtyTwoBitsAreNotCut) {
  EXPECT_EQ(7u, cut(3, k2To32 + 5).size());
  EXPECT_EQ(10u, cut(0, k2To32).size());
  EXPECT_EQ(10u, cut(0, INT64_MAX).size());
}

TEST_F(PagingTest, QueriesWithoutPagingGetAnEmptyPageWithTheirIds) {
  Query noPaging;
  noPaging.setQueryId("bare");
  noPaging.parameters(true);
  databrowse::markSet(noPaging, databrowse::Query::kParameters);
  BrowseRequest withContext = request("/", {noPaging});
  withContext.context(true).setSessionId("s");
  std::vector<BrowseResponse> responses = answer(withContext);
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ("bare", responses[0].result().queryId());
  EXPECT_EQ(0, responses[0].status());
  EXPECT_TRUE(databrowse::isSet(responses[0], BrowseResponse::kStatus));
  EXPECT_EQ("s", responses[0].context().sessionId());
  EXPECT_TRUE(responses[0].result().items().empty());
}

// ---- Counts ---------------------------------------------------------------

TEST_F(BrowseTest, CountQueriesReportEveryCachedItem) {
  addNamed({"a", "b", "c"});
  std::vector<BrowseResponse> responses = answer(request(
      "/", {countQuery("four"), countQuery("wide", k2To32 + 4), countQuery("other", 5), Query()}));
  ASSERT_EQ(2u, responses.size());
  for (BrowseResponse& response : responses) {
    ASSERT_EQ(1u, response.result().aggregates().size());
    EXPECT_EQ(3, response.result().aggregates()[0].count());
    EXPECT_FALSE(databrowse::isSet(response.result(), databrowse::BrowseResult::kItems));
  }
  EXPECT_EQ("four", responses[0].result().queryId());
  EXPECT_EQ("wide", responses[1].result().queryId());
}

TEST_F(BrowseTest, QueryWithParametersGetsOnlyItsPage) {
  add(item("a"));
  Query both = pageQuery("both", {ByName}, 0, 5);
  both.aggregate(true).setType(databrowse::AggregateCount);
  std::vector<BrowseResponse> responses = answer(request("/", {both}));
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ(std::vector<std::string>{"a"}, names(responses[0]));
  EXPECT_TRUE(responses[0].result().aggregates().empty());
}

TEST_F(BrowseTest, CountOfAnEmptyCacheIsZero) {
  std::vector<BrowseResponse> responses = answer(request("/", {countQuery("c")}));
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ(0, responses[0].result().aggregates().at(0).count());
}

// ---- When to sort again --------------------------------------------------

TEST_F(BrowseTest, ItemsAddedAfterASortAreCountedButPagedOnlyAfterTheNextSort) {
  addNamed({"b", "a"});
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), page(pageQuery("q", {ByName}, 0, 9)));
  add(item("0"));
  std::vector<BrowseResponse> responses =
      answer(request("/", {pageQuery("q", {ByName}, 0, 9), countQuery("c")}));
  ASSERT_EQ(2u, responses.size());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), names(responses[0]));
  EXPECT_EQ(3, responses[1].result().aggregates().at(0).count());
  EXPECT_EQ((std::vector<std::string>{"b", "a", "0"}), page(pageQuery("q", {}, 0, 9)));
}

TEST_F(BrowseTest, FlippingTheDirectionSortsAgain) {
  addNamed({"a", "c", "b"});
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), page(pageQuery("q", {ByName}, 0, 9)));
  EXPECT_EQ((std::vector<std::string>{"c", "b", "a"}), page(pageQuery("q", {ByName}, 0, 9, 1)));
  EXPECT_EQ((std::vector<std::string>{"c", "b", "a"}),
            page(pageQuery("q", {ByName}, 0, 9, k2To32)));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), page(pageQuery("q", {ByName}, 0, 9)));
}

TEST_F(BrowseTest, ResetThenNewItemsAnswerTheNewRequest) {
  addNamed({"old"});
  page(pageQuery("q", {ByName}, 0, 9));
  BrowseRequest next = request("/next");
  consumer.cache().reset(next);
  addNamed({"new2", "new1"});
  EXPECT_EQ((std::vector<std::string>{"new1", "new2"}), page(pageQuery("q", {ByName}, 0, 9)));
}

// ---- The consumer's own behaviour ----------------------------------------

TEST_F(BrowseTest, GetResultsReplacesTheCallersResponses) {
  add(item("a"));
  std::vector<BrowseResponse> responses(3);
  BrowseRequest twoQueries = request("/", {countQuery("c1"), pageQuery("p", {ByName}, 0, 1)});
  ASSERT_TRUE(consumer.getResults(twoQueries, responses).isSuccess());
  ASSERT_EQ(2u, responses.size());
  EXPECT_EQ("c1", responses[0].result().queryId());
  EXPECT_EQ("p", responses[1].result().queryId());

  BrowseRequest unanswered = request("/", {Query(), countQuery("x", 3)});
  ASSERT_TRUE(consumer.getResults(unanswered, responses).isSuccess());
  EXPECT_TRUE(responses.empty());
  BrowseRequest noQueries = request("/");
  ASSERT_TRUE(consumer.getResults(noQueries, responses).isSuccess());
  EXPECT_TRUE(responses.empty());
  EXPECT_TRUE(consumer.cache().isSorted());
}

TEST_F(BrowseTest, ServeChangesNothing) {
  add(item("a"));
  BrowseRequest someRequest = request("/x", {pageQuery("q", {ByName}, 0, 1)});
  const BrowseRequest before = someRequest;
  EXPECT_TRUE(consumer.serve(someRequest).isSuccess());
  EXPECT_EQ(before, someRequest);
  EXPECT_EQ(1u, consumer.cache().itemCount());
  EXPECT_FALSE(consumer.cache().isSorted());
}

TEST_F(BrowseTest, ResponsesAreIndependentOfRequestAndCache) {
  add(item("a", 1));
  BrowseRequest asked = request("/", {pageQuery("q", {ByName}, 0, 1)});
  asked.context(true).setSessionId("before");
  std::vector<BrowseResponse> responses;
  ASSERT_TRUE(consumer.getResults(asked, responses).isSuccess());
  asked.context().setSessionId("after");
  responses.at(0).result().items().at(0).setName("renamed");
  EXPECT_EQ("before", responses[0].context().sessionId());
  EXPECT_EQ((std::vector<std::string>{"a"}), page(pageQuery("q", {ByName}, 0, 1)));
}

// ---- Consumers as values ----------------------------------------------------

static_assert(std::is_nothrow_move_constructible_v<BrowseResponseConsumer>);
static_assert(std::is_copy_constructible_v<BrowseResponseConsumer>);

BrowseResponseConsumer sortedConsumerOf(const std::vector<std::string>& itemNames) {
  BrowseResponseConsumer made;
  BrowseRequest started = request("/made");
  made.cache().reset(started);
  for (const std::string& name : itemNames) {
    BrowseData data = item(name);
    made.addItem(data);
  }
  std::vector<BrowseResponse> responses;
  BrowseRequest first = request("/made", {pageQuery("q", {ByName}, 0, 1)});
  made.getResults(first, responses);
  return made;
}

std::vector<std::string> pageOf(BrowseResponseConsumer& consumer, const Query& query) {
  std::vector<BrowseResponse> responses;
  BrowseRequest asked = request("/made", {query});
  consumer.getResults(asked, responses);
  return responses.empty() ? std::vector<std::string>{} : names(responses[0]);
}

// A browse of many items whose first pages lie near the ends of the order is
// answered from a sort that keeps only those ends; every answer, through the
// next pages, the last page, flips, a page between the ends, other fields and
// items added later, equals the answer of a cache that sorted all its keys.
TEST(KeptEnds, PagesNearTheEndsMatchAFullSortThroughAWholeBrowse) {
  constexpr long long kItems = 20000;
  std::mt19937_64 rng(20261209);
  static const char* const kNames[] = {"apple", "Apple", "APPLE", "banana", "b", "", "zeta", "Z"};
  auto randomItem = [&] {
    const std::string name = std::string(kNames[rng() % std::size(kNames)]) +
                             (rng() % 4 ? std::to_string(rng() % 500) : "");
    return item(
        name,
        rng() % 5 ? std::optional<long long>(static_cast<long long>(rng() % 7) - 3) : std::nullopt,
        static_cast<long long>(rng() % 3));
  };
  BrowseResponseConsumer kept;
  BrowseResponseConsumer full;
  for (long long i = 0; i < kItems; ++i) {
    BrowseData data = randomItem();
    kept.addItem(data);
    full.addItem(data);
  }
  const Fields nameNumber{ByName, ByNumber};
  auto ask = [&](std::vector<Query> queries, const char* step) {
    BrowseRequest keptRequest = request("/", queries);
    BrowseRequest fullRequest = request("/", queries);
    std::vector<BrowseResponse> keptAnswer;
    std::vector<BrowseResponse> fullAnswer;
    ASSERT_TRUE(kept.getResults(keptRequest, keptAnswer).isSuccess()) << step;
    ASSERT_TRUE(full.cache().sort(fullRequest).isSuccess()) << step;
    ASSERT_TRUE(full.getResults(fullRequest, fullAnswer).isSuccess()) << step;
    ASSERT_EQ(fullAnswer.size(), keptAnswer.size()) << step;
    for (std::size_t i = 0; i < fullAnswer.size(); ++i) {
      ASSERT_EQ(fullAnswer[i], keptAnswer[i]) << step << ", response " << i;
    }
  };
  ask({pageQuery("first", nameNumber, 0, 25)}, "first page");
  EXPECT_LT(kept.cache().memoryBytes() + kItems * 16, full.cache().memoryBytes())
      << "only the ends of the order are held";
  ask({pageQuery("next", nameNumber, 25, 25)}, "next page");
  ask({pageQuery("deep", nameNumber, 1000, 24)}, "a page within the kept end");
  ask({pageQuery("last", nameNumber, kItems - 25, 25), countQuery("count")}, "last page");
  ask({pageQuery("flip", nameNumber, 0, 30, 1)}, "first page descending");
  ask({pageQuery("both", nameNumber, 5, 10, -2), pageQuery("end", {ByFlag}, kItems - 7, 50)},
      "both ends in one request");
  ask({pageQuery("middle", nameNumber, kItems / 2, 40, 1)}, "a page between the ends");
  ask({pageQuery("flip back", nameNumber, 3, 30)}, "flipped after the full order");
  ask({pageQuery("flags", {ByFlag, ByName}, 0, 100)}, "other fields");
  for (int i = 0; i < 100; ++i) {
    BrowseData data = randomItem();
    kept.addItem(data);
    full.addItem(data);
  }
  ask({pageQuery("late", {ByFlag, ByName}, 0, 100, 1)}, "flipped after items were added");
  ask({pageQuery("all", {ByNumber}, 0, kItems)}, "a page of every item");
  ask({pageQuery("unsorted", {}, kItems - 3, 10)}, "no sort fields");
}

TEST(ConsumerValue, CopiesAnswerIndependently) {
  BrowseResponseConsumer original = sortedConsumerOf({"b", "c", "a"});
  BrowseResponseConsumer copy = original;
  BrowseRequest other = request("/other");
  original.cache().reset(other);
  BrowseData late = item("0");
  copy.addItem(late);
  EXPECT_EQ(std::vector<std::string>{}, pageOf(original, pageQuery("q", {ByName}, 0, 9)));
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), pageOf(copy, pageQuery("q", {ByName}, 0, 9)))
      << "the copy keeps its sorted order; its late item waits for the next sort";
  EXPECT_EQ((std::vector<std::string>{"c", "b", "a", "0"}),
            pageOf(copy, pageQuery("q", {ByName}, 0, 9, 1)));
  BrowseRequest same = request("/MADE");
  EXPECT_TRUE(copy.cache().canServeRequest(same));
  EXPECT_FALSE(original.cache().canServeRequest(same));
}

TEST(ConsumerValue, ConsumersLiveInAGrowingVectorAndMoveOut) {
  std::vector<BrowseResponseConsumer> open;
  for (int i = 0; i < 20; ++i) open.push_back(sortedConsumerOf({std::to_string(20 - i), "x"}));
  open.emplace_back();
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ((std::vector<std::string>{std::to_string(20 - i), "x"}),
              pageOf(open[i], pageQuery("q", {ByName}, 0, 9)));
  }
  BrowseResponseConsumer taken = std::move(open.front());
  EXPECT_EQ((std::vector<std::string>{"x"}), pageOf(taken, pageQuery("q", {ByName}, 1, 9)));
  EXPECT_EQ(0u, open.front().cache().itemCount()) << "a moved-from consumer is empty";
  EXPECT_FALSE(open.front().cache().isSorted());
  BrowseRequest anyPath = request("/made");
  EXPECT_FALSE(open.front().cache().canServeRequest(anyPath)) << "and holds the empty request";
  EXPECT_EQ((std::vector<std::string>{"y"}), [&] {
    BrowseData y = item("y");
    open.front().addItem(y);
    return pageOf(open.front(), pageQuery("q", {ByName}, 0, 9));
  }());
}

// A service extends the front end and owns its consumers through it, as the
// virtual operations invite: destroying one through the front end must run
// the service's own destructor too.
TEST(ConsumerSubclass, DestroyedThroughTheFrontEndRunsItsOwnDestructor) {
  struct Tracked {
    bool* destroyed;
    ~Tracked() { *destroyed = true; }
  };
  struct ServiceConsumer : BrowseResponseConsumer {
    explicit ServiceConsumer(bool* destroyed) : tracked{destroyed} {}
    CTzError serve(BrowseRequest& request) override {
      ++served;
      return BrowseResponseConsumer::serve(request);
    }
    Tracked tracked;
    std::string log = std::string(100, 'x');
    int served = 0;
  };
  EXPECT_TRUE(std::has_virtual_destructor_v<BrowseResponseConsumer>);
  bool destroyed = false;
  std::unique_ptr<BrowseResponseConsumer> consumer = std::make_unique<ServiceConsumer>(&destroyed);
  BrowseRequest anyPath = request("/made");
  EXPECT_TRUE(consumer->serve(anyPath).isSuccess());
  consumer.reset();
  EXPECT_TRUE(destroyed) << "the service's members were never destroyed";
}

}  // namespace
