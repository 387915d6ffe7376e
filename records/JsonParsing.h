// What every reader of JSON texts does around simdjson's ondemand parser:
// grow the parser safely, and open the root object of a text even when other
// text follows it. Used by the record reader and by the session reader of
// browse; not installed.
#pragma once

#include <simdjson.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "databrowse/RecordJson.h"

namespace databrowse::detail {

// A parser holds at least this many bytes, so that short texts of growing
// length do not make it allocate again for each.
inline constexpr std::size_t kSmallestParserCapacity = 4096;

// Makes `parser` ready for a text of `length` bytes. The ondemand parser of
// simdjson 3.0 does not report a failed allocation of its string buffer and
// would later write through a null pointer, so the buffer's address is
// checked here through a raw iterator; a parser that could not allocate is
// replaced by an empty one, which allocates afresh for the next text.
inline simdjson::error_code reserveParser(simdjson::ondemand::parser& parser, std::size_t length) {
  // "{}" with the padding that the parser needs.
  static constexpr char kProbeText[2 + simdjson::SIMDJSON_PADDING] = "{}";
  if (parser.capacity() != 0 && length <= parser.capacity()) return simdjson::SUCCESS;
  const std::size_t wanted = std::max({length, 2 * parser.capacity(), kSmallestParserCapacity});
  simdjson::error_code error =
      parser.allocate(std::max(length, std::min(wanted, parser.max_capacity())));
  if (!error) {
    simdjson::ondemand::json_iterator probe;
    error = parser.iterate_raw(simdjson::padded_string_view(kProbeText, 2, sizeof kProbeText))
                .get(probe);
    if (!error && probe.string_buf_loc() == nullptr) error = simdjson::MEMALLOC;
  }
  if (error) parser = simdjson::ondemand::parser();
  return error;
}

// The length of the root object of `text` when tokens follow it, else 0.
// Walks the tokens that simdjson's first stage found; braces inside strings
// are no tokens of their own.
inline std::size_t lengthOfObjectBeforeMore(simdjson::ondemand::parser& parser,
                                            std::string_view text) {
  simdjson::ondemand::json_iterator tokens;
  const simdjson::padded_string_view padded(text.data(), text.size(), text.size() + kJsonPadding);
  if (parser.iterate_raw(padded).get(tokens)) return 0;
  const auto* const start = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t depth = 0;
  while (!tokens.at_end()) {
    const std::uint8_t* const token = tokens.return_current_and_advance();
    if (*token == '{' || *token == '[') {
      ++depth;
    } else if (*token == '}' || *token == ']') {
      if (depth == 0) return 0;
      if (--depth == 0) return tokens.at_end() ? 0 : static_cast<std::size_t>(token + 1 - start);
    } else if (depth == 0) {
      return 0;
    }
  }
  return 0;
}

// Opens the root of `document`, the text `text` iterated by `parser`, as
// `object`. simdjson opens a root object only when the last token of the
// whole text closes it, and takes text after the object for a document that
// ended early. So when more follows the root object, the object alone is
// iterated into `document` again and opened, and `textFollows` is set: once
// the object has been read, what follows it is to be reported. Errors are
// simdjson's.
inline simdjson::error_code openRootObject(simdjson::ondemand::parser& parser,
                                           std::string_view text,
                                           simdjson::ondemand::document& document,
                                           simdjson::ondemand::object& object, bool& textFollows) {
  textFollows = false;
  simdjson::error_code error = document.get_object().get(object);
  if (error != simdjson::INCOMPLETE_ARRAY_OR_OBJECT) return error;
  const std::size_t length = lengthOfObjectBeforeMore(parser, text);
  if (length == 0) return error;
  textFollows = true;
  error = parser.iterate(text.data(), length, text.size() + kJsonPadding).get(document);
  if (!error) error = document.get_object().get(object);
  return error;
}

}  // namespace databrowse::detail
