// Builders of browse records for the handler's tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "databrowse/BrowseRecords.h"

namespace browse_testing {

using databrowse::BrowseData;
using databrowse::BrowseRequest;
using databrowse::BrowseResponse;
using databrowse::FilteredBrowseField;
using databrowse::Query;
using Fields = std::vector<FilteredBrowseField>;

inline BrowseData item(const std::string& name, std::optional<long long> number = {},
                       long long flag = 0) {
  BrowseData data;
  data.setName(name);
  if (number) data.setNumber(*number);
  if (flag != 0) data.flags(true).setFlag(flag);
  return data;
}

// A query with sort parameters and paging; direction 0 sorts ascending.
inline Query pageQuery(const std::string& id, const Fields& fields, long long offset,
                       long long limit, long long direction = 0) {
  Query query;
  query.setQueryId(id);
  databrowse::SortParameters& sort = query.parameters(true).sort(true);
  sort.fields(true) = fields;
  databrowse::markSet(sort, databrowse::SortParameters::kFields);
  if (direction != 0) sort.setDirection(direction);
  query.parameters(true).paging(true).setOffset(offset);
  query.parameters(true).paging(true).setLimit(limit);
  return query;
}

inline Query countQuery(const std::string& id, long long type = databrowse::AggregateCount) {
  Query query;
  query.setQueryId(id);
  query.aggregate(true).setType(type);
  return query;
}

inline BrowseRequest request(const std::vector<std::string>& paths,
                             const std::vector<Query>& queries = {}) {
  BrowseRequest built;
  for (const std::string& path : paths) built.paths(true).emplace_back().setPath(path);
  built.queries(true) = queries;
  return built;
}

inline BrowseRequest request(const std::string& path, const std::vector<Query>& queries = {}) {
  return request(std::vector<std::string>{path}, queries);
}

// The names of a page response's items, in order.
inline std::vector<std::string> names(BrowseResponse& response) {
  std::vector<std::string> result;
  for (BrowseData& data : response.result().items()) result.push_back(data.name());
  return result;
}

}  // namespace browse_testing
