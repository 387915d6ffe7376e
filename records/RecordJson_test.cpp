// The JSON form of the browse records: round trips, presence, errors.
#include "databrowse/RecordJson.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "FailingAllocator.h"
#include "TestSeed.h"

namespace databrowse {
namespace {

using namespace std::string_literals;

// Texts in the form the writer produces; each must come back byte for byte.
TEST(RecordJsonTest, RequestsRoundTripInWrittenForm) {
  const char* const cases[] = {
      R"({})",
      R"({"paths":[]})",
      R"({"paths":[{}],"queries":[{}],"context":{}})",
      R"({"queries":[{"parameters":{}}]})",
      R"({"queries":[{"parameters":{"sort":{"fields":[]},"paging":{}}}]})",
      R"({"queries":[{"aggregate":{}}]})",
      R"({"context":{"sessionId":""}})",
      R"({"paths":[{"path":"/data/items"},{"path":"/Data/Other"}],)"
      R"("queries":[{"queryId":"page1","parameters":{"sort":{"fields":["ByName","ByNumber",)"
      R"("ByFlag",5,-2147483648,2147483647],"direction":1},"paging":{"offset":0,"limit":10}}},)"
      R"({"queryId":"count","aggregate":{"type":4}}],)"
      R"("context":{"sessionId":"s-1","sequence":-9223372036854775808}})",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    const BrowseRequest request = parseRequest(text);
    EXPECT_EQ(text, toJson(request));
    EXPECT_EQ(request, parseRequest(toJson(request)));
  }
}

TEST(RecordJsonTest, ItemsAndResponsesRoundTripInWrittenForm) {
  const char* const items[] = {
      R"({})",
      R"({"flags":{}})",
      R"({"name":"a\u0000b","number":9223372036854775807,"flags":{"flag":-1}})",
      R"({"name":"Ångström 東京","number":-9223372036854775808})",
      R"({"name":"quote\" back\\ tab\t nl\n ctl\u001f","number":0})",
  };
  for (const char* text : items) {
    SCOPED_TRACE(text);
    EXPECT_EQ(text, toJson(parseItem(text)));
  }
  const char* const responses[] = {
      R"({})",
      R"({"status":0,"context":{},"result":{"queryId":"","items":[]}})",
      R"({"status":-3,"context":{"sessionId":"s","sequence":7},"result":{"queryId":"q",)"
      R"("items":[{"name":"x","number":1,"flags":{"flag":0}},{}],"aggregates":[{"count":2},{}]}})",
  };
  for (const char* text : responses) {
    SCOPED_TRACE(text);
    EXPECT_EQ(text, toJson(parseResponse(text)));
  }
}

