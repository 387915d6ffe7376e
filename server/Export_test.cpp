// GET /v1/export: its query parameters, its CSV and JSON Lines rows, and
// whole exports through the request handler compared with `browse query`,
// over several pages, with a client that goes away and a file that changes,
// and over HTTP from the real server.
#include "Export.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "ApiError.h"
#include "RequestHandler.h"
#include "testing/DataDirectory.h"
#include "testing/Process.h"

namespace browse::serve {
namespace {

using Json = nlohmann::json;
using Query = std::vector<std::pair<std::string_view, std::string_view>>;

databrowse::BrowseData item(const std::string& name, long long number, long long flag) {
  databrowse::BrowseData data;
  data.setName(name);
  data.setNumber(number);
  data.setFlagValue(flag);
  return data;
}

std::string csvRow(const databrowse::BrowseData& data) {
  std::string row;
  appendExportRow(row, ExportFormat::kCsv, data);
  return row;
}

TEST(ExportRowTest, CsvQuotesWhatRfc4180AsksAndDisarmsFormulas) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain name", "plain name,-12,3\r\n"},
      {"a,b", "\"a,b\",-12,3\r\n"},
      {"say \"hi\"", "\"say \"\"hi\"\"\",-12,3\r\n"},
      {"two\nlines", "\"two\nlines\",-12,3\r\n"},
      {"cr\rhere", "\"cr\rhere\",-12,3\r\n"},
      {"=1+2", "'=1+2,-12,3\r\n"},
      {"+1", "'+1,-12,3\r\n"},
      {"-1", "'-1,-12,3\r\n"},
      {"@SUM(A1)", "'@SUM(A1),-12,3\r\n"},
      {"\tindented", "'\tindented,-12,3\r\n"},
      {"\rreturn", "\"'\rreturn\",-12,3\r\n"},
      {"=HYPERLINK(\"x\",\"y\")", "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\",-12,3\r\n"},
      {"a=b", "a=b,-12,3\r\n"},
      {"", ",-12,3\r\n"},
      {"Ångström", "Ångström,-12,3\r\n"},
  };
  for (const auto& [name, row] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(row, csvRow(item(name, -12, 3)));
  }
  EXPECT_EQ("name,number,flag\r\n", exportHeader(ExportFormat::kCsv));
  EXPECT_EQ("x,9223372036854775807,0\r\n", csvRow(item("x", INT64_MAX, 0)));
}

TEST(ExportRowTest, JsonLinesHoldOneItemALineAsDataSetFilesDo) {
  std::string lines;
  appendExportRow(lines, ExportFormat::kJsonLines, item("two\nlines \"q\"", 7, 1));
  appendExportRow(lines, ExportFormat::kJsonLines, item("x", -1, 0));
  EXPECT_EQ(
      "{\"name\":\"two\\nlines \\\"q\\\"\",\"number\":7,\"flags\":{\"flag\":1}}\n"
      "{\"name\":\"x\",\"number\":-1,\"flags\":{\"flag\":0}}\n",
      lines);
  EXPECT_EQ("", exportHeader(ExportFormat::kJsonLines));
}

TEST(ExportRequestTest, ParametersNameTheDataSetOrderAndFormat) {
  ExportRequest request = parseExportRequest({{"dataset", "/a/b"}});
  EXPECT_EQ("/a/b", request.dataSet);
  EXPECT_TRUE(request.fields.empty());
  EXPECT_FALSE(request.descending);
  EXPECT_EQ(ExportFormat::kCsv, request.format);
  EXPECT_EQ("a-b.csv", exportFileName(request));

  request = parseExportRequest({{"dataset", "/music/2024"},
                                {"direction", "desc"},
                                {"fields", "ByFlag,ByName,ByNumber"},
                                {"format", "jsonl"}});
  EXPECT_EQ((std::vector{databrowse::ByFlag, databrowse::ByName, databrowse::ByNumber}),
            request.fields);
  EXPECT_TRUE(request.descending);
  EXPECT_EQ(ExportFormat::kJsonLines, request.format);
  EXPECT_EQ("music-2024.jsonl", exportFileName(request));
  EXPECT_EQ("we_ird_x.jsonl", exportFileName({"/we\"ird;x", {}, false, ExportFormat::kJsonLines}));

  databrowse::BrowseRequest page = exportPageRequest(request, 4096, 2048);
  databrowse::QueryParameters& parameters = page.queries(true).at(0).parameters(true);
  EXPECT_EQ("/music/2024", page.paths(true).at(0).path());
  EXPECT_EQ(request.fields, parameters.sort(true).fields(true));
  EXPECT_EQ(1, parameters.sort(true).direction());
  EXPECT_EQ(4096, parameters.paging(true).offset());
  EXPECT_EQ(2048, parameters.paging(true).limit());
}

