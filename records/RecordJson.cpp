#include "databrowse/RecordJson.h"

#include <simdjson.h>

#include <algorithm>
#include <bitset>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "JsonParsing.h"
#include "RecordSchema.h"

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
  // Running out of memory is not the text's fault.
  if (error == simdjson::MEMALLOC) throw std::bad_alloc();
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
  std::int64_t result = 0;
  // A failed get_int64 leaves the value where it was, so the checks below
  // run only for a value that is no signed 64-bit integer.
  if (!value.get_int64().get(result)) return result;
  expectType(value, at, od::json_type::number, "an integer");
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

// Reads `value` as get(value) does. A value of another type is left where
// it was, so only then is its type named for the error.
template <class T, class Get>
T readAs(od::value& value, const Location& at, od::json_type type, const char* what, Get get) {
  T result{};
  simdjson::error_code error = get(value).get(result);
  if (error == simdjson::INCORRECT_TYPE) {
    expectType(value, at, type, what);
    error = get(value).get(result);
  }
  if (error) failJson(at, error);
  return result;
}

// Valid until the parser reads the next text.
std::string_view readText(od::value& value, const Location& at) {
  return readAs<std::string_view>(value, at, od::json_type::string, "a string",
                                  [](od::value& text) { return text.get_string(); });
}

od::object readObject(od::value& value, const Location& at) {
  return readAs<od::object>(value, at, od::json_type::object, "an object",
                            [](od::value& object) { return object.get_object(); });
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

template <class R>
void readRecord(od::value& value, const Location& at, R& record);

void readField(const schema::Integer& field, PKMessageBase& record, od::value& value,
               const Location& at) {
  field.set(record, readInteger(value, at));
}

void readField(const schema::Text& field, PKMessageBase& record, od::value& value,
               const Location& at) {
  field.set(record, std::string(readText(value, at)));
}

// A sub-record field counts as set once given, even as {}. Read on its own
// and stored as a copy, a sub-record of integers and texts goes straight
// into the compact encoding of the record.
template <class Sub>
void readField(const schema::Record<Sub>& field, PKMessageBase& record, od::value& value,
               const Location& at) {
  Sub sub;
  readRecord(value, at, sub);
  field.set(record, sub);
}

// A list field counts as set once given, even as [].
template <class Entry>
void readField(const schema::RecordList<Entry>& field, PKMessageBase& record, od::value& value,
               const Location& at) {
  std::vector<Entry>& list = field.open(record);
  forEachEntry(value, at, [&list](od::value& entry, const Location& where) {
    readRecord(entry, where, list.emplace_back());
  });
  markSet(record, field.id);
}

// "ByName, ByNumber or ByFlag"
std::string sortFieldChoices() {
  std::string choices;
  for (std::size_t i = 0; i < schema::kSortFieldNames.size(); ++i) {
    if (i != 0) choices += i + 1 == schema::kSortFieldNames.size() ? " or " : ", ";
    choices += schema::kSortFieldNames[i].name;
  }
  return choices;
}

FilteredBrowseField readSortField(od::value& value, const Location& at) {
  const od::json_type type = typeOf(value, at);
  if (type == od::json_type::string) {
    const std::string_view name = readText(value, at);
    for (const schema::SortFieldName& known : schema::kSortFieldNames) {
      if (known.name == name) return known.value;
    }
    fail(at, "unknown sort field " + jsonQuoted(name) + " (expected " + sortFieldChoices() + ")");
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

void readField(const schema::SortFieldList& field, PKMessageBase& record, od::value& value,
               const Location& at) {
  std::vector<FilteredBrowseField>& fields = field.open(record);
  forEachEntry(value, at, [&fields](od::value& entry, const Location& where) {
    fields.push_back(readSortField(entry, where));
  });
  markSet(record, field.id);
}

// Whether the key whose text starts at `raw`, just after its opening quote,
// is `name` as written: its bytes, then the closing quote. A name holds no
// quote or backslash, so a key with escapes never matches. Reads
// name.size() + 1 bytes, which the closing quote, the ':' and value that
// follow a key and the padding behind the text hold.
bool keyIsWritten(const char* raw, std::string_view name) {
  return std::memcmp(raw, name.data(), name.size()) == 0 && raw[name.size()] == '"';
}

// Reads the fields of `object` into `record`, rejecting unknown and repeated
// fields.
template <class R>
void readFields(od::object& object, const Location& at, R& record) {
  static_assert(schema::kLongestName<R> < kJsonPadding, "keyIsWritten reads past the padding");
  std::bitset<schema::kFieldCount<R>> seen;
  for (auto entry : object) {
    if (auto error = entry.error()) failJson(at, error);
    // The field is read where the iteration made it: a copy of its iterator,
    // just written, would be read back before the writes complete.
    od::field& field = entry.value_unsafe();
    const auto readValue = [&](std::size_t index, const auto& schemaField) {
      const Location where{&at, schemaField.name};
      if (seen.test(index)) fail(where, "field given more than once");
      seen.set(index);
      readField(schemaField, record, field.value(), where);
    };
    // Keys are nearly always written without escapes: matched in place, they
    // need no copy into the parser's string buffer.
    const char* const raw = field.key().raw();
    if (schema::visitFieldWhere<R>([raw](std::string_view name) { return keyIsWritten(raw, name); },
                                   readValue)) {
      continue;
    }
    std::string_view key;
    if (auto error = field.unescaped_key().get(key)) failJson(at, error);
    if (!schema::visitField<R>(key, readValue)) fail(at, "unknown field " + jsonQuoted(key));
  }
}

template <class R>
void readRecord(od::value& value, const Location& at, R& record) {
  od::object object = readObject(value, at);
  readFields(object, at, record);
}

// ---------------------------------------------------------------------------

// simdjson picks the kernel for this CPU on first use, inside functions that
// end the process when an allocation fails there. Picking it while the
// library loads keeps that out of every parse.
const std::string& kKernel = simdjson::get_active_implementation()->name();

}  // namespace

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
    if (auto error = detail::reserveParser(parser, json.text.size())) failJson(root, error);
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
    bool textFollows = false;
    if (auto error = detail::openRootObject(parser, json.text, document, object, textFollows)) {
      failJson(root, error);
    }
    R record;
    readFields(object, root, record);
    // The document has a location left only when something follows the
    // object.
    if (textFollows || !document.current_location().error()) {
      fail(root, "unexpected content after the object");
    }
    return record;
  }
};

