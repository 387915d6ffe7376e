// Writing records as JSON text (toJson of RecordJson.h).
#include <simdjson.h>

#include <algorithm>
#include <charconv>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "RecordSchema.h"
#include "databrowse/RecordJson.h"

namespace databrowse {

namespace {

using Json = nlohmann::ordered_json;

// The text is appended to one string as the records are walked, in the
// layout of nlohmann::json's dump(indent). No JSON tree is built: besides the
// cost, destroying one allocates, and an allocation that fails there ends
// the process.

// Sub-records and lists are reached through non-const accessors only.
// Reaching a field that is set finds it and never inserts one, so the
// writers below reach them through a non-const view, and only fields that
// isSet reports as set.
PKMessageBase& view(const PKMessageBase& record) { return const_cast<PKMessageBase&>(record); }

// True for the bytes that a JSON string never holds as they are: control
// characters, the quote and the backslash. Every other byte of valid UTF-8
// is written unchanged (nlohmann::json's dump without ensure_ascii).
bool needsEscape(unsigned char byte) { return byte < 0x20 || byte == '"' || byte == '\\'; }

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Room for a page of answers, so that writing one seldom moves the text.
constexpr std::size_t kInitialCapacity = 16 * 1024;

class Writer {
 public:
  explicit Writer(int indent) : indent_(indent) { out_.reserve(kInitialCapacity); }

  void beginObject() { open('{'); }
  void endObject() { close('}'); }
  void beginArray() { open('['); }
  void endArray() { close(']'); }

  // Starts the next entry of the array being written.
  void entry() { separate(); }
  // Starts the field `name` of the object being written.
  // The names of the tables are plain ASCII and written as they are.
  void key(std::string_view name) {
    separate();
    out_ += '"';
    out_ += name;
    out_ += indent_ < 0 ? "\":" : "\": ";
  }

  void integer(long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out_.append(digits, end);
  }

  void text(std::string_view value) {
    const bool plain = std::none_of(value.begin(), value.end(), [](char c) {
      return needsEscape(static_cast<unsigned char>(c));
    });
    if (plain && (isAscii(value) || simdjson::validate_utf8(value.data(), value.size()))) {
      out_ += '"';
      out_ += value;
      out_ += '"';
      return;
    }
    // Escapes and UTF-8 checks are left to nlohmann::json; invalid UTF-8 can
    // only come from a host and is written as U+FFFD rather than failing the
    // whole output.
    out_ += Json(std::string(value)).dump(-1, ' ', false, Json::error_handler_t::replace);
  }

  std::string take() { return std::move(out_); }

 private:
  void open(char bracket) {
    out_ += bracket;
    emptyLevels_.push_back(true);
  }

  void close(char bracket) {
    const bool empty = emptyLevels_.back();
    emptyLevels_.pop_back();
    if (!empty) newline();
    out_ += bracket;
  }

  void separate() {
    if (!emptyLevels_.back()) out_ += ',';
    emptyLevels_.back() = false;
    newline();
  }

  void newline() {
    if (indent_ < 0) return;
    out_ += '\n';
    out_.append(emptyLevels_.size() * static_cast<std::size_t>(indent_), ' ');
  }

  int indent_;
  std::string out_;
  std::vector<bool> emptyLevels_;  // per open object or array: nothing in it yet
};

template <class R>
void write(Writer& out, const R& record);

template <class Entry>
void writeList(Writer& out, const std::vector<Entry>& entries) {
  out.beginArray();
  for (const Entry& entry : entries) {
    out.entry();
    write(out, entry);
  }
  out.endArray();
}

void writeValue(Writer& out, const schema::Integer& field, const PKMessageBase& record) {
  out.integer(field.get(record));
}

void writeValue(Writer& out, const schema::Text& field, const PKMessageBase& record) {
  out.text(field.get(record));
}

template <class Sub>
void writeValue(Writer& out, const schema::Record<Sub>& field, const PKMessageBase& record) {
  write(out, field.open(view(record)));
}

template <class Entry>
void writeValue(Writer& out, const schema::RecordList<Entry>& field, const PKMessageBase& record) {
  writeList(out, field.open(view(record)));
}

void writeSortField(Writer& out, FilteredBrowseField field) {
  for (const schema::SortFieldName& known : schema::kSortFieldNames) {
    if (known.value == field) return out.text(known.name);
  }
  out.integer(static_cast<std::int32_t>(field));
}

void writeValue(Writer& out, const schema::SortFieldList& field, const PKMessageBase& record) {
  out.beginArray();
  for (const FilteredBrowseField sortField : field.open(view(record))) {
    out.entry();
    writeSortField(out, sortField);
  }
  out.endArray();
}

// The fields that are set, in the table's order.
template <class R>
void write(Writer& out, const R& record) {
  out.beginObject();
  schema::forEachField<R>([&](const auto& field) {
    if (!isSet(record, field.id)) return;
    out.key(field.name);
    writeValue(out, field, record);
  });
  out.endObject();
}

template <class R>
std::string written(const R& record, int indent) {
  Writer out(indent);
  write(out, record);
  return out.take();
}

}  // namespace

std::string toJson(const BrowseRequest& request, int indent) { return written(request, indent); }
std::string toJson(const BrowseData& item, int indent) { return written(item, indent); }
std::string toJson(const BrowseResponse& response, int indent) { return written(response, indent); }
std::string toJson(const std::vector<BrowseResponse>& responses, int indent) {
  Writer out(indent);
  writeList(out, responses);
  return out.take();
}

}  // namespace databrowse