// Input in any other form is read alike and written in the canonical form.
TEST(RecordJsonTest, WriterNormalisesOrderSpacingEscapesAndFieldNames) {
  struct Case {
    const char* input;
    const char* written;
  };
  const Case cases[] = {
      {R"( { "flags" : { "flag" : 2 } , "number" : 3 , "name" : "n" } )",
       R"({"name":"n","number":3,"flags":{"flag":2}})"},
      {R"({"n\u0061me":"\u00e9\ud83d\ude00\/"})", R"({"name":"é😀/"})"},
      {"{\"name\":\"x\"}\r\n", R"({"name":"x"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.written, toJson(parseItem(c.input)));
  }
  const BrowseRequest request =
      parseRequest(R"({"context":{"sequence":1},"queries":[{"aggregate":{"type":4},"queryId":"q",)"
                   R"("parameters":{"paging":{"limit":2,"offset":1},"sort":{"direction":0,)"
                   R"("fields":[0,12,38,"ByName",39]}}}]})");
  EXPECT_EQ(R"({"queries":[{"queryId":"q","parameters":{"sort":{"fields":["ByName","ByNumber",)"
            R"("ByFlag","ByName",39],"direction":0},"paging":{"offset":1,"limit":2}},)"
            R"("aggregate":{"type":4}}],"context":{"sequence":1}})",
            toJson(request));
}

TEST(RecordJsonTest, SortFieldsAcceptNamesAndAnySigned32BitNumber) {
  BrowseRequest request =
      parseRequest(R"({"queries":[{"parameters":{"sort":{"fields":)"
                   R"(["ByName","ByNumber","ByFlag",0,12,38,-1,2147483647,-2147483648]}}}]})");
  const std::vector<std::int32_t> expected{0, 12, 38, 0, 12, 38, -1, 2147483647, -2147483648};
  const std::vector<FilteredBrowseField>& fields =
      request.queries()[0].parameters().sort().fields();
  EXPECT_EQ(expected, std::vector<std::int32_t>(fields.begin(), fields.end()));
}

TEST(RecordJsonTest, GivenEmptyRecordsAndListsAreSetAndAbsentOnesAreNot) {
  BrowseRequest absent = parseRequest("{}");
  EXPECT_FALSE(isSet(absent, BrowseRequest::kPaths));
  EXPECT_FALSE(isSet(absent, BrowseRequest::kQueries));
  EXPECT_FALSE(isSet(absent, BrowseRequest::kContext));

  BrowseRequest empty = parseRequest(R"({"paths":[],"queries":[{}],"context":{}})");
  EXPECT_TRUE(isSet(empty, BrowseRequest::kPaths));
  EXPECT_TRUE(empty.paths().empty());
  EXPECT_TRUE(isSet(empty, BrowseRequest::kContext));
  EXPECT_FALSE(isSet(empty.context(), BrowseContext::kSessionId));
  ASSERT_EQ(1u, empty.queries().size());
  EXPECT_FALSE(isSet(empty.queries()[0], Query::kParameters));
  EXPECT_NE(absent, empty);

  BrowseData zero = parseItem(R"({"number":0,"flags":{}})");
  EXPECT_TRUE(isSet(zero, BrowseData::kNumber));
  EXPECT_FALSE(isSet(zero, BrowseData::kName));
  EXPECT_TRUE(isSet(zero, BrowseData::kFlags));
  EXPECT_FALSE(isSet(zero.flags(), ItemFlags::kFlag));
}

TEST(RecordJsonTest, WriterSkipsFieldsThatWereOnlyReadAndLeavesTheRecordAlone) {
  BrowseData item;
  item.setNumber(5);
  (void)item.flags().flag();
  (void)item.name();
  const BrowseData before = item;
  EXPECT_EQ(R"({"number":5})", toJson(item));
  EXPECT_EQ(before, item);

  BrowseRequest request;
  request.queries(true).emplace_back().parameters().sort().fields(true);
  markSet(request.queries()[0].parameters(), QueryParameters::kSort);
  EXPECT_EQ(R"({"queries":[{"parameters":{"sort":{}}}]})", toJson(request));
}

TEST(RecordJsonTest, ItemsAreReadIntoTheCompactForm) {
  JsonReader reader;
  const BrowseData item = reader.item(R"({"flags": {"flag": -3}, "number": 70000, "name": "n"})");
  EXPECT_EQ(PKMessageBase::StorageForm::kInline, item.storageForm());
  EXPECT_EQ(0u, item.heapBytes()) << "no sub-record on the heap";
  EXPECT_EQ(-3, item.flagValue());
  const BrowseData empty = reader.item(R"({"flags": {}})");
  EXPECT_EQ(0u, empty.heapBytes());
  EXPECT_TRUE(isSet(empty, BrowseData::kFlags)) << "given as {}, the flags count as set";
}

// items() takes the lines that item() takes, each alone on its line, and
// stops at the start of the first line that it leaves to item().
TEST(RecordJsonTest, ItemStreamsTakeWholeLinesAndStopWhereItemMustJudge) {
  struct Case {
    std::string text;
    std::vector<std::string> names;  // of the items taken
    std::vector<std::size_t> lines;  // their lines
    std::size_t stop;                // where it stopped, or npos: at the end
    std::size_t lineEnds;            // line ends before the stop
  };
  const std::size_t end = std::string::npos;
  const std::string a = R"({"name":"a","number":1,"flags":{"flag":2}})";
  const std::string b = R"({"name":"b"})";
  const Case cases[] = {
      {a + "\n" + b, {"a", "b"}, {0, 1}, end, 1},
      {"\n  \n" + a + " \r\n\n" + b + "\n\n", {"a", "b"}, {2, 4}, end, 6},
      {a + "\n" + R"({"name":1})" + "\n" + b, {"a"}, {0}, a.size() + 1, 1},
      {a + "\n" + b + " " + b + "\n" + b, {"a"}, {0}, a.size() + 1, 1},
      {a + "\n{\"name\":\n\"c\"}\n" + b, {"a"}, {0}, a.size() + 1, 1},
      {a + "\n[1]\n", {"a"}, {0}, a.size() + 1, 1},
      {a + "\n" + R"({"name":"c")", {"a"}, {0}, a.size() + 1, 1},
      {a + "\n" + R"({"name":"c"} x)", {"a"}, {0}, a.size() + 1, 1},
      {a + "\n" + R"({"nome":"c"})", {"a"}, {0}, a.size() + 1, 1},
      {"", {}, {}, end, 0},
  };
  JsonReader reader;
  JsonReader other;  // the stream's parser is busy while it hands out items
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::string padded = c.text;
    padded.resize(c.text.size() + kJsonPadding, '\0');
    std::vector<std::string> textLines;
    std::istringstream split(c.text);
    for (std::string line; std::getline(split, line);) textLines.push_back(line);
    std::vector<std::string> names;
    std::vector<std::size_t> lines;
    const JsonReader::ItemsRead read =
        reader.items(PaddedJson{std::string_view(padded.data(), c.text.size())},
                     [&](BrowseData& item, std::size_t line) {
                       names.emplace_back(item.nameView());
                       lines.push_back(line);
                       EXPECT_EQ(0u, item.heapBytes());
                       EXPECT_EQ(item, other.item(textLines.at(line)));
                     });
    EXPECT_EQ(c.names, names);
    EXPECT_EQ(c.lines, lines);
    EXPECT_EQ(c.stop == end ? c.text.size() : c.stop, read.offset);
    EXPECT_EQ(c.lineEnds, read.lines);
  }
}