namespace {

// Bytes per batch of the document stream, and of the longest text that
// items() parses as a stream: longer ones are left to item().
constexpr std::size_t kStreamBatch = std::size_t{1} << 20;

bool isLineSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The offset just past the line that holds text[end - 1], when only spaces,
// tabs and carriage returns follow `end` on that line; else npos.
std::size_t endOfLine(std::string_view text, std::size_t end) {
  for (; end < text.size(); ++end) {
    if (text[end] == '\n') return end + 1;
    if (!isLineSpace(text[end])) return std::string_view::npos;
  }
  return end;
}

}  // namespace

JsonReader::ItemsRead JsonReader::items(PaddedJson lines, const ItemSink& add) {
  const std::string_view text = lines.text;
  od::parser& parser = state_->parser;
  ItemsRead read;  // the line after the last item taken
  // One batch holds the whole text, so the stream runs no thread of its own.
  if (text.empty() || text.size() > kStreamBatch || detail::reserveParser(parser, kStreamBatch)) {
    return read;
  }
  od::document_stream stream;
  if (parser.iterate_many(text.data(), text.size(), kStreamBatch).get(stream)) return read;
  const Location root{nullptr, {}};
  for (auto it = stream.begin(); it != stream.end(); ++it) {
    if (it.error()) return read;
    // The first document of a stream starts where the text does, white
    // space before the item included.
    const std::size_t sourceEnd = it.current_index() + it.source().size();
    std::size_t start = it.current_index();
    while (start < sourceEnd && (text[start] == '\n' || isLineSpace(text[start]))) ++start;
    const std::string_view source = text.substr(start, sourceEnd - start);
    // One item per line: none that spans lines, no text after it on its line.
    if (start < read.offset || source.find('\n') != std::string_view::npos) return read;
    const std::size_t next = endOfLine(text, sourceEnd);
    if (next == std::string_view::npos) return read;
    od::document_reference document;
    od::object object;
    if ((*it).get(document) || document.get_object().get(object)) return read;
    BrowseData item;
    try {
      readFields(object, root, item);
    } catch (const JsonError&) {
      return read;
    } catch (const std::bad_alloc&) {
      return read;  // item() on the line meets it again, and says where
    }
    // Blank lines before the item.
    const std::size_t line =
        read.lines + static_cast<std::size_t>(
                         std::count(text.begin() + read.offset, text.begin() + start, '\n'));
    add(item, line);
    read.offset = next;
    read.lines = line + (text[next - 1] == '\n' ? 1 : 0);
  }
  // The stream drops a document cut short at the end: what is left after the
  // last item taken must be blank lines.
  std::size_t blankLines = 0;
  for (std::size_t i = read.offset; i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++blankLines;
    } else if (!isLineSpace(text[i])) {
      return read;
    }
  }
  return ItemsRead{text.size(), read.lines + blankLines};
}

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

const std::string& jsonKernel() noexcept { return kKernel; }

BrowseRequest parseRequest(std::string_view json) { return JsonReader().request(json); }
BrowseData parseItem(std::string_view json) { return JsonReader().item(json); }
BrowseResponse parseResponse(std::string_view json) { return JsonReader().response(json); }

}  // namespace databrowse
