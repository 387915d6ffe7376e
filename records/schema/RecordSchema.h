// The JSON form of the browse records, one table per record type: each
// field's JSON name, the constants that address it and the kind of its
// value, in the order in which the writer writes them. The JSON reader and
// writer (RecordJson.cpp) and the help of browse are built from these tables.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <tuple>
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
  // The sub-record; requires it to exist (isSet true).
  const R& get(const PKMessageBase& record) const {
    return *record.findObject<R>(id.number, id.recordHash, id.fieldHash);
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

// Table<R>::kForm names the form of R in the help ("" for a form that is
// shown where it is used); Table<R>::kFields lists its fields.
template <class R>
struct Table;

template <>
struct Table<BrowseContext> {
  using R = BrowseContext;
  static constexpr std::string_view kForm = "CONTEXT";
  static constexpr std::tuple kFields{
      Text{"sessionId", R::kSessionId},
      Integer{"sequence", R::kSequence},
  };
};

template <>
struct Table<BrowsePath> {
  using R = BrowsePath;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Text{"path", R::kPath},
  };
};

template <>
struct Table<SortParameters> {
  using R = SortParameters;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      SortFieldList{"fields", R::kFields},
      Integer{"direction", R::kDirection},
  };
};

template <>
struct Table<PagingParameters> {
  using R = PagingParameters;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Integer{"offset", R::kOffset},
      Integer{"limit", R::kLimit},
  };
};

template <>
struct Table<QueryParameters> {
  using R = QueryParameters;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Record<SortParameters>{"sort", R::kSort},
      Record<PagingParameters>{"paging", R::kPaging},
  };
};

template <>
struct Table<AggregateParameters> {
  using R = AggregateParameters;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Integer{"type", R::kType},
  };
};

template <>
struct Table<Query> {
  using R = Query;
  static constexpr std::string_view kForm = "QUERY";
  static constexpr std::tuple kFields{
      Text{"queryId", R::kQueryId},
      Record<QueryParameters>{"parameters", R::kParameters},
      Record<AggregateParameters>{"aggregate", R::kAggregate},
  };
};

template <>
struct Table<BrowseRequest> {
  using R = BrowseRequest;
  static constexpr std::string_view kForm = "REQUEST";
  static constexpr std::tuple kFields{
      RecordList<BrowsePath>{"paths", R::kPaths},
      RecordList<Query>{"queries", R::kQueries},
      Record<BrowseContext>{"context", R::kContext},
  };
};

template <>
struct Table<ItemFlags> {
  using R = ItemFlags;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Integer{"flag", R::kFlag},
  };
};

template <>
struct Table<BrowseData> {
  using R = BrowseData;
  static constexpr std::string_view kForm = "ITEM";
  static constexpr std::tuple kFields{
      Text{"name", R::kName},
      Integer{"number", R::kNumber},
      Record<ItemFlags>{"flags", R::kFlags},
  };
};

template <>
struct Table<AggregateResult> {
  using R = AggregateResult;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Integer{"count", R::kCount},
  };
};

template <>
struct Table<BrowseResult> {
  using R = BrowseResult;
  static constexpr std::string_view kForm = "";
  static constexpr std::tuple kFields{
      Text{"queryId", R::kQueryId},
      RecordList<BrowseData>{"items", R::kItems},
      RecordList<AggregateResult>{"aggregates", R::kAggregates},
  };
};

template <>
struct Table<BrowseResponse> {
  using R = BrowseResponse;
  static constexpr std::string_view kForm = "RESPONSE";
  static constexpr std::tuple kFields{
      Integer{"status", R::kStatus},
      Record<BrowseContext>{"context", R::kContext},
      Record<BrowseResult>{"result", R::kResult},
  };
};

// ---- Walks over a table -----------------------------------------------------

template <class R>
inline constexpr std::size_t kFieldCount = std::tuple_size_v<decltype(Table<R>::kFields)>;

// Calls visit(field) for each field of R, in the table's order.
template <class R, class Visit>
void forEachField(Visit&& visit) {
  std::apply([&](const auto&... field) { (visit(field), ...); }, Table<R>::kFields);
}

// Calls visit(index, field) for the field of R named `name`; returns false
// when R has none.
template <class R, class Visit>
bool visitField(std::string_view name, Visit&& visit) {
  std::size_t index = 0;
  return std::apply(
      [&](const auto&... field) {
        return ((field.name == name ? (visit(index, field), true) : (++index, false)) || ...);
      },
      Table<R>::kFields);
}

}  // namespace databrowse::schema
