// The cache's conversation with its key sorter, observed through a recording
// stand-in linked in place of the real sorter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "BrowseResponseHandler.h"
#include "testing/BrowseBuilders.h"
#include "testing/RecordingSortCache.h"

namespace {

using namespace browse_testing;
using databrowse::ByFlag;
using databrowse::ByName;
using databrowse::ByNumber;
using Calls = std::vector<std::string>;

const FilteredBrowseField kUnnamed = static_cast<FilteredBrowseField>(7);
const std::string kInitialize = "Initialize(1, 4, machinebrowse, temp, false, false, null)";

class SorterCallsTest : public ::testing::Test {
 protected:
  void SetUp() override { sorter_double::recording() = {}; }

  void add(BrowseData data) { consumer.addItem(data); }
  Calls& calls() { return sorter_double::recording().calls; }

  // The calls that one getResults makes, with its result and responses kept.
  Calls callsOf(BrowseRequest request) {
    calls().clear();
    result = consumer.getResults(request, responses);
    return calls();
  }

  // The calls up to SortKeys: how the keys are built is the contract, how
  // the sorted values are read is not.
  static Calls upToTheSort(const Calls& all) {
    auto sortKeys = std::find(all.begin(), all.end(), "SortKeys()");
    return Calls(all.begin(), sortKeys == all.end() ? sortKeys : sortKeys + 1);
  }
  static bool sorts(const Calls& calls) {
    return std::find(calls.begin(), calls.end(), "SortKeys()") != calls.end();
  }

  // The calls of one sort of the cache, whatever its state.
  Calls sortCallsOf(BrowseRequest request) {
    calls().clear();
    result = consumer.cache().sort(request);
    return calls();
  }

  // The calls that build the keys, between Initialize (and the reservation
  // of one key per item) and SortKeys.
  Calls keyCalls(BrowseRequest request) {
    Calls all = sortCallsOf(request);
    EXPECT_GE(all.size(), 4u);
    if (all.size() < 4) return {};
    EXPECT_EQ("Reserve(" + std::to_string(consumer.cache().itemCount()) + ")", all[2]);
    auto sortKeys = std::find(all.begin(), all.end(), "SortKeys()");
    EXPECT_NE(all.end(), sortKeys);
    return Calls(all.begin() + 3, sortKeys);
  }

