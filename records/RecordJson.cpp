#include "databrowse/RecordJson.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdint>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

namespace databrowse {

JsonError::JsonError(std::string path, std::string problem)
    : std::runtime_error(path.empty() ? problem : path + ": " + problem),
      path_(std::move(path)),
      problem_(std::move(problem)) {}

namespace {

namespace od = simdjson::ondemand;
using Json = nlohmann::ordered_json;

static_assert(kJsonPadding >= simdjson::SIMDJSON_PADDING);

// ---------------------------------------------------------------------------
// Reading

// One step of the path from the parsed value to the value being read. The
// steps live on the stack of the readers and are only turned into text when
// an error is reported.
struct Location {
  const Location* parent = nullptr;
  std::string_view key;  // field name, or the caller's prefix at the root
  std::size_t index = 0;
  bool isIndex = false;
};

std::string render(const Location& at) {
  std::vector<const Location*> steps;
  for (const Location* step = &at; step != nullptr; step = step->parent) steps.push_back(step);
  std::string path;
  for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
    if ((*step)->isIndex) {
      path += '[';
      path += std::to_string((*step)->index);
      path += ']';
    } else if (!(*step)->key.empty()) {
      if (!path.empty()) path += '.';
      path += (*step)->key;
    }
  }
  return path;
}

std::string jsonQuoted(std::string_view text) {
  return Json(std::string(text)).dump(-1, ' ', false, Json::error_handler_t::replace);
}

[[noreturn]] void fail(const Location& at, std::string problem) {
  throw JsonError(render(at), std::move(problem));
}

[[noreturn]] void failJson(const Location& at, simdjson::error_code error) {
  fail(at, std::string("invalid JSON: ") + simdjson::error_message(error));
}

const char* describe(od::json_type type) {
  switch (type) {
    case od::json_type::array:
      return "an array";
    case od::json_type::object:
      return "an object";
    case od::json_type::number:
      return "a number";
    case od::json_type::string:
      return "a string";
    case od::json_type::boolean:
      return "a boolean";
    case od::json_type::null:
      return "null";
  }
  return "an unknown value";
}

od::json_type typeOf(od::value& value, const Location& at) {
  od::json_type type{};
  if (auto error = value.type().get(type)) failJson(at, error);
  return type;
}

void expectType(od::value& value, const Location& at, od::json_type wanted, const char* what) {
  const od::json_type type = typeOf(value, at);
  if (type != wanted) fail(at, std::string("expected ") + what + ", got " + describe(type));
}

std::int64_t readInteger(od::value& value, const Location& at) {
  expectType(value, at, od::json_type::number, "an integer");
  std::int64_t result = 0;
  const simdjson::error_code error = value.get_int64().get(result);
  if (!error) return result;
  if (error == simdjson::NUMBER_ERROR) failJson(at, error);
  // A well-formed number that is not a signed 64-bit integer: tell a
  // fraction or exponent apart from an integer that is too large.
  od::number_type kind{};
  if (value.get_number_type().get(kind)) failJson(at, simdjson::NUMBER_ERROR);
  if (kind == od::number_type::floating_point_number) {
    double ignored = 0;
    if (value.get_double().get(ignored)) failJson(at, simdjson::NUMBER_ERROR);
    fail(at, "expected an integer, got a floating-point number");
  }
  fail(at, "integer out of the signed 64-bit range");
}

std::string readText(od::value& value, const Location& at) {
  expectType(value, at, od::json_type::string, "a string");
  std::string_view text;
  if (auto error = value.get_string().get(text)) failJson(at, error);
  return std::string(text);
}

od::object readObject(od::value& value, const Location& at) {
  expectType(value, at, od::json_type::object, "an object");
  od::object object;
  if (auto error = value.get_object().get(object)) failJson(at, error);
  return object;
}

// Calls read(entry, location) for each entry of the array `value`.
template <class Read>
void forEachEntry(od::value& value, const Location& at, Read&& read) {
  expectType(value, at, od::json_type::array, "an array");
  od::array array;
  if (auto error = value.get_array().get(array)) failJson(at, error);
  std::size_t index = 0;
  for (auto entry : array) {
    const Location where{&at, {}, index++, true};
    od::value element;
    if (auto error = std::move(entry).get(element)) failJson(where, error);
    read(element, where);
  }
}

// How one field of record type R is read: its JSON name and the function
// that stores the value into the record.
template <class R>
struct FieldReader {
  std::string_view name;
  void (*read)(R& record, od::value& value, const Location& at);
};

// The fields of each record type; specialised below for every record.
template <class R>
const auto& fieldsOf();

// Reads the fields of `object` into `record`, rejecting unknown and repeated
// fields.
template <class R>
void readFields(od::object& object, const Location& at, R& record) {
  const auto& fields = fieldsOf<R>();
  std::bitset<std::tuple_size_v<std::decay_t<decltype(fields)>>> seen;
  for (auto entry : object) {
    od::field field;
    if (auto error = std::move(entry).get(field)) failJson(at, error);
    std::string_view key;
    if (auto error = field.unescaped_key().get(key)) failJson(at, error);
    const auto known = std::find_if(fields.begin(), fields.end(),
                                    [key](const FieldReader<R>& f) { return f.name == key; });
    if (known == fields.end()) fail(at, "unknown field " + jsonQuoted(key));
    const auto index = static_cast<std::size_t>(known - fields.begin());
    const Location where{&at, known->name};
    if (seen.test(index)) fail(where, "field given more than once");
    seen.set(index);
    od::value value = field.value();
    known->read(record, value, where);
  }
}

template <class R>
void readRecord(od::value& value, const Location& at, R& record) {
  od::object object = readObject(value, at);
  readFields(object, at, record);
}

template <class R, void (R::*set)(long long)>
void integerField(R& record, od::value& value, const Location& at) {
  (record.*set)(readInteger(value, at));
}

template <class R, void (R::*set)(const std::string&)>
void textField(R& record, od::value& value, const Location& at) {
  (record.*set)(readText(value, at));
}

// A sub-record field counts as set once given, even as {}.
template <class R, class Sub, Sub& (R::*access)(bool), const FieldId* id>
void subRecordField(R& record, od::value& value, const Location& at) {
  readRecord(value, at, (record.*access)(true));
  markSet(record, *id);
}

// A list field counts as set once given, even as [].
template <class R, class Entry, std::vector<Entry>& (R::*access)(bool), const FieldId* id>
void recordListField(R& record, od::value& value, const Location& at) {
  std::vector<Entry>& list = (record.*access)(true);
  forEachEntry(value, at, [&list](od::value& entry, const Location& where) {
    readRecord(entry, where, list.emplace_back());
  });
  markSet(record, *id);
}

struct SortFieldName {
  std::string_view name;
  FilteredBrowseField value;
};
constexpr std::array<SortFieldName, 3> kSortFieldNames{{
    {"ByName", ByName},
    {"ByNumber", ByNumber},
    {"ByFlag", ByFlag},
}};

FilteredBrowseField readSortField(od::value& value, const Location& at) {
  const od::json_type type = typeOf(value, at);
  if (type == od::json_type::string) {
    const std::string name = readText(value, at);
    for (const SortFieldName& known : kSortFieldNames) {
      if (known.name == name) return known.value;
    }
    fail(at, "unknown sort field " + jsonQuoted(name) + " (expected ByName, ByNumber or ByFlag)");
  }
  if (type != od::json_type::number) {
    fail(at,
         std::string("expected a sort field (an integer or a field name), got ") + describe(type));
  }
  const std::int64_t number = readInteger(value, at);
  if (number < std::numeric_limits<std::int32_t>::min() ||
      number > std::numeric_limits<std::int32_t>::max()) {
    fail(at, "sort field out of the signed 32-bit range");
  }
  return static_cast<FilteredBrowseField>(number);
}

void sortFieldsField(SortParameters& sort, od::value& value, const Location& at) {
  std::vector<FilteredBrowseField>& fields = sort.fields(true);
  forEachEntry(value, at, [&fields](od::value& entry, const Location& where) {
    fields.push_back(readSortField(entry, where));
  });
  markSet(sort, SortParameters::kFields);
}

// The field tables, innermost records first. Objects are written in the same
// field order.

template <>
const auto& fieldsOf<BrowseContext>() {
  using R = BrowseContext;
  static constexpr std::array<FieldReader<R>, 2> fields{{
      {"sessionId", textField<R, &R::setSessionId>},
      {"sequence", integerField<R, &R::setSequence>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<BrowsePath>() {
  using R = BrowsePath;
  static constexpr std::array<FieldReader<R>, 1> fields{{
      {"path", textField<R, &R::setPath>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<SortParameters>() {
  using R = SortParameters;
  static constexpr std::array<FieldReader<R>, 2> fields{{
      {"fields", sortFieldsField},
      {"direction", integerField<R, &R::setDirection>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<PagingParameters>() {
  using R = PagingParameters;
  static constexpr std::array<FieldReader<R>, 2> fields{{
      {"offset", integerField<R, &R::setOffset>},
      {"limit", integerField<R, &R::setLimit>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<QueryParameters>() {
  using R = QueryParameters;
  static constexpr std::array<FieldReader<R>, 2> fields{{
      {"sort", subRecordField<R, SortParameters, &R::sort, &R::kSort>},
      {"paging", subRecordField<R, PagingParameters, &R::paging, &R::kPaging>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<AggregateParameters>() {
  using R = AggregateParameters;
  static constexpr std::array<FieldReader<R>, 1> fields{{
      {"type", integerField<R, &R::setType>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<Query>() {
  using R = Query;
  static constexpr std::array<FieldReader<R>, 3> fields{{
      {"queryId", textField<R, &R::setQueryId>},
      {"parameters", subRecordField<R, QueryParameters, &R::parameters, &R::kParameters>},
      {"aggregate", subRecordField<R, AggregateParameters, &R::aggregate, &R::kAggregate>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<BrowseRequest>() {
  using R = BrowseRequest;
  static constexpr std::array<FieldReader<R>, 3> fields{{
      {"paths", recordListField<R, BrowsePath, &R::paths, &R::kPaths>},
      {"queries", recordListField<R, Query, &R::queries, &R::kQueries>},
      {"context", subRecordField<R, BrowseContext, &R::context, &R::kContext>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<ItemFlags>() {
  using R = ItemFlags;
  static constexpr std::array<FieldReader<R>, 1> fields{{
      {"flag", integerField<R, &R::setFlag>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<BrowseData>() {
  using R = BrowseData;
  static constexpr std::array<FieldReader<R>, 3> fields{{
      {"name", textField<R, &R::setName>},
      {"number", integerField<R, &R::setNumber>},
      {"flags", subRecordField<R, ItemFlags, &R::flags, &R::kFlags>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<AggregateResult>() {
  using R = AggregateResult;
  static constexpr std::array<FieldReader<R>, 1> fields{{
      {"count", integerField<R, &R::setCount>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<BrowseResult>() {
  using R = BrowseResult;
  static constexpr std::array<FieldReader<R>, 3> fields{{
      {"queryId", textField<R, &R::setQueryId>},
      {"items", recordListField<R, BrowseData, &R::items, &R::kItems>},
      {"aggregates", recordListField<R, AggregateResult, &R::aggregates, &R::kAggregates>},
  }};
  return fields;
}

template <>
const auto& fieldsOf<BrowseResponse>() {
  using R = BrowseResponse;
  static constexpr std::array<FieldReader<R>, 3> fields{{
      {"status", integerField<R, &R::setStatus>},
      {"context", subRecordField<R, BrowseContext, &R::context, &R::kContext>},
      {"result", subRecordField<R, BrowseResult, &R::result, &R::kResult>},
  }};
  return fields;
}

// ---------------------------------------------------------------------------
// Writing

// The record classes read texts and sub-records through non-const accessors
// only. Reading a field that is set finds it and never inserts one, so the
// writers below read through a non-const view, and only fields that isSet
// reports as set.
template <class R>
R& view(const R& record) {
  return const_cast<R&>(record);
}

Json write(const BrowseContext& context) {
  Json out = Json::object();
  if (isSet(context, BrowseContext::kSessionId)) out["sessionId"] = view(context).sessionId();
  if (isSet(context, BrowseContext::kSequence)) out["sequence"] = context.sequence();
  return out;
}

Json write(const BrowsePath& path) {
  Json out = Json::object();
  if (isSet(path, BrowsePath::kPath)) out["path"] = view(path).path();
  return out;
}

Json writeSortField(FilteredBrowseField field) {
  for (const SortFieldName& known : kSortFieldNames) {
    if (known.value == field) return Json(known.name);
  }
  return Json(static_cast<std::int32_t>(field));
}

Json write(const SortParameters& sort) {
  Json out = Json::object();
  if (isSet(sort, SortParameters::kFields)) {
    Json fields = Json::array();
    for (const FilteredBrowseField field : view(sort).fields()) {
      fields.push_back(writeSortField(field));
    }
    out["fields"] = std::move(fields);
  }
  if (isSet(sort, SortParameters::kDirection)) out["direction"] = sort.direction();
  return out;
}

Json write(const PagingParameters& paging) {
  Json out = Json::object();
  if (isSet(paging, PagingParameters::kOffset)) out["offset"] = paging.offset();
  if (isSet(paging, PagingParameters::kLimit)) out["limit"] = paging.limit();
  return out;
}

Json write(const QueryParameters& parameters) {
  Json out = Json::object();
  if (isSet(parameters, QueryParameters::kSort)) out["sort"] = write(view(parameters).sort());
  if (isSet(parameters, QueryParameters::kPaging)) out["paging"] = write(view(parameters).paging());
  return out;
}

Json write(const AggregateParameters& aggregate) {
  Json out = Json::object();
  if (isSet(aggregate, AggregateParameters::kType)) out["type"] = aggregate.type();
  return out;
}

Json write(const Query& query) {
  Json out = Json::object();
  if (isSet(query, Query::kQueryId)) out["queryId"] = view(query).queryId();
  if (isSet(query, Query::kParameters)) out["parameters"] = write(view(query).parameters());
  if (isSet(query, Query::kAggregate)) out["aggregate"] = write(view(query).aggregate());
  return out;
}

Json write(const BrowseData& item);
Json write(const AggregateResult& aggregate);
Json write(const BrowseResponse& response);

template <class Entry>
Json writeList(const std::vector<Entry>& entries) {
  Json out = Json::array();
  for (const Entry& entry : entries) out.push_back(write(entry));
  return out;
}

Json write(const BrowseRequest& request) {
  Json out = Json::object();
  if (isSet(request, BrowseRequest::kPaths)) out["paths"] = writeList(view(request).paths());
  if (isSet(request, BrowseRequest::kQueries)) out["queries"] = writeList(view(request).queries());
  if (isSet(request, BrowseRequest::kContext)) out["context"] = write(view(request).context());
  return out;
}

Json write(const ItemFlags& flags) {
  Json out = Json::object();
  if (isSet(flags, ItemFlags::kFlag)) out["flag"] = flags.flag();
  return out;
}

Json write(const BrowseData& item) {
  Json out = Json::object();
  if (isSet(item, BrowseData::kName)) out["name"] = view(item).name();
  if (isSet(item, BrowseData::kNumber)) out["number"] = item.number();
  if (isSet(item, BrowseData::kFlags)) out["flags"] = write(view(item).flags());
  return out;
}

Json write(const AggregateResult& aggregate) {
  Json out = Json::object();
  if (isSet(aggregate, AggregateResult::kCount)) out["count"] = aggregate.count();
  return out;
}

Json write(const BrowseResult& result) {
  Json out = Json::object();
  if (isSet(result, BrowseResult::kQueryId)) out["queryId"] = view(result).queryId();
  if (isSet(result, BrowseResult::kItems)) out["items"] = writeList(view(result).items());
  if (isSet(result, BrowseResult::kAggregates)) {
    out["aggregates"] = writeList(view(result).aggregates());
  }
  return out;
}

Json write(const BrowseResponse& response) {
  Json out = Json::object();
  if (isSet(response, BrowseResponse::kStatus)) out["status"] = response.status();
  if (isSet(response, BrowseResponse::kContext)) out["context"] = write(view(response).context());
  if (isSet(response, BrowseResponse::kResult)) out["result"] = write(view(response).result());
  return out;
}

std::string dump(const Json& json, int indent) {
  // Invalid UTF-8 can only come from a host; it is written as U+FFFD rather
  // than failing the whole output.
  return json.dump(indent, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

// ---------------------------------------------------------------------------

struct JsonReader::State {
  od::parser parser;
  std::string copy;  // padded copy of a text given without padding

  PaddedJson padded(std::string_view json) {
    copy.resize(json.size() + kJsonPadding);
    std::memcpy(copy.data(), json.data(), json.size());
    return PaddedJson{std::string_view(copy.data(), json.size())};
  }

  template <class R>
  R parse(PaddedJson json, std::string_view where) {
    const Location root{nullptr, where};
    od::document document;
    if (auto error =
            parser.iterate(json.text.data(), json.text.size(), json.text.size() + kJsonPadding)
                .get(document)) {
      failJson(root, error);
    }
    od::json_type type{};
    if (auto error = document.type().get(type)) failJson(root, error);
    if (type != od::json_type::object) {
      fail(root, std::string("expected an object, got ") + describe(type));
    }
    od::object object;
    if (auto error = document.get_object().get(object)) failJson(root, error);
    R record;
    readFields(object, root, record);
    // The document has a location left only when something follows the
    // object.
    if (!document.current_location().error()) fail(root, "unexpected content after the object");
    return record;
  }
};

JsonReader::JsonReader() : state_(std::make_unique<State>()) {}
JsonReader::~JsonReader() = default;
JsonReader::JsonReader(JsonReader&&) noexcept = default;
JsonReader& JsonReader::operator=(JsonReader&&) noexcept = default;

BrowseRequest JsonReader::request(PaddedJson json, std::string_view where) {
  return state_->parse<BrowseRequest>(json, where);
}
BrowseRequest JsonReader::request(std::string_view json, std::string_view where) {
  return request(state_->padded(json), where);
}
BrowseData JsonReader::item(PaddedJson json, std::string_view where) {
  return state_->parse<BrowseData>(json, where);
}
BrowseData JsonReader::item(std::string_view json, std::string_view where) {
  return item(state_->padded(json), where);
}
BrowseResponse JsonReader::response(PaddedJson json, std::string_view where) {
  return state_->parse<BrowseResponse>(json, where);
}
BrowseResponse JsonReader::response(std::string_view json, std::string_view where) {
  return response(state_->padded(json), where);
}

BrowseRequest parseRequest(std::string_view json) { return JsonReader().request(json); }
BrowseData parseItem(std::string_view json) { return JsonReader().item(json); }
BrowseResponse parseResponse(std::string_view json) { return JsonReader().response(json); }

std::string toJson(const BrowseRequest& request, int indent) {
  return dump(write(request), indent);
}
std::string toJson(const BrowseData& item, int indent) { return dump(write(item), indent); }
std::string toJson(const BrowseResponse& response, int indent) {
  return dump(write(response), indent);
}
std::string toJson(const std::vector<BrowseResponse>& responses, int indent) {
  return dump(writeList(responses), indent);
}

}  // namespace databrowse
