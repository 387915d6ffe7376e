// The JSON form of the browse records.
//
// Field names are the record field names. Every field is optional: a field
// present in the JSON is set in the record (an empty object or [] included),
// and a record is written with exactly the fields that are set in it, in a
// fixed order. Integers are JSON integers in the signed 64-bit range; a sort
// field is an integer in the signed 32-bit range or one of the names
// "ByName", "ByNumber" and "ByFlag".
//
// Reading is strict: malformed JSON, unknown or repeated fields, values of
// the wrong kind, floating-point numbers and integers out of range throw
// JsonError, which says what is wrong and at which field.
//
// Writing escapes every text as JSON requires and never throws on a name
// that is not valid UTF-8: each invalid byte sequence is written as U+FFFD.
// JSON read by this library is always valid UTF-8, so only texts that a host
// stored in a record directly can be affected.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "RwXMLMessagesJsonExport.h"
#include "databrowse/BrowseRecords.h"

namespace databrowse {

// What is wrong with a JSON text, and where.
class RWXMLMESSAGESJSON_EXPORT JsonError : public std::runtime_error {
 public:
  JsonError(std::string path, std::string problem);

  // The field that is wrong, as in "queries[0].parameters.paging.limit";
  // empty for the value as a whole.
  const std::string& path() const noexcept { return path_; }
  // What is wrong with it, as in "expected an integer, got a string".
  const std::string& problem() const noexcept { return problem_; }

 private:
  std::string path_;
  std::string problem_;
};

// Number of readable bytes that must follow a text passed as PaddedJson.
inline constexpr std::size_t kJsonPadding = 64;

// A JSON text that is followed in memory by at least kJsonPadding readable
// bytes of any content. Such a text is parsed where it lies, without a copy.
struct PaddedJson {
  std::string_view text;
};

// Reads records from JSON texts. Keeps its buffers between calls, so one
// reader that parses many texts allocates little. Not thread-safe.
//
// `where`, when not empty, is the path of the parsed value inside a larger
// document and prefixes the paths of errors: with where = "request", an
// error in the first query is reported at "request.queries[0]".
class RWXMLMESSAGESJSON_EXPORT JsonReader {
 public:
  JsonReader();
  ~JsonReader();
  JsonReader(JsonReader&&) noexcept;
  JsonReader& operator=(JsonReader&&) noexcept;

  BrowseRequest request(std::string_view json, std::string_view where = {});
  BrowseRequest request(PaddedJson json, std::string_view where = {});
  BrowseData item(std::string_view json, std::string_view where = {});
  BrowseData item(PaddedJson json, std::string_view where = {});
  BrowseResponse response(std::string_view json, std::string_view where = {});
  BrowseResponse response(PaddedJson json, std::string_view where = {});

  // Called with each item read by items(), and the number of its line in
  // the text, from 0.
  using ItemSink = std::function<void(BrowseData& item, std::size_t line)>;

  // Where items() stopped: the offset of the first line that it did not
  // take (the text's size when it took all), and the number of line ends
  // ('\n') before that offset.
  struct ItemsRead {
    std::size_t offset = 0;
    std::size_t lines = 0;
  };

  // Reads `lines`, whole JSON Lines of items, many items per parse, and
  // hands each item to `add` in order; blank lines are skipped. Takes only
  // lines that item() would take, each holding one item on its own. Stops at
  // the first line that it does not take (an error, or text that item()
  // must judge, or memory that ran out); nothing from there on was added,
  // and item() on each line from there on reads it or reports what is wrong
  // with it. A text of more than 1 MiB is left to item() whole. What `add`
  // throws propagates.
  ItemsRead items(PaddedJson lines, const ItemSink& add);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The name of the simdjson kernel that finds the structure of every parsed
// text ("icelake", "haswell", "westmere", "fallback"...): the best one that
// this CPU runs, picked by simdjson when the library loads. Parsing that
// differs between kernels runs in the shared simdjson library, so the binary
// needs no CPU-specific compile flags.
RWXMLMESSAGESJSON_EXPORT const std::string& jsonKernel() noexcept;

// One-off parsing with a reader of its own.
RWXMLMESSAGESJSON_EXPORT BrowseRequest parseRequest(std::string_view json);
RWXMLMESSAGESJSON_EXPORT BrowseData parseItem(std::string_view json);
RWXMLMESSAGESJSON_EXPORT BrowseResponse parseResponse(std::string_view json);

// Writes a record, or an array of responses. With indent < 0 the text is on
// one line without spaces; otherwise it is pretty-printed with `indent`
// spaces per level. The same record always gives the same text.
RWXMLMESSAGESJSON_EXPORT std::string toJson(const BrowseRequest& request, int indent = -1);
RWXMLMESSAGESJSON_EXPORT std::string toJson(const BrowseData& item, int indent = -1);
RWXMLMESSAGESJSON_EXPORT std::string toJson(const BrowseResponse& response, int indent = -1);
RWXMLMESSAGESJSON_EXPORT std::string toJson(const std::vector<BrowseResponse>& responses,
                                            int indent = -1);

}  // namespace databrowse