  BrowseResponseConsumer consumer;
  std::vector<BrowseResponse> responses;
  CTzError result;
};

TEST_F(SorterCallsTest, SortBuildsOneKeyPerItemFromTheFirstQueryFields) {
  add(item("Ab", -1, 7));
  add(BrowseData());
  const Calls expected = {"Clear(true)", "Initialize(4, 4, machinebrowse, temp, true, false, null)",
                          "Reserve(2)",  "PrepareKey()",
                          "text(Ab, 2)", "u64(9223372036854775807)",
                          "u16(1)",      "FinishKey()",
                          "Store(0)",    "PrepareKey()",
                          "text(, 0)",   "u64(9223372036854775808)",
                          "u16(0)",      "FinishKey()",
                          "Store(1)",    "SortKeys()"};
  EXPECT_EQ(expected, upToTheSort(callsOf(request(
                          "/", {pageQuery("q", {ByName, ByNumber, kUnnamed, ByFlag}, 1, 5, -3)}))));
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ(std::vector<std::string>{""}, names(responses[0]));
  EXPECT_TRUE(result.isSuccess());
}

TEST_F(SorterCallsTest, NumbersAreKeyedAsSignFlippedSixtyFourBitValues) {
  add(item("a", (1ll << 32) + 1));
  add(item("b", INT64_MIN));
  add(item("c", INT64_MAX));
  add(item("d", 0));
  EXPECT_EQ((Calls{"PrepareKey()", "u64(9223372041149743105)", "FinishKey()", "Store(0)",
                   "PrepareKey()", "u64(0)", "FinishKey()", "Store(1)", "PrepareKey()",
                   "u64(18446744073709551615)", "FinishKey()", "Store(2)", "PrepareKey()",
                   "u64(9223372036854775808)", "FinishKey()", "Store(3)"}),
            keyCalls(request("/", {pageQuery("q", {ByNumber}, 0, 0)})));
}

TEST_F(SorterCallsTest, LongNamesAreKeyedByTheirFirst65535Bytes) {
  add(item(std::string(65536, 'x')));
  add(item(std::string(65536 + 10, 'y')));
  const Calls keys = keyCalls(request("/", {pageQuery("q", {ByName}, 0, 0)}));
  ASSERT_EQ(8u, keys.size());
  EXPECT_EQ("text(" + std::string(65535, 'x') + ", 65535)", keys[1]);
  EXPECT_EQ("text(" + std::string(65535, 'y') + ", 65535)", keys[5]);
}

TEST_F(SorterCallsTest, KeyFieldCountAndKeysFollowTheFieldList) {
  add(item("a", 5));
  Query unsetFields;
  unsetFields.parameters(true).paging(true).setLimit(1);
  EXPECT_EQ((Calls{"PrepareKey()", "u16(0)", "FinishKey()", "Store(0)"}),
            keyCalls(request("/", {unsetFields})));
  EXPECT_EQ(kInitialize, calls()[1]);

  EXPECT_EQ((Calls{"PrepareKey()", "FinishKey()", "Store(0)"}),
            keyCalls(request("/", {pageQuery("q", {}, 0, 1)})));
  EXPECT_EQ(kInitialize, calls()[1]);

  EXPECT_EQ((Calls{"PrepareKey()", "FinishKey()", "Store(0)"}),
            keyCalls(request("/", {pageQuery("q", {kUnnamed}, 0, 1)})));
  EXPECT_EQ(kInitialize, calls()[1]);

  EXPECT_EQ((Calls{"PrepareKey()", "u64(9223372036854775813)", "u64(9223372036854775813)",
                   "FinishKey()", "Store(0)"}),
            keyCalls(request("/", {pageQuery("q", {kUnnamed, ByNumber, ByNumber}, 0, 1)})));
  EXPECT_EQ("Initialize(3, 4, machinebrowse, temp, false, false, null)", calls()[1]);
}

TEST_F(SorterCallsTest, RequestWithoutQueriesSortsAsIfUnsorted) {
  add(item("a"));
  EXPECT_EQ((Calls{"Clear(true)", kInitialize, "Reserve(1)", "PrepareKey()", "u16(0)",
                   "FinishKey()", "Store(0)", "SortKeys()"}),
            callsOf(request("/")));
  EXPECT_TRUE(responses.empty());
  EXPECT_TRUE(consumer.cache().isSorted());
}

TEST_F(SorterCallsTest, DirectionCountsByItsWhole64BitValue) {
  for (long long direction : {1ll << 32, -3ll}) {
    sortCallsOf(request("/", {pageQuery("q", {ByName}, 0, 0, direction)}));
    EXPECT_EQ("Initialize(1, 4, machinebrowse, temp, true, false, null)", calls().at(1))
        << direction;
  }
}

TEST_F(SorterCallsTest, CacheSortsAgainOnlyWhenFieldsChangeAndReadsBackwardsOnAFlip) {
  add(item("a"));
  callsOf(request("/", {pageQuery("q", {ByName}, 0, 0)}));
  EXPECT_FALSE(sorts(callsOf(request("/", {pageQuery("q", {ByName}, 0, 5)}))));
  EXPECT_EQ("SetReverse(true)", callsOf(request("/", {pageQuery("q", {ByName}, 0, 5, 1)})).at(0))
      << "a flipped direction reads the same keys the other way";
  EXPECT_FALSE(sorts(calls()));
  EXPECT_EQ("SetReverse(false)", callsOf(request("/", {pageQuery("q", {ByName}, 0, 5)})).at(0));
  add(item("b"));
  EXPECT_EQ("Clear(true)", callsOf(request("/", {pageQuery("q", {ByName}, 0, 5, 1)})).at(0))
      << "an item added since the sort needs a key";
  EXPECT_EQ("Clear(true)", callsOf(request("/", {pageQuery("q", {ByNumber}, 0, 5, 1)})).at(0));
  EXPECT_FALSE(sorts(callsOf(request("/", {pageQuery("q", {ByNumber}, 0, 5, 1)}))));
  BrowseRequest fresh = request("/");
  consumer.cache().reset(fresh);
  EXPECT_EQ("Clear(true)", callsOf(request("/", {pageQuery("q", {ByNumber}, 0, 5, 1)})).at(0));
}

TEST_F(SorterCallsTest, PagesReadFromTheOffsetUntilTheLimit) {
  for (const char* name : {"a", "b", "c", "d"}) add(item(name));
  callsOf(request("/", {pageQuery("q", {}, 0, 0)}));
  callsOf(request("/", {pageQuery("q", {}, 1, 2)}));
  EXPECT_EQ((std::vector<std::string>{"b", "c"}), names(responses.at(0)));
  callsOf(request("/", {pageQuery("q", {}, 3, 9)}));
  EXPECT_EQ((std::vector<std::string>{"d"}), names(responses.at(0)));
  for (auto [offset, limit] : {std::pair{-1ll, 5ll}, {0ll, 0ll}, {2ll, -1ll}}) {
    EXPECT_EQ(Calls{}, callsOf(request("/", {pageQuery("q", {}, offset, limit)})))
        << "an empty page reads nothing: offset " << offset << " limit " << limit;
    ASSERT_EQ(1u, responses.size());
    EXPECT_TRUE(responses[0].result().items().empty());
  }
}

TEST_F(SorterCallsTest, FailedInitializeIsReportedAndLeavesTheCacheUnsorted) {
  add(item("a"));
  callsOf(request("/", {pageQuery("q", {ByNumber}, 0, 1)}));
  sorter_double::recording().initializeResult = 3;
  const Calls failing = callsOf(request("/", {pageQuery("p", {ByName}, 0, 9), countQuery("c")}));
  EXPECT_EQ((Calls{"Clear(true)", kInitialize}), failing);

  EXPECT_EQ(-1, result.code());
  EXPECT_EQ("sort object failed to initialize", result.message());
  ASSERT_NE(nullptr, result.details());
  EXPECT_EQ("BrowseResponseHandler", result.details()->file);
  EXPECT_EQ("CTzError BrowseResponseCache::sort(databrowse::BrowseRequest&)",
            result.details()->function);
  EXPECT_EQ(58, result.details()->line);

  ASSERT_EQ(2u, responses.size());
  EXPECT_EQ("p", responses[0].result().queryId());
  EXPECT_TRUE(responses[0].result().items().empty());
  EXPECT_EQ(1, responses[1].result().aggregates().at(0).count());
  EXPECT_FALSE(consumer.cache().isSorted());
  EXPECT_EQ(Fields{ByNumber}, consumer.cache().lastSortFields());

  sorter_double::recording().initializeResult = 0;
  EXPECT_EQ("Clear(true)", callsOf(request("/", {pageQuery("q", {ByNumber}, 0, 1)})).at(0))
      << "the next request sorts again";
  EXPECT_TRUE(result.isSuccess());
}

TEST_F(SorterCallsTest, PositionOutsideTheItemsThrowsAndKeepsEarlierResponses) {
  add(item("a"));
  callsOf(request("/", {pageQuery("q", {}, 0, 0)}));
  sorter_double::recording().values[0] = 1;
  BrowseRequest asked = request("/", {countQuery("c"), pageQuery("q", {}, 0, 1)});
  EXPECT_THROW(consumer.getResults(asked, responses), std::out_of_range);
  ASSERT_EQ(1u, responses.size());
  EXPECT_EQ("c", responses[0].result().queryId());
  sorter_double::recording().values[0] = -1;
  EXPECT_THROW(consumer.getResults(asked, responses), std::out_of_range);
}

}  // namespace