TEST(RecordJsonTest, NamesKeepEmbeddedNulBytes) {
  BrowseData item = parseItem(R"({"name":"\u0000a\u0000"})");
  EXPECT_EQ("\0a\0"s, item.name());
  BrowseData built;
  built.setName("x\0y"s);
  EXPECT_EQ(R"({"name":"x\u0000y"})", toJson(built));
}

TEST(RecordJsonTest, SixtyFourBitLimitsAreKeptExactly) {
  constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
  constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
  BrowseData low = parseItem(R"({"number":-9223372036854775808,"flags":{"flag":-1}})");
  BrowseData high = parseItem(R"({"number":9223372036854775807,"flags":{"flag":-0}})");
  EXPECT_EQ(kMin, low.number());
  EXPECT_EQ(-1, low.flags().flag());
  EXPECT_EQ(kMax, high.number());
  EXPECT_EQ(0, high.flags().flag());
  BrowseResponse response;
  response.result(true).aggregates(true).emplace_back().setCount(kMax);
  response.setStatus(kMin);
  EXPECT_EQ(response, parseResponse(toJson(response)));
}

TEST(RecordJsonTest, InvalidUtf8FromAHostIsReplacedNotFatal) {
  BrowseData item;
  item.setName("ok\xff\xfe!");
  std::string text;
  ASSERT_NO_THROW(text = toJson(item));
  EXPECT_EQ(std::string::npos, text.find('\xff'));
  const std::string name = parseItem(text).name();
  EXPECT_EQ(0u, name.rfind("ok\xEF\xBF\xBD", 0)) << name;
  EXPECT_EQ('!', name.back());
}

