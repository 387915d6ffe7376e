// The JSON form of the browse records: round trips, presence, errors.
#include "databrowse/RecordJson.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

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
