// The JSON form of the browse records, one table per record type: each
// field's JSON name, the constants that address it and the kind of its
// value, in the order in which the writer writes them. The JSON reader and
// writer (RecordJson.cpp) and the help of browse are built from these tables.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "databrowse/BrowseRecords.h"

namespace databrowse::schema {

// ---- Kinds of field ---------------------------------------------------------

// A signed 64-bit integer.
struct Integer {
  std::string_view name;
  FieldId id;

  long long get(const PKMessageBase& record) const {
    return record.getint64(id.number, id.recordHash, id.fieldHash);
  }
  void set(PKMessageBase& record, long long value) const {
    record.setint64(id.number, id.storageIndex, value, id.recordHash, id.fieldHash);
  }
};

// A text of any bytes.
struct Text {
  std::string_view name;
  FieldId id;

  // Valid until the record changes (see PKMessageBase::getstringview).
  std::string_view get(const PKMessageBase& record) const {
    return record.getstringview(id.number, id.recordHash, id.fieldHash);
  }
  void set(PKMessageBase& record, const std::string& value) const {
    record.setstring(id.number, id.storageIndex, value, id.recordHash, id.fieldHash);
  }
};

// A sub-record of class R.
template <class R>
struct Record {
  std::string_view name;
  FieldId id;

  // The sub-record, created empty when absent.
  R& open(PKMessageBase& record) const {
    const R prototype;
    return *record.getObjectAccessor<R>(true, true, id.number, id.storageIndex, id.recordHash,
                                        id.fieldHash, prototype.family(), prototype.typeNumber());
  }
  // Stores a copy of `value`; the field counts as set.
  void set(PKMessageBase& record, const R& value) const {
    record.setObjectAccessor<R>(&value, id.number, id.storageIndex, id.recordHash, id.fieldHash);
  }
};

// A list of records of class R.
template <class R>
struct RecordList {
  std::string_view name;
  FieldId id;

  // The list, created empty when absent.
  std::vector<R>& open(PKMessageBase& record) const {
    return *record.getlistobject<R>(id.number, id.storageIndex, id.recordHash, id.fieldHash, true);
  }
};

// A list of item fields to sort by.
struct SortFieldList {
  std::string_view name;
  FieldId id;

  // The list, created empty when absent.
  std::vector<FilteredBrowseField>& open(PKMessageBase& record) const {
    return *record.getlistint<FilteredBrowseField>(id.number, id.storageIndex, id.recordHash,
                                                   id.fieldHash, true);
  }
};

// A sort field is named when it is one of these, else given as its number.
struct SortFieldName {
  std::string_view name;
  FilteredBrowseField value;
};
inline constexpr std::array<SortFieldName, 3> kSortFieldNames{{
    {"ByName", ByName},
    {"ByNumber", ByNumber},
    {"ByFlag", ByFlag},
}};

// The name of the sort field's form in the help.
inline constexpr std::string_view kSortFieldForm = "FIELD";

// ---- The tables -------------------------------------------------------------

// A record's table: the name of its form in the help ("" for a form that is
// shown where it is used) and its fields.
template <class... Fields>
struct RecordTable {
  std::string_view form;
  std::tuple<Fields...> fields;
};

template <class... Fields>
constexpr RecordTable<Fields...> table(std::string_view form, Fields... fields) {
  return {form, {fields...}};
}

// kTable<R> is the table of record R; a record without one fails to compile.
template <class R>
struct NoTableFor;
template <class R>
inline constexpr NoTableFor<R> kTable{};

template <>
inline constexpr auto kTable<BrowseContext> = table("CONTEXT",
                                                    Text{"sessionId", BrowseContext::kSessionId},
                                                    Integer{"sequence", BrowseContext::kSequence});

template <>
inline constexpr auto kTable<BrowsePath> = table("", Text{"path", BrowsePath::kPath});

template <>
inline constexpr auto kTable<SortParameters> =
    table("", SortFieldList{"fields", SortParameters::kFields},
          Integer{"direction", SortParameters::kDirection});

template <>
inline constexpr auto kTable<PagingParameters> = table("",
                                                       Integer{"offset", PagingParameters::kOffset},
                                                       Integer{"limit", PagingParameters::kLimit});

template <>
inline constexpr auto kTable<QueryParameters> =
    table("", Record<SortParameters>{"sort", QueryParameters::kSort},
          Record<PagingParameters>{"paging", QueryParameters::kPaging});

template <>
inline constexpr auto kTable<AggregateParameters> = table("", Integer{"type",
                                                                      AggregateParameters::kType});

template <>
inline constexpr auto kTable<Query> =
    table("QUERY", Text{"queryId", Query::kQueryId},
          Record<QueryParameters>{"parameters", Query::kParameters},
          Record<AggregateParameters>{"aggregate", Query::kAggregate});

template <>
inline constexpr auto kTable<BrowseRequest> =
    table("REQUEST", RecordList<BrowsePath>{"paths", BrowseRequest::kPaths},
          RecordList<Query>{"queries", BrowseRequest::kQueries},
          Record<BrowseContext>{"context", BrowseRequest::kContext});

template <>
inline constexpr auto kTable<ItemFlags> = table("", Integer{"flag", ItemFlags::kFlag});

template <>
inline constexpr auto kTable<BrowseData> = table("ITEM", Text{"name", BrowseData::kName},
                                                 Integer{"number", BrowseData::kNumber},
                                                 Record<ItemFlags>{"flags", BrowseData::kFlags});

template <>
inline constexpr auto kTable<AggregateResult> = table("",
                                                      Integer{"count", AggregateResult::kCount});

template <>
inline constexpr auto kTable<BrowseResult> =
    table("", Text{"queryId", BrowseResult::kQueryId},
          RecordList<BrowseData>{"items", BrowseResult::kItems},
          RecordList<AggregateResult>{"aggregates", BrowseResult::kAggregates});

template <>
inline constexpr auto kTable<BrowseResponse> =
    table("RESPONSE", Integer{"status", BrowseResponse::kStatus},
          Record<BrowseContext>{"context", BrowseResponse::kContext},
          Record<BrowseResult>{"result", BrowseResponse::kResult});

// ---- Walks over a table -----------------------------------------------------

template <class R>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(kTable<R>.fields)>;

// Calls visit(field) for each field of R, in the table's order.
template <class R, class Visit>
void forEachField(Visit&& visit) {
  std::apply([&](const auto&... field) { (visit(field), ...); }, kTable<R>.fields);
}

// Calls visit(index, field) for the first field of R whose name satisfies
// `matches`; returns false when none does.
template <class R, class Matches, class Visit>
bool visitFieldWhere(Matches&& matches, Visit&& visit) {
  std::size_t index = 0;
  return std::apply(
      [&](const auto&... field) {
        return ((matches(field.name) ? (visit(index, field), true) : (++index, false)) || ...);
      },
      kTable<R>.fields);
}

// The length of the longest field name of R.
template <class R>
inline constexpr std::size_t kLongestName = std::apply(
    [](const auto&... field) {
      return std::max({std::size_t{0}, field.name.size()...});
    },
    kTable<R>.fields);

// Calls visit(index, field) for the field of R named `name`; returns false
// when R has none.
template <class R, class Visit>
bool visitField(std::string_view name, Visit&& visit) {
  return visitFieldWhere<R>([name](std::string_view fieldName) { return fieldName == name; },
                            std::forward<Visit>(visit));
}

}  // namespace databrowse::schema