// Texts are written as nlohmann::json writes them, whether the writer's own
// check lets them through unchanged (ASCII, valid UTF-8) or not: every pair
// of escapes, control bytes, DEL, multi-byte characters, overlong and
// truncated sequences and surrogates.
TEST(RecordJsonTest, TextsAreWrittenAsNlohmannJsonWritesThem) {
  const std::string pieces[] = {"a",
                                "\"",
                                "\\",
                                "\n",
                                "\x01"s,
                                "\x1f",
                                "\x7f",
                                "\0"s,
                                "\xc3\xa9",
                                "\xe6\x9d\xb1",
                                "\xf0\x9f\x98\x80",
                                "\xff",
                                "\xc3",
                                "\xc0\xaf",
                                "\xed\xa0\x80",
                                "\xf4\x90\x80\x80"};
  for (const std::string& first : pieces) {
    for (const std::string& second : pieces) {
      const std::string name = "x" + first + second + "y";
      BrowseData item;
      item.setName(name);
      const std::string expected = nlohmann::ordered_json(name).dump(
          -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
      ASSERT_EQ("{\"name\":" + expected + "}", toJson(item)) << ::testing::PrintToString(name);
    }
  }
}

struct ErrorCase {
  const char* json;
  const char* path;
  const char* problem;  // a prefix of the reported problem
};

void expectError(const ErrorCase& c, BrowseRequest (*parse)(std::string_view)) {
  SCOPED_TRACE(c.json);
  try {
    parse(c.json);
    ADD_FAILURE() << "no error";
  } catch (const JsonError& e) {
    EXPECT_EQ(c.path, e.path());
    EXPECT_EQ(0u, e.problem().rfind(c.problem, 0)) << e.problem();
    EXPECT_EQ(e.path().empty() ? e.problem() : e.path() + ": " + e.problem(), e.what());
  }
}

TEST(RecordJsonTest, RequestErrorsSayWhatAndWhere) {
  const ErrorCase cases[] = {
      {R"([])", "", "expected an object, got an array"},
      {R"("x")", "", "expected an object, got a string"},
      {R"(12)", "", "expected an object, got a number"},
      {R"(null)", "", "expected an object, got null"},
      {R"({"bogus":1})", "", R"(unknown field "bogus")"},
      {R"({"Paths":[]})", "", R"(unknown field "Paths")"},
      {R"({"queries":[{},{"queryId":"a","query\nId":1}]})", "queries[1]",
       R"(unknown field "query\nId")"},
      {R"({"paths":{}})", "paths", "expected an array, got an object"},
      {R"({"paths":["x"]})", "paths[0]", "expected an object, got a string"},
      {R"({"paths":[{"path":"a"},{"path":1}]})", "paths[1].path",
       "expected a string, got a number"},
      {R"({"paths":[{"path":null}]})", "paths[0].path", "expected a string, got null"},
      {R"({"context":[]})", "context", "expected an object, got an array"},
      {R"({"context":{"sequence":1,"sequence":2}})", "context.sequence",
       "field given more than once"},
      {R"({"paths":[],"paths":[]})", "paths", "field given more than once"},
      {R"({"context":{"sequence":"1"}})", "context.sequence", "expected an integer, got a string"},
      {R"({"context":{"sequence":true}})", "context.sequence",
       "expected an integer, got a boolean"},
      {R"({"queries":[{"parameters":{"paging":{"limit":1.5}}}]})",
       "queries[0].parameters.paging.limit", "expected an integer, got a floating-point number"},
      {R"({"queries":[{"parameters":{"paging":{"limit":1e3}}}]})",
       "queries[0].parameters.paging.limit", "expected an integer, got a floating-point number"},
      {R"({"queries":[{"parameters":{"paging":{"limit":1.0}}}]})",
       "queries[0].parameters.paging.limit", "expected an integer, got a floating-point number"},
      {R"({"queries":[{"parameters":{"paging":{"offset":9223372036854775808}}}]})",
       "queries[0].parameters.paging.offset", "integer out of the signed 64-bit range"},
      {R"({"queries":[{"parameters":{"paging":{"offset":-9223372036854775809}}}]})",
       "queries[0].parameters.paging.offset", "integer out of the signed 64-bit range"},
      {R"({"queries":[{"parameters":{"paging":{"offset":100000000000000000000000}}}]})",
       "queries[0].parameters.paging.offset", "integer out of the signed 64-bit range"},
      {R"({"queries":[{"parameters":{"sort":{"fields":["ByName","byname"]}}}]})",
       "queries[0].parameters.sort.fields[1]", R"(unknown sort field "byname")"},
      {R"({"queries":[{"parameters":{"sort":{"fields":[2147483648]}}}]})",
       "queries[0].parameters.sort.fields[0]", "sort field out of the signed 32-bit range"},
      {R"({"queries":[{"parameters":{"sort":{"fields":[-2147483649]}}}]})",
       "queries[0].parameters.sort.fields[0]", "sort field out of the signed 32-bit range"},
      {R"({"queries":[{"parameters":{"sort":{"fields":[1.0]}}}]})",
       "queries[0].parameters.sort.fields[0]", "expected an integer, got a floating-point number"},
      {R"({"queries":[{"parameters":{"sort":{"fields":[[0]]}}}]})",
       "queries[0].parameters.sort.fields[0]",
       "expected a sort field (an integer or a field name), got an array"},
      {R"({"queries":[{"parameters":{"sort":{"fields":"ByName"}}}]})",
       "queries[0].parameters.sort.fields", "expected an array, got a string"},
      {R"({"queries":[{"aggregate":{"type":4,"kind":1}}]})", "queries[0].aggregate",
       R"(unknown field "kind")"},
      {R"({} {})", "", "unexpected content after the object"},
      {R"({}})", "", "unexpected content after the object"},
      {R"()", "", "invalid JSON"},
      {R"(   )", "", "invalid JSON"},
      {R"({"paths":[)", "", "invalid JSON"},
      {R"({"context":{"sequence":01}})", "context.sequence", "invalid JSON"},
      {R"({"context":{"sequence":-}})", "context.sequence", "invalid JSON"},
      {R"({"context":{"sessionId":"\ud800"}})", "context.sessionId", "invalid JSON"},
      {R"({"context":{"sessionId":"\x"}})", "context.sessionId", "invalid JSON"},
      {"{\"context\":{\"sessionId\":\"\xff\"}}", "", "invalid JSON"},
      {"{\"context\":{\"sessionId\":\"a\x01\"}}", "", "invalid JSON"},
  };
  for (const ErrorCase& c : cases) expectError(c, parseRequest);
}

TEST(RecordJsonTest, ItemAndResponseErrorsSayWhatAndWhere) {
  const ErrorCase items[] = {
      {R"({"flags":{"flag":"1"}})", "flags.flag", "expected an integer, got a string"},
      {R"({"flags":1})", "flags", "expected an object, got a number"},
      {R"({"name":["a"]})", "name", "expected a string, got an array"},
      {R"({"number":1,"Number":2})", "", R"(unknown field "Number")"},
  };
  for (const ErrorCase& c : items) {
    expectError(c, [](std::string_view json) {
      parseItem(json);
      return BrowseRequest();
    });
  }
  const ErrorCase responses[] = {
      {R"({"result":{"items":[{},{"name":5}]}})", "result.items[1].name",
       "expected a string, got a number"},
      {R"({"result":{"aggregates":[{"count":0.5}]}})", "result.aggregates[0].count",
       "expected an integer, got a floating-point number"},
  };
  for (const ErrorCase& c : responses) {
    expectError(c, [](std::string_view json) {
      parseResponse(json);
      return BrowseRequest();
    });
  }
}

TEST(RecordJsonTest, ReaderPrefixesPathsAndRecoversAfterAnError) {
  JsonReader reader;
  try {
    reader.request(R"({"paths":[1]})", "request");
    ADD_FAILURE() << "no error";
  } catch (const JsonError& e) {
    EXPECT_STREQ("request.paths[0]: expected an object, got a number", e.what());
  }
  try {
    reader.item("[]", "item");
    ADD_FAILURE() << "no error";
  } catch (const JsonError& e) {
    EXPECT_EQ("item", e.path());
  }
  EXPECT_EQ("ok", reader.item(R"({"name":"ok"})").name());
}

// A padded text is read in place and only up to its end, whatever follows.
TEST(RecordJsonTest, PaddedTextStopsAtItsEnd) {
  std::string buffer = R"({"name":"a","number":1})"
                       "\n"
                       R"({"name":"b"} trailing garbage)";
  const std::size_t firstLength = buffer.find('\n');
  const std::size_t secondStart = firstLength + 1;
  const std::size_t secondLength = buffer.find(' ', secondStart) - secondStart;
  buffer.append(kJsonPadding, 'x');
  JsonReader reader;
  BrowseData first = reader.item(PaddedJson{std::string_view(buffer.data(), firstLength)});
  EXPECT_EQ("a", first.name());
  EXPECT_EQ(1, first.number());
  BrowseData second =
      reader.item(PaddedJson{std::string_view(buffer.data() + secondStart, secondLength)});
  EXPECT_EQ("b", second.name());
  EXPECT_THROW(reader.item(PaddedJson{std::string_view(buffer.data(), firstLength - 1)}),
               JsonError);
}

// Records with every field set or left out at random, and texts that need
// escapes, multi-byte UTF-8 and, from hosts, invalid UTF-8.
class RandomRecords {
 public:
  explicit RandomRecords(std::uint64_t seed) : engine_(seed) {}

  BrowseRequest request() {
    BrowseRequest request;
    if (coin()) {
      auto& paths = request.paths(true);
      markSet(request, BrowseRequest::kPaths);
      for (int i = upTo(3); i > 0; --i) {
        BrowsePath& path = paths.emplace_back();
        if (coin()) path.setPath(text());
      }
    }
    if (coin()) {
      auto& queries = request.queries(true);
      markSet(request, BrowseRequest::kQueries);
      for (int i = upTo(3); i > 0; --i) query(queries.emplace_back());
    }
    if (coin()) context(request.context(true), request, BrowseRequest::kContext);
    return request;
  }

  std::vector<BrowseResponse> responses() {
    std::vector<BrowseResponse> responses(static_cast<std::size_t>(upTo(3)));
    for (BrowseResponse& response : responses) {
      if (coin()) response.setStatus(integer());
      if (coin()) context(response.context(true), response, BrowseResponse::kContext);
      if (coin()) {
        BrowseResult& result = response.result(true);
        markSet(response, BrowseResponse::kResult);
        if (coin()) result.setQueryId(text());
        if (coin()) {
          auto& items = result.items(true);
          markSet(result, BrowseResult::kItems);
          for (int i = upTo(4); i > 0; --i) item(items.emplace_back());
        }
        if (coin()) {
          auto& aggregates = result.aggregates(true);
          markSet(result, BrowseResult::kAggregates);
          for (int i = upTo(2); i > 0; --i) {
            AggregateResult& aggregate = aggregates.emplace_back();
            if (coin()) aggregate.setCount(integer());
          }
        }
      }
    }
    return responses;
  }

 private:
  bool coin() { return std::uniform_int_distribution<int>(0, 1)(engine_) == 1; }
  int upTo(int most) { return std::uniform_int_distribution<int>(0, most)(engine_); }

  long long integer() {
    switch (upTo(2)) {
      case 0:
        return upTo(20) - 10;
      case 1:
        return std::numeric_limits<long long>::min();
      default:
        return std::uniform_int_distribution<long long>()(engine_);
    }
  }

  std::string text() {
    static const char* const pieces[] = {"a",
                                         "Z",
                                         " ",
                                         "\"",
                                         "\\",
                                         "/",
                                         "\n",
                                         "\t",
                                         "\x01",
                                         "\x1f",
                                         "\x7f",
                                         "\xc3\xa9",
                                         "\xe6\x9d\xb1",
                                         "\xf0\x9f\x98\x80",
                                         "\xff",
                                         "\xc3",
                                         "\xed\xa0\x80"};
    std::string text;
    for (int i = upTo(6); i > 0; --i) text += pieces[upTo(std::size(pieces) - 1)];
    return text;
  }

  void context(BrowseContext& context, PKMessageBase& owner, FieldId id) {
    markSet(owner, id);
    if (coin()) context.setSessionId(text());
    if (coin()) context.setSequence(integer());
  }

  void query(Query& query) {
    if (coin()) query.setQueryId(text());
    if (coin()) {
      QueryParameters& parameters = query.parameters(true);
      markSet(query, Query::kParameters);
      if (coin()) {
        SortParameters& sort = parameters.sort(true);
        markSet(parameters, QueryParameters::kSort);
        if (coin()) {
          auto& fields = sort.fields(true);
          markSet(sort, SortParameters::kFields);
          const FilteredBrowseField known[] = {ByName, ByNumber, ByFlag,
                                               static_cast<FilteredBrowseField>(-7)};
          for (int i = upTo(3); i > 0; --i) fields.push_back(known[upTo(3)]);
        }
        if (coin()) sort.setDirection(integer());
      }
      if (coin()) {
        PagingParameters& paging = parameters.paging(true);
        markSet(parameters, QueryParameters::kPaging);
        if (coin()) paging.setOffset(integer());
        if (coin()) paging.setLimit(integer());
      }
    }
    if (coin()) {
      AggregateParameters& aggregate = query.aggregate(true);
      markSet(query, Query::kAggregate);
      if (coin()) aggregate.setType(integer());
    }
  }

  void item(BrowseData& item) {
    if (coin()) item.setName(text());
    if (coin()) item.setNumber(integer());
    if (coin()) {
      ItemFlags& flags = item.flags(true);
      markSet(item, BrowseData::kFlags);
      if (coin()) flags.setFlag(integer());
    }
  }

  std::mt19937_64 engine_;
};

// The writer lays text out as nlohmann::json does: compact, or indented by
// any number of spaces. The reference is nlohmann::json re-writing the
// compact text.
TEST(RecordJsonTest, LayoutMatchesNlohmannJsonForRandomRecords) {
  using Reference = nlohmann::ordered_json;
  const testsupport::TestSeed seed(173205);
  RandomRecords random(seed.value());
  for (int round = 0; round < 300; ++round) {
    const BrowseRequest request = random.request();
    const std::vector<BrowseResponse> responses = random.responses();
    for (const int indent : {-1, 0, 2, 4}) {
      const std::string requestText = toJson(request, indent);
      const std::string responsesText = toJson(responses, indent);
      ASSERT_EQ(Reference::parse(toJson(request)).dump(indent), requestText);
      ASSERT_EQ(Reference::parse(toJson(responses)).dump(indent), responsesText);
    }
    ASSERT_EQ(toJson(request), toJson(parseRequest(toJson(request))));
  }
}

// Memory that runs out while parsing is reported as std::bad_alloc, never as
// bad JSON nor by writing through a buffer that could not be had, and the
// reader parses correctly afterwards.
TEST(RecordJsonTest, FailedAllocationsThrowBadAllocAndTheReaderRecovers) {
  const std::string small = R"({"paths":[{"path":"/a"}],"queries":[{"queryId":"q",)"
                            R"("parameters":{"sort":{"fields":["ByName"]}}}]})";
  // Long enough to make a reader that parsed `small` grow its parser.
  const std::string large =
      R"({"paths":[{"path":")" + std::string(20000, 'p') + R"("}],"context":{"sessionId":"s"}})";
  for (const bool primed : {false, true}) {
    const std::string& text = primed ? large : small;
    const BrowseRequest expected = parseRequest(text);
    bool reached = true;
    for (unsigned long k = 1; reached; ++k) {
      SCOPED_TRACE((primed ? "grown reader, allocation " : "new reader, allocation ") +
                   std::to_string(k));
      JsonReader reader;
      if (primed) reader.request(small);
      bool failed = false;
      {
        const testsupport::AllocationFailure failing(k);
        try {
          reader.request(text);
        } catch (const std::bad_alloc&) {
          failed = true;
        } catch (const JsonError& e) {
          ADD_FAILURE() << "reported as bad JSON: " << e.what();
        }
        reached = failing.happened();
      }
      EXPECT_EQ(reached, failed);
      EXPECT_EQ(expected, reader.request(text));
    }
  }
}

#if defined(__x86_64__)
TEST(RecordJsonTest, ParsingUsesTheBestKernelOfThisCpu) {
  const std::string& kernel = jsonKernel();
  if (__builtin_cpu_supports("avx2")) {
    EXPECT_TRUE(kernel == "haswell" || kernel == "icelake") << kernel;
  } else {
    EXPECT_NE("unsupported", kernel);
  }
}
#endif

TEST(RecordJsonTest, PrettyOutputHoldsTheSameResponses) {
  std::vector<BrowseResponse> responses(2);
  responses[0].setStatus(0);
  responses[0].result(true).items(true).emplace_back().setName("n");
  responses[1].result(true).aggregates(true).emplace_back().setCount(3);
  const std::string compact = toJson(responses);
  EXPECT_EQ(R"([{"status":0,"result":{"items":[{"name":"n"}]}},)"
            R"({"result":{"aggregates":[{"count":3}]}}])",
            compact);
  const std::string pretty = toJson(responses, 2);
  EXPECT_NE(std::string::npos, pretty.find("\n    \"result\": {"));
  EXPECT_EQ("[]", toJson(std::vector<BrowseResponse>()));
}

}  // namespace
}  // namespace databrowse