TEST(ExportRequestTest, BadParametersAreRefusedNamingThem) {
  const std::string seventeen = [] {
    std::string list = "ByName";
    for (int i = 0; i < 16; ++i) list += ",ByName";
    return list;
  }();
  const std::pair<Query, std::string> cases[] = {
      {{}, "dataset names no data set"},
      {{{"dataset", ""}}, "dataset names no data set"},
      {{{"dataset", "/a"}, {"dataset", "/b"}}, "\"dataset\" is repeated"},
      {{{"dataset", "/a"}, {"sort", "ByName"}}, "unknown query parameter \"sort\""},
      {{{"dataset", "/a"}, {"fields", "ByName,ByColour"}}, "unknown sort field \"ByColour\""},
      {{{"dataset", "/a"}, {"fields", "ByName,"}}, "unknown sort field \"\""},
      {{{"dataset", "/a"}, {"fields", seventeen}}, "more than 16 sort fields"},
      {{{"dataset", "/a"}, {"direction", "up"}}, "direction is \"up\"; use asc or desc"},
      {{{"dataset", "/a"}, {"format", "xlsx"}}, "format is \"xlsx\"; use csv or jsonl"},
  };
  for (const auto& [query, message] : cases) {
    SCOPED_TRACE(message);
    try {
      parseExportRequest(query);
      ADD_FAILURE() << "accepted";
    } catch (const ApiError& e) {
      EXPECT_EQ(400, e.status());
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

class ExportThroughHandlerTest : public ::testing::Test {
 protected:
  // More than two pages, the last one short.
  static constexpr std::size_t kItems = 2 * kExportPageItems + 123;

  ExportThroughHandlerTest() { data_.writeItems("/items", kItems, 3); }

  HttpAnswer exportOf(const Query& query) {
    return handler_.handle({.method = "GET", .path = "/v1/export", .body = "", .query = query});
  }

  // The whole body of a streamed answer, and the number of pieces.
  static std::pair<std::string, std::size_t> drain(const HttpAnswer& answer) {
    std::string body;
    std::size_t pieces = 0;
    answer.stream([&](std::string_view piece) {
      body += piece;
      ++pieces;
      return true;
    });
    return {body, pieces};
  }

  // The items in the order `browse query` gives for the fields and direction.
  Json browseQueryItems(const std::string& fields, int direction) {
    const std::string request =
        testing::pageRequest("/items", 0, static_cast<long long>(kItems), fields, direction);
    const std::filesystem::path requestFile = data_.outside() / "request.json";
    std::ofstream(requestFile, std::ios::binary) << request;
    const testing::Finished printed =
        testing::run({BROWSE_BINARY, "query", "--items", (data_.path() / "items.jsonl").string(),
                      "--request", requestFile.string()},
                     data_.outside());
    EXPECT_EQ(0, printed.status) << printed.err;
    return Json::parse(printed.out).at(0).at("result").at("items");
  }

  testing::DataDirectory data_;
  ServeOptions options_;
  DataSetCatalog catalog_{data_.path().string()};
  Metrics metrics_;
  ConsumerPool pool_{{std::size_t{1} << 30, std::chrono::minutes(10)}, metrics_};
  RequestHandler handler_{options_, catalog_, pool_, metrics_};
};

TEST_F(ExportThroughHandlerTest, AnExportHoldsEveryItemInTheOrderBrowseQueryGives) {
  const Json expected = browseQueryItems(R"(["ByName","ByNumber"])", 1);
  ASSERT_EQ(kItems, expected.size());

  const HttpAnswer jsonLines = exportOf({{"dataset", "/items"},
                                         {"fields", "ByName,ByNumber"},
                                         {"direction", "desc"},
                                         {"format", "jsonl"}});
  ASSERT_EQ(200, jsonLines.status) << jsonLines.body;
  ASSERT_TRUE(jsonLines.stream);
  EXPECT_EQ("application/x-ndjson", jsonLines.contentType);
  const auto [body, pieces] = drain(jsonLines);
  EXPECT_EQ(3u, pieces) << "one piece a page";
  Json exported = Json::array();
  std::istringstream lines(body);
  for (std::string line; std::getline(lines, line);) exported.push_back(Json::parse(line));
  EXPECT_EQ(expected, exported);

  const HttpAnswer csv =
      exportOf({{"dataset", "/items"}, {"fields", "ByName,ByNumber"}, {"direction", "desc"}});
  ASSERT_EQ(200, csv.status);
  EXPECT_EQ("text/csv; charset=utf-8", csv.contentType);
  std::string expectedCsv = "name,number,flag\r\n";
  for (const Json& row : expected) {
    const std::string name = row.value("name", "");
    // Generated names need neither quotes nor the formula guard.
    ASSERT_EQ(std::string::npos, name.find_first_of("\",\r\n")) << name;
    ASSERT_TRUE(name.empty() || std::string_view("=+-@\t").find(name[0]) == std::string::npos);
    expectedCsv += name + "," + std::to_string(row.value("number", 0LL)) + "," +
                   std::to_string(row.value("/flags/flag"_json_pointer, 0LL)) + "\r\n";
  }
  EXPECT_EQ(expectedCsv, drain(csv).first);
  EXPECT_EQ(1u, metrics_.collections()) << "both exports read the one pooled consumer";
}

TEST_F(ExportThroughHandlerTest, TheConsumerServesOthersBetweenPagesAndAGoneClientStopsIt) {
  const HttpAnswer answer = exportOf({{"dataset", "/items"}, {"fields", "ByNumber"}});
  ASSERT_EQ(200, answer.status);
  std::size_t pieces = 0;
  answer.stream([&](std::string_view) {
    // A browse request of the same key, while the client receives a page.
    auto browsed = std::async(std::launch::async, [&] {
      return handler_.handle({.method = "POST",
                              .path = "/v1/browse",
                              .body = testing::pageRequest("/items", 0, 10, R"(["ByNumber"])")});
    });
    if (browsed.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
      std::fprintf(stderr, "the export holds the consumer while the client reads\n");
      std::abort();
    }
    EXPECT_EQ(200, browsed.get().status);
    ++pieces;
    return false;  // the client went away
  });
  EXPECT_EQ(1u, pieces);
}

TEST_F(ExportThroughHandlerTest, ADataSetThatChangesDuringTheExportEndsItWithAnError) {
  const HttpAnswer answer = exportOf({{"dataset", "/items"}, {"format", "jsonl"}});
  ASSERT_EQ(200, answer.status);
  bool first = true;
  EXPECT_THROW(answer.stream([&](std::string_view) {
    if (first) data_.writeItems("/items", kItems + 1, 4);
    first = false;
    return true;
  }),
               std::runtime_error);
}

TEST_F(ExportThroughHandlerTest, FailuresBeforeTheFirstRowHaveTheirStatus) {
  EXPECT_EQ(404, exportOf({{"dataset", "/missing"}}).status);
  EXPECT_EQ(400, exportOf({{"dataset", "/items"}, {"fields", "ByColour"}}).status);
  EXPECT_EQ(400, exportOf({{"dataset", "/../items"}}).status);
  const HttpAnswer refused = handler_.handle({.method = "POST", .path = "/v1/export", .body = ""});
  EXPECT_EQ(405, refused.status);
  for (const HttpAnswer& answer : {exportOf({{"dataset", "/missing"}}), refused}) {
    EXPECT_FALSE(answer.stream);
    EXPECT_EQ("application/json; charset=utf-8", answer.contentType);
  }
  data_.writeItems("/empty", 0);
  const HttpAnswer empty = exportOf({{"dataset", "/empty"}});
  ASSERT_EQ(200, empty.status);
  EXPECT_EQ("name,number,flag\r\n", drain(empty).first);
}

TEST_F(ExportThroughHandlerTest, OverHttpTheExportIsChunkedAndAClientMayLeaveMidway) {
  testing::ServerProcess server(BROWSE_BINARY, data_.outside(), {"--data", data_.path().string()});
  ASSERT_NE(0, server.port()) << server.err();
  httplib::Client client("127.0.0.1", server.port());
  std::string body;
  const auto whole = client.Get("/v1/export?dataset=/items&fields=ByNumber&format=jsonl",
                                [&](const char* data, std::size_t size) {
                                  body.append(data, size);
                                  return true;
                                });
  ASSERT_TRUE(whole);
  EXPECT_EQ(200, whole->status);
  EXPECT_EQ("chunked", whole->get_header_value("Transfer-Encoding"));
  EXPECT_EQ(kItems, static_cast<std::size_t>(std::count(body.begin(), body.end(), '\n')));
  // The log line, written after the answer, counts the streamed bytes.
  const std::string logged = " GET /v1/export 200 " + std::to_string(body.size()) + " ";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.err().find(logged) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_NE(std::string::npos, server.err().find(logged)) << server.err();

  std::size_t received = 0;
  httplib::Client leaving("127.0.0.1", server.port());
  const auto cut = leaving.Get("/v1/export?dataset=/items", [&](const char*, std::size_t size) {
    received += size;
    return false;
  });
  EXPECT_FALSE(cut);
  EXPECT_GT(received, 0u);
  EXPECT_EQ(200, httplib::Client("127.0.0.1", server.port()).Get("/healthz")->status);
  EXPECT_EQ(0, server.stop());
}

}  // namespace
}  // namespace browse::serve
