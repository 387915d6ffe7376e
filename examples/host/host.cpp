// A host of the installed browse response cache: it feeds a consumer a few
// hundred items, asks for the first two pages sorted by name and number and
// for the item count, and prints the answers.
#include <cstdio>
#include <string>
#include <vector>

#include "BrowseResponseHandler.h"

namespace {

constexpr int kItemCount = 300;
constexpr long long kPageSize = 5;

// Item i: one of a few names in mixed case (the sort ignores ASCII case) and
// a number that runs through 0..kItemCount-1 out of order.
databrowse::BrowseData item(int i) {
  static const char* const kNames[] = {"delta", "Alpha", "charlie", "Echo", "bravo", "ALPHA"};
  databrowse::BrowseData data;
  data.setName(kNames[(i * 5) % 6]);
  data.setNumber((i * 37) % kItemCount);
  return data;
}

databrowse::Query pageQuery(const std::string& id, long long offset) {
  databrowse::Query query;
  query.setQueryId(id);
  databrowse::QueryParameters& parameters = query.parameters(true);
  parameters.sort(true).fields(true) = {databrowse::ByName, databrowse::ByNumber};
  parameters.sort(true).setDirection(0);
  parameters.paging(true).setOffset(offset);
  parameters.paging(true).setLimit(kPageSize);
  return query;
}

databrowse::Query countQuery() {
  databrowse::Query query;
  query.setQueryId("count");
  query.aggregate(true).setType(databrowse::AggregateCount);
  return query;
}

void print(databrowse::BrowseResponse& response) {
  databrowse::BrowseResult& result = response.result();
  std::printf("%s:\n", result.queryId().c_str());
  for (databrowse::BrowseData& data : result.items()) {
    std::printf("  %-8s %3lld\n", data.name().c_str(), data.number());
  }
  for (databrowse::AggregateResult& aggregate : result.aggregates()) {
    std::printf("  %lld items\n", aggregate.count());
  }
}

}  // namespace

int main() {
  databrowse::BrowseRequest request;
  request.paths(true).emplace_back().setPath("/example/host");
  request.queries(true) = {pageQuery("page 1", 0), pageQuery("page 2", kPageSize), countQuery()};

  BrowseResponseConsumer consumer;
  consumer.cache().reset(request);
  for (int i = 0; i < kItemCount; ++i) {
    databrowse::BrowseData data = item(i);
    consumer.addItem(data);
  }

  std::vector<databrowse::BrowseResponse> responses;
  const CTzError result = consumer.getResults(request, responses);
  if (!result.isSuccess()) {
    std::fprintf(stderr, "browse failed: %s (code %d)\n", result.message().c_str(), result.code());
    return 1;
  }
  for (databrowse::BrowseResponse& response : responses) print(response);
  return 0;
}
