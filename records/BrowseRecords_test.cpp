// The browse records as the cache uses them.
#include "databrowse/BrowseRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace databrowse {
namespace {

Query sortedQuery(std::vector<FilteredBrowseField> fields) {
  Query query;
  query.parameters(true).sort(true).fields(true) = std::move(fields);
  return query;
}

TEST(BrowseRecordsTest, NewRequestHasNoPathsAndNoQueries) {
  BrowseRequest request;
  EXPECT_FALSE(isSet(request, BrowseRequest::kPaths));
  EXPECT_TRUE(request.queries().empty());
  EXPECT_EQ(100, request.family());
  EXPECT_EQ(92, request.typeNumber());
}

TEST(BrowseRecordsTest, ReadingAbsentParametersLeavesThemUnset) {
  Query query;
  SortParameters& sort = query.parameters().sort();
  EXPECT_TRUE(sort.fields().empty());
  EXPECT_FALSE(isSet(sort, SortParameters::kDirection));
  EXPECT_EQ(0, query.parameters().paging().limit());
  EXPECT_FALSE(isSet(query, Query::kParameters));
  EXPECT_FALSE(isSet(query.parameters(), QueryParameters::kSort));
}

TEST(BrowseRecordsTest, AssignedRequestIsIndependentOfItsSource) {
  BrowseRequest source;
  source.paths(true).emplace_back().setPath("/data/a");
  source.queries(true).push_back(sortedQuery({ByName}));
  source.context(true).setSessionId("s1");
  BrowseRequest target;
  target = source;
  source.paths()[0].setPath("/data/b");
  source.queries()[0].parameters().sort().fields().push_back(ByNumber);
  source.context().setSessionId("s2");
  EXPECT_EQ("/data/a", target.paths()[0].path());
  EXPECT_EQ(std::vector<FilteredBrowseField>{ByName},
            target.queries()[0].parameters().sort().fields());
  EXPECT_EQ("s1", target.context().sessionId());
}

// A request may name sort fields that have no name of their own; a copy
// keeps them as they are, in their order.
TEST(BrowseRecordsTest, CopiesKeepSortFieldsWithoutANameAndTheirOrder) {
  using Fields = std::vector<FilteredBrowseField>;
  const auto unnamed = static_cast<FilteredBrowseField>(5);
  Query query = sortedQuery({unnamed, ByFlag});
  Query copy = query;
  EXPECT_EQ((Fields{unnamed, ByFlag}), copy.parameters().sort().fields());
  EXPECT_EQ(5, copy.parameters().sort().fields()[0]);
  static_assert(sizeof(FilteredBrowseField) == 4);
}

TEST(BrowseRecordsTest, ItemsAppendedThroughResultStayWithTheQueryId) {
  BrowseResponse response;
  response.result(true).setQueryId("q1");
  BrowseData first;
  first.setName("alpha");
  first.flags(true).setFlag(7);
  response.result(true).items(true).push_back(first);
  BrowseData second;
  second.setNumber(-3);
  response.result(true).items(true).push_back(second);
  EXPECT_TRUE(isSet(response, BrowseResponse::kResult));
  EXPECT_EQ("q1", response.result().queryId());
  ASSERT_EQ(2u, response.result().items().size());
  EXPECT_EQ("alpha", response.result().items()[0].name());
  EXPECT_EQ(7, response.result().items()[0].flags().flag());
  EXPECT_EQ(-3, response.result().items()[1].number());
  EXPECT_FALSE(isSet(response.result(), BrowseResult::kAggregates));
}

TEST(BrowseRecordsTest, ResponseContextIsACopyOfTheRequestContext) {
  BrowseRequest request;
  request.context(true).setSessionId("session");
  request.context(true).setSequence(9);
  BrowseResponse response;
  response.setContext(request.context());
  EXPECT_EQ(request.context(), response.context());
  request.context().setSequence(10);
  EXPECT_EQ(9, response.context().sequence());
  EXPECT_TRUE(isSet(response, BrowseResponse::kContext));

  BrowseResponse withEmptyContext;
  withEmptyContext.setContext(BrowseRequest().context());
  EXPECT_TRUE(isSet(withEmptyContext, BrowseResponse::kContext));
}

TEST(BrowseRecordsTest, IntegerFieldsHoldTheFullSignedRange) {
  BrowseData item;
  item.setNumber(INT64_MIN);
  EXPECT_EQ(INT64_MIN, item.number());
  AggregateParameters aggregate;
  aggregate.setType((std::int64_t{1} << 32) + AggregateCount);
  EXPECT_EQ(AggregateCount, static_cast<std::uint32_t>(aggregate.type()));
}

TEST(BrowseRecordsTest, FlagValueReadsTheFlagWithoutAddingOrConvertingAnything) {
  BrowseData plain;
  plain.setName("no flags");
  EXPECT_EQ(0, plain.flagValue());
  EXPECT_FALSE(isSet(plain, BrowseData::kFlags));
  EXPECT_EQ(nullptr, plain.flagsIfPresent());
  EXPECT_EQ(PKMessageBase::StorageForm::kInline, plain.storageForm());

  BrowseData flagged;
  flagged.flags(true).setFlag(-1);
  EXPECT_EQ(-1, flagged.flagValue());
  const BrowseData cached = flagged;
  EXPECT_EQ(-1, cached.flagValue());
  EXPECT_EQ(PKMessageBase::StorageForm::kInline, cached.storageForm());

  BrowseData readOnly;
  readOnly.flags();
  EXPECT_EQ(0, BrowseData(readOnly).flagValue());
  EXPECT_FALSE(isSet(BrowseData(readOnly), BrowseData::kFlags));
}

TEST(BrowseRecordsTest, SetFlagValueKeepsACompactItemCompact) {
  BrowseData built;
  built.setName("ReportDraft-Meeting-summary-42");
  built.setNumber(-7);
  const PKMessageBase::StorageForm compact = built.storageForm();
  ASSERT_NE(PKMessageBase::StorageForm::kFull, compact);
  built.setFlagValue(3);
  EXPECT_EQ(compact, built.storageForm());
  EXPECT_TRUE(isSet(built, BrowseData::kFlags));
  EXPECT_EQ(3, built.flagValue());
  built.setFlagValue(-1);
  EXPECT_EQ(-1, built.flagValue());
  EXPECT_EQ("ReportDraft-Meeting-summary-42", built.nameView());
  EXPECT_EQ(-7, built.number());

  BrowseData same;
  same.setName("ReportDraft-Meeting-summary-42");
  same.setNumber(-7);
  same.flags(true).setFlag(-1);
  EXPECT_EQ(same, built) << "the same item as one built through the flags";
  EXPECT_EQ(-1, built.flags().flag());
  built.setFlagValue(0);  // now in the full form: through the flags
  EXPECT_EQ(0, built.flags().flag());
  EXPECT_TRUE(isSet(built, BrowseData::kFlags));

  BrowseData small;
  small.setFlagValue(0);
  EXPECT_EQ(PKMessageBase::StorageForm::kInline, small.storageForm());
  EXPECT_TRUE(isSet(small, BrowseData::kFlags)) << "a flag of 0 is still a set flag";
  EXPECT_TRUE(isSet(small.flags(), ItemFlags::kFlag));
}

// Items as the service and the generator build them: name, number, flags,
// set through the accessors in any order. The item stays compact; its copy
// holds everything inside the item when the name is up to 22 bytes with any
// number and any flag of up to 2 bytes, up to 25 with flag 0.
TEST(BrowseRecordsTest, ItemCopiesKeepTheirFieldsInsideTheItem) {
  for (std::size_t length = 0; length <= 40; ++length) {
    for (const long long number : {0LL, 999LL, static_cast<long long>(INT64_MIN)}) {
      for (const long long flag : {0LL, -1LL, 255LL}) {
        const int order = static_cast<int>(length % 6);
        BrowseData item;
        const auto setName = [&] { item.setName(std::string(length, 'n')); };
        if (order < 2) setName();
        if (order % 2 == 0) item.setNumber(number);
        item.flags(true).setFlag(flag);
        if (order >= 2) setName();
        if (order % 2 == 1) item.setNumber(number);
        EXPECT_NE(PKMessageBase::StorageForm::kFull, item.storageForm()) << "order " << order;
        const BrowseData copy = item;
        EXPECT_EQ(flag, item.flags().flag());
        EXPECT_EQ(item, copy);
        EXPECT_EQ(std::string(length, 'n'), copy.nameView());
        EXPECT_EQ(number, copy.number());
        EXPECT_EQ(flag, copy.flagValue());
        if (length <= (flag == 0 ? 25u : 22u)) {
          EXPECT_EQ(PKMessageBase::StorageForm::kInline, copy.storageForm())
              << "name " << length << ", number " << number << ", flag " << flag;
          EXPECT_EQ(0u, copy.heapBytes());
        } else {
          EXPECT_NE(PKMessageBase::StorageForm::kFull, copy.storageForm());
        }
      }
    }
  }
}

TEST(BrowseRecordsTest, NamesAreByteStrings) {
  BrowseData item;
  const std::string name("a\0b\xff", 4);
  item.setName(name);
  EXPECT_EQ(name, BrowseData(item).name());
}

}  // namespace
}  // namespace databrowse
