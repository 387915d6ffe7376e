#include "SessionOperation.h"

#include <simdjson.h>

#include <algorithm>
#include <array>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>

#include "JsonParsing.h"

namespace browse {

namespace {

namespace od = simdjson::ondemand;
using databrowse::JsonError;

struct OperationName {
  std::string_view name;
  OperationKind kind;
};
constexpr std::array<OperationName, 5> kOperations{{
    {"reset", OperationKind::kReset},
    {"addItem", OperationKind::kAddItem},
    {"serve", OperationKind::kServe},
    {"getResults", OperationKind::kGetResults},
    {"canServeRequest", OperationKind::kCanServeRequest},
}};

std::string jsonQuoted(std::string_view text) {
  return nlohmann::json(std::string(text))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

[[noreturn]] void failJson(std::string path, simdjson::error_code error) {
  // Running out of memory is not the line's fault.
  if (error == simdjson::MEMALLOC) throw std::bad_alloc();
  throw JsonError(std::move(path), std::string("invalid JSON: ") + simdjson::error_message(error));
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

std::string readString(od::value& value, const std::string& path) {
  od::json_type type{};
  if (auto error = value.type().get(type)) failJson(path, error);
  if (type != od::json_type::string) {
    throw JsonError(path, std::string("expected a string, got ") + describe(type));
  }
  std::string_view text;
  if (auto error = value.get_string().get(text)) failJson(path, error);
  return std::string(text);
}

// The text of a value, for the record reader to parse in place. Only an
// object can be an operand; any other value is handed over by its first
// token, which is enough for the reader to say what it is.
std::string_view rawValue(od::value& value, const std::string& path) {
  od::json_type type{};
  if (auto error = value.type().get(type)) failJson(path, error);
  std::string_view raw;
  simdjson::error_code error = simdjson::SUCCESS;
  if (type == od::json_type::object) {
    od::object object;
    error = value.get_object().get(object);
    if (!error) error = object.raw_json().get(raw);
  } else if (type == od::json_type::array) {
    od::array array;
    error = value.get_array().get(array);
    if (!error) error = array.raw_json().get(raw);
  } else {
    raw = value.raw_json_token();
  }
  if (error) failJson(path, error);
  return raw;
}

}  // namespace

const char* operationName(OperationKind kind) {
  for (const OperationName& known : kOperations) {
    if (known.kind == kind) return known.name.data();
  }
  return "?";
}

struct OperationReader::Parser {
  od::parser parser;
};

OperationReader::OperationReader() : parser_(std::make_unique<Parser>()) {}
OperationReader::~OperationReader() = default;

Operation OperationReader::read(databrowse::PaddedJson line) {
  if (auto error = databrowse::detail::reserveParser(parser_->parser, line.text.size())) {
    failJson("", error);
  }
  od::document document;
  if (auto error = parser_->parser
                       .iterate(line.text.data(), line.text.size(),
                                line.text.size() + databrowse::kJsonPadding)
                       .get(document)) {
    failJson("", error);
  }
  od::json_type type{};
  if (auto error = document.type().get(type)) failJson("", error);
  if (type != od::json_type::object) {
    throw JsonError("", std::string("expected an object, got ") + describe(type));
  }
  od::object object;
  bool textFollows = false;
  if (auto error = databrowse::detail::openRootObject(parser_->parser, line.text, document, object,
                                                      textFollows)) {
    failJson("", error);
  }

  std::optional<std::string> op;
  std::optional<std::string> consumer;
  std::optional<std::string_view> request;
  std::optional<std::string_view> item;
  for (auto entry : object) {
    od::field field;
    if (auto error = std::move(entry).get(field)) failJson("", error);
    std::string_view keyView;
    if (auto error = field.unescaped_key().get(keyView)) failJson("", error);
    const std::string key(keyView);
    od::value value = field.value();
    auto once = [&key](const auto& slot) {
      if (slot) throw JsonError(key, "field given more than once");
    };
    if (key == "op") {
      once(op);
      op = readString(value, key);
    } else if (key == "consumer") {
      once(consumer);
      consumer = readString(value, key);
    } else if (key == "request") {
      once(request);
      request = rawValue(value, key);
    } else if (key == "item") {
      once(item);
      item = rawValue(value, key);
    } else {
      throw JsonError("", "unknown field " + jsonQuoted(key));
    }
  }
  if (textFollows || !document.current_location().error()) {
    throw JsonError("", "unexpected content after the object");
  }

  if (!op) throw JsonError("", "missing field \"op\"");
  const OperationName* known = nullptr;
  for (const OperationName& candidate : kOperations) {
    if (candidate.name == *op) known = &candidate;
  }
  if (known == nullptr) {
    throw JsonError("op", "unknown op " + jsonQuoted(*op) +
                              " (expected reset, addItem, serve, getResults or canServeRequest)");
  }
  Operation operation;
  operation.kind = known->kind;
  if (consumer) operation.consumer = std::move(*consumer);
  const bool wantsItem = known->kind == OperationKind::kAddItem;
  const char* operand = wantsItem ? "item" : "request";
  const char* other = wantsItem ? "request" : "item";
  if (wantsItem ? bool(request) : bool(item)) {
    throw JsonError("",
                    std::string("field \"") + other + "\" does not belong to op \"" + *op + "\"");
  }
  const std::optional<std::string_view>& text = wantsItem ? item : request;
  if (!text) {
    throw JsonError("", std::string("missing field \"") + operand + "\" for op \"" + *op + "\"");
  }
  // The operand lies inside the line, which is padded, so it is padded too.
  if (wantsItem) {
    operation.item = records_.item(databrowse::PaddedJson{*text}, operand);
  } else {
    operation.request = records_.request(databrowse::PaddedJson{*text}, operand);
  }
  return operation;
}

}  // namespace browse
