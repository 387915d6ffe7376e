// The handler's answers without sockets: browse answers byte for byte as
// `browse query` prints them, the error statuses and messages, the limits of
// one answer and the headers of every answer.
#include "RequestHandler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "FailingAllocator.h"
#include "testing/DataDirectory.h"
#include "testing/Process.h"

namespace browse::serve {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing::pageRequest;

// The bounds that the handler's tests run under.
ServeOptions handlerOptions() {
  ServeOptions options;
  options.maxBody = 64 * 1024;
  options.maxAnswerItems = 1000;
  return options;
}

class RequestHandlerTest : public ::testing::Test {
 protected:
  RequestHandlerTest() {
    data_.writeItems("/items", kItems, 11);
    data_.write("broken.jsonl", "{\"name\":\"ok\"}\n\n{\"name\":5}\n");
  }

  HttpAnswer handle(std::string_view method, std::string_view path, std::string_view body = "") {
    return handler_.handle({method, path, body});
  }
  HttpAnswer browse(const std::string& body) { return handle("POST", "/v1/browse", body); }
  HttpAnswer browse(const std::string& body,
                    std::vector<std::pair<std::string_view, std::string_view>> query) {
    return handler_.handle({"POST", "/v1/browse", body, {}, std::move(query)});
  }

  // What `browse query` prints for the data set's file and `request`, and
  // its stderr.
  testing::Finished browseQuery(const std::string& dataSet, const std::string& request) {
    const fs::path requestFile = data_.outside() / "request.json";
    std::ofstream(requestFile, std::ios::binary) << request;
    return testing::run({BROWSE_BINARY, "query", "--items",
                         (data_.path() / (dataSet.substr(1) + ".jsonl")).string(), "--request",
                         requestFile.string()},
                        data_.outside());
  }

  static std::string header(const HttpAnswer& answer, const std::string& name) {
    for (const auto& [key, value] : answer.headers) {
      if (key == name) return value;
    }
    return "";
  }

  // The error's code, after checking the error body's form.
  static std::string errorCode(const HttpAnswer& answer) {
    EXPECT_EQ("application/json; charset=utf-8", answer.contentType);
    const Json body = Json::parse(answer.body);
    EXPECT_EQ(2u, body.size()) << answer.body;
    EXPECT_TRUE(body.at("message").is_string());
    return body.at("error").get<std::string>();
  }

  static std::string message(const HttpAnswer& answer) {
    return Json::parse(answer.body).at("message").get<std::string>();
  }

  static constexpr std::size_t kItems = 3000;
  testing::DataDirectory data_;
  ServeOptions options_ = handlerOptions();
  DataSetCatalog catalog_{data_.path().string()};
  Metrics metrics_;
  ConsumerPool pool_{{std::size_t{1} << 30, std::chrono::minutes(10)}, metrics_};
  RequestHandler handler_{options_, catalog_, pool_, metrics_};
};

TEST_F(RequestHandlerTest, BrowseAnswersAreWhatBrowseQueryPrints) {
  std::mt19937 engine(5);
  const char* fields[] = {R"(["ByName","ByNumber"])", R"(["ByNumber"])", R"(["ByFlag","ByName"])",
                          "[]"};
  for (int i = 0; i < 12; ++i) {
    const long long offset = std::uniform_int_distribution<long long>(-5, kItems + 10)(engine);
    const long long limit = std::uniform_int_distribution<long long>(0, 200)(engine);
    const std::string request =
        pageRequest("/items", offset, limit, fields[i % 4], static_cast<int>(engine() % 2));
    SCOPED_TRACE(request);
    const HttpAnswer answer = browse(request);
    ASSERT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ("application/json; charset=utf-8", answer.contentType);
    const testing::Finished expected = browseQuery("/items", request);
    ASSERT_EQ(0, expected.status) << expected.err;
    EXPECT_EQ(expected.out, answer.body);
  }
  EXPECT_EQ(4u, metrics_.collections()) << "one collection per sort field list";
  EXPECT_EQ(8u, metrics_.cacheHits());
}

TEST_F(RequestHandlerTest, TheExampleRequestIsAnsweredAsBrowseQueryAnswersIt) {
  data_.write("projects/alpha/documents.jsonl",
              testing::readText(fs::path(BROWSE_EXAMPLES_DIR) / "items.jsonl"));
  const std::string request = testing::readText(fs::path(BROWSE_EXAMPLES_DIR) / "request.json");
  const HttpAnswer answer = browse(request);
  EXPECT_EQ(200, answer.status);
  EXPECT_EQ(browseQuery("/projects/alpha/documents", request).out, answer.body);
}

TEST_F(RequestHandlerTest, ABadRequestGetsTheMessageThatBrowseQueryGives) {
  for (
      const std::string request :
      {"{", R"({"paths":5})", R"({"queries":[{"parameters":{"paging":{"limit":1.5}}}]})",
       R"({"paths":[{"path":"/items"}],"unknown":1})", "[]", "",
       R"({"paths":[{"path":"/items"}],"queries":[{"parameters":{"sort":{"fields":["ByColour"]}}}]})"}) {
    SCOPED_TRACE(request);
    const HttpAnswer answer = browse(request);
    EXPECT_EQ(400, answer.status);
    EXPECT_EQ("bad_request", errorCode(answer));
    const testing::Finished expected = browseQuery("/items", request);
    EXPECT_EQ(2, expected.status);
    const std::string prefix = "browse: " + (data_.outside() / "request.json").string() + ": ";
    ASSERT_EQ(0u, expected.err.rfind(prefix, 0)) << expected.err;
    EXPECT_EQ(expected.err.substr(prefix.size()), message(answer) + "\n");
  }
}

TEST_F(RequestHandlerTest, ErrorsHaveTheirStatusAndSayWhatIsWrong) {
  const HttpAnswer missing = browse(pageRequest("/nothing/here", 0, 10));
  EXPECT_EQ(404, missing.status);
  EXPECT_EQ("not_found", errorCode(missing));
  EXPECT_EQ("no data set /nothing/here", message(missing));

  const HttpAnswer noPath = browse(R"({"queries":[]})");
  EXPECT_EQ(400, noPath.status);
  EXPECT_EQ("the request names no data set in paths[0].path", message(noPath));
  const HttpAnswer dots = browse(pageRequest("/../items", 0, 10));
  EXPECT_EQ(400, dots.status);
  EXPECT_EQ("bad_request", errorCode(dots));

  const HttpAnswer unknown = handle("GET", "/v2/browse");
  EXPECT_EQ(404, unknown.status);
  EXPECT_EQ("no endpoint /v2/browse", message(unknown));
  const HttpAnswer wrongMethod = handle("GET", "/v1/browse");
  EXPECT_EQ(405, wrongMethod.status);
  EXPECT_EQ("method_not_allowed", errorCode(wrongMethod));
  EXPECT_EQ("POST", header(wrongMethod, "Allow"));
  EXPECT_EQ(405, handle("POST", "/healthz").status);

  const HttpAnswer large = browse(std::string(64 * 1024 + 1, ' '));
  EXPECT_EQ(413, large.status);
  EXPECT_EQ("the request body is larger than 65536 bytes (--max-body)", message(large));

  const HttpAnswer broken = browse(pageRequest("/broken", 0, 10));
  EXPECT_EQ(500, broken.status) << "a broken data set is the server's fault";
  EXPECT_EQ("bad_data_set", errorCode(broken));
  EXPECT_EQ("data set /broken:3: name: expected a string, got a number", message(broken));
}

TEST_F(RequestHandlerTest, TheDataSetParameterMustNameTheBodysDataSet) {
  const std::string request = pageRequest("/items", 10, 5, R"(["ByName"])");
  const HttpAnswer plain = browse(request);
  ASSERT_EQ(200, plain.status) << plain.body;
  const HttpAnswer named = browse(request, {{"dataset", "/items"}});
  EXPECT_EQ(200, named.status) << named.body;
  EXPECT_EQ(plain.body, named.body);
  EXPECT_EQ(200, browse(request, {{"cachebust", "7"}}).status) << "other parameters are ignored";

  const HttpAnswer other = browse(request, {{"dataset", "/broken"}});
  EXPECT_EQ(400, other.status);
  EXPECT_EQ("bad_request", errorCode(other));
  EXPECT_EQ(
      "the query parameter dataset \"/broken\" differs from paths[0].path \"/items\"; they must "
      "name the same data set",
      message(other));
  EXPECT_EQ(400, browse(request, {{"dataset", ""}}).status);
  EXPECT_EQ(400, browse(request, {{"dataset", "/items/"}}).status);
  const HttpAnswer repeated = browse(request, {{"dataset", "/items"}, {"dataset", "/items"}});
  EXPECT_EQ(400, repeated.status);
  EXPECT_EQ("the query parameter dataset is repeated", message(repeated));

  // Refused before the data set is opened: a request routed by the wrong
  // name collects nothing, and an unknown data set is not a 404.
  const HttpAnswer missing = browse(pageRequest("/nothing", 0, 5), {{"dataset", "/items"}});
  EXPECT_EQ(400, missing.status);
  EXPECT_EQ(1u, metrics_.collections());
  EXPECT_EQ(0u, metrics_.collections("/broken"));
  EXPECT_EQ(0u, metrics_.collections("/nothing"));
}

TEST_F(RequestHandlerTest, AnAnswerHoldsAtMostTheCapOfItemsOverAllQueries) {
  // A limit past the end counts only the items that are left.
  EXPECT_EQ(200, browse(pageRequest("/items", kItems - 10, std::int64_t{1} << 62)).status);
  EXPECT_EQ(200, browse(pageRequest("/items", 0, 1000)).status);
  EXPECT_EQ(200, browse(pageRequest("/items", kItems + 5, 1000000)).status);

  const HttpAnswer tooMany = browse(pageRequest("/items", 0, 1001));
  EXPECT_EQ(400, tooMany.status);
  EXPECT_EQ("answer_too_large", errorCode(tooMany));
  EXPECT_EQ(
      "the answer would hold 1001 items, over the cap of 1000 items of one answer "
      "(--max-answer-items); ask for smaller pages",
      message(tooMany));

  // Thirty queries of a huge limit each: a small request must not buy a
  // huge answer.
  std::string queries;
  for (int i = 0; i < 30; ++i) {
    queries +=
        std::string(i ? "," : "") +
        R"({"parameters":{"sort":{"fields":["ByName"]},"paging":{"offset":0,"limit":1000000}}})";
  }
  const HttpAnswer thirty = browse(R"({"paths":[{"path":"/items"}],"queries":[)" + queries + "]}");
  EXPECT_EQ(400, thirty.status);
  EXPECT_NE(std::string::npos, message(thirty).find("would hold 90000 items"));
}

// The item count that a collection expects is estimated from the file's
// first block: a data set whose first lines are short must not be refused
// (or held at several times its size) for room its items never take.
TEST_F(RequestHandlerTest, ADataSetThatFitsIsServedWhateverTheOrderOfItsLines) {
  std::string shortLines;
  std::string longLines;
  for (int i = 0; i < 12000; ++i) {
    shortLines +=
        R"({"name":"s)" + std::to_string(100000 + i) + R"(","number":)" + std::to_string(i) + "}\n";
  }
  for (int i = 0; i < 150; ++i) {
    longLines += R"({"name":"L)" + std::to_string(1000 + i) + std::string(20000, 'x') +
                 R"(","number":)" + std::to_string(i) + "}\n";
  }
  data_.write("longfirst.jsonl", longLines + shortLines);
  data_.write("shortfirst.jsonl", shortLines + longLines);

  ServeOptions options = options_;
  const auto statusWithBudget = [&](const std::string& dataSet, std::size_t budget,
                                    std::size_t* held) {
    Metrics metrics;
    ConsumerPool pool({budget, std::chrono::minutes(10)}, metrics);
    const RequestHandler handler(options, catalog_, pool, metrics);
    const HttpAnswer answer =
        handler.handle({"POST", "/v1/browse", pageRequest(dataSet, 0, 10, "[]")});
    if (held != nullptr) *held = pool.memoryBytes();
    return answer.status;
  };

  std::size_t longFirstBytes = 0;
  std::size_t shortFirstBytes = 0;
  ASSERT_EQ(200, statusWithBudget("/longfirst", std::size_t{1} << 30, &longFirstBytes));
  ASSERT_EQ(200, statusWithBudget("/shortfirst", std::size_t{1} << 30, &shortFirstBytes));
  EXPECT_LE(shortFirstBytes, longFirstBytes + longFirstBytes / 2)
      << "the same items held at " << shortFirstBytes << " bytes against " << longFirstBytes;

  // Twice what the items take: both orders fit.
  const std::size_t budget = 2 * longFirstBytes;
  EXPECT_EQ(200, statusWithBudget("/longfirst", budget, nullptr));
  EXPECT_EQ(200, statusWithBudget("/shortfirst", budget, nullptr))
      << "refused with a budget of " << budget << " bytes, twice what the items take";
}

TEST_F(RequestHandlerTest, ManyQueriesAndARepeatedContextAreBounded) {
  std::string counts;
  for (int i = 0; i < 2000; ++i)
    counts += std::string(i ? "," : "") + R"({"aggregate":{"type":4}})";
  const HttpAnswer many = browse(R"({"paths":[{"path":"/items"}],"queries":[)" + counts + "]}");
  ASSERT_EQ(200, many.status);
  EXPECT_EQ(2000u, Json::parse(many.body).size());

  // Each response repeats the context: 30 KB of it times 1000 responses
  // would be 30 MB.
  std::string thousand;
  for (int i = 0; i < 1000; ++i)
    thousand += std::string(i ? "," : "") + R"({"aggregate":{"type":4}})";
  const std::string context = R"(,"context":{"sessionId":")" + std::string(30000, 'x') + "\"}";
  const HttpAnswer repeated =
      browse(R"({"paths":[{"path":"/items"}],"queries":[)" + thousand + "]" + context + "}");
  EXPECT_EQ(400, repeated.status);
  EXPECT_EQ("answer_too_large", errorCode(repeated));

  std::string fields;
  for (int i = 0; i < 17; ++i) fields += std::string(i ? "," : "") + "\"ByName\"";
  const HttpAnswer keys = browse(pageRequest("/items", 0, 10, "[" + fields + "]"));
  EXPECT_EQ(400, keys.status);
  EXPECT_EQ("the first query has 17 sort fields, more than 16", message(keys));
}

TEST_F(RequestHandlerTest, EveryAnswerCarriesTheSafetyHeadersAndNoCorsUnlessAsked) {
  for (const HttpAnswer& answer :
       {browse(pageRequest("/items", 0, 5)), browse("{"), handle("GET", "/healthz"),
        handle("GET", "/nowhere"), handle("OPTIONS", "/v1/browse")}) {
    EXPECT_EQ("nosniff", header(answer, "X-Content-Type-Options"));
    EXPECT_EQ("no-store", header(answer, "Cache-Control"));
    EXPECT_EQ("", header(answer, "Access-Control-Allow-Origin"));
  }
  EXPECT_EQ(405, handle("OPTIONS", "/v1/browse").status);

  ServeOptions cors = options_;
  cors.allowOrigin = "https://browse.example";
  const RequestHandler handler(cors, catalog_, pool_, metrics_);
  const HttpAnswer preflight = handler.handle({"OPTIONS", "/v1/browse", ""});
  EXPECT_EQ(204, preflight.status);
  EXPECT_EQ("https://browse.example", header(preflight, "Access-Control-Allow-Origin"));
  EXPECT_EQ("GET, POST, OPTIONS", header(preflight, "Access-Control-Allow-Methods"));
  EXPECT_EQ("https://browse.example",
            header(handler.handle({"GET", "/healthz", ""}), "Access-Control-Allow-Origin"));
}

TEST_F(RequestHandlerTest, DataSetsHealthAndMetricsDescribeTheService) {
  const Json before = Json::parse(handle("GET", "/v1/datasets").body);
  ASSERT_EQ(2u, before.at("datasets").size());
  EXPECT_EQ("/broken", before["datasets"][0]["path"]);
  EXPECT_TRUE(before["datasets"][1]["items"].is_null()) << "not known before a collection";
  EXPECT_EQ(fs::file_size(data_.path() / "items.jsonl"), before["datasets"][1]["bytes"]);
  ASSERT_EQ(200, browse(pageRequest("/items", 0, 5)).status);
  const Json after = Json::parse(handle("HEAD", "/v1/datasets").body);
  EXPECT_EQ(kItems, after["datasets"][1]["items"]);

  EXPECT_EQ(R"({"status":"ok"})", handle("GET", "/healthz").body);
  const HttpAnswer metrics = handle("GET", "/metrics");
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", metrics.contentType);
  for (const char* series :
       {"browse_cache_collections_total 1",
        "browse_dataset_collections_total{dataset=\"/items\"} 1", "browse_cache_live 1",
        "browse_cache_hits_total 0", "browse_cache_evictions_total{reason=\"memory\"} 0",
        "browse_connections_open 0"}) {
    EXPECT_NE(std::string::npos, metrics.body.find(series)) << series << "\n" << metrics.body;
  }
}

TEST_F(RequestHandlerTest, EveryListedDataSetIsFoundUnderItsListedPath) {
  // A file name that is not UTF-8 ("caf" and Latin-1 e-acute) beside one that is.
  data_.write("caf\xe9.jsonl", "{\"name\":\"latin-1\",\"number\":1}\n");
  data_.write("caf\xc3\xa9.jsonl", "{\"name\":\"utf-8\",\"number\":2}\n");
  const Json listed = Json::parse(handle("GET", "/v1/datasets").body);
  // A request names its data set in JSON, so a name that is not UTF-8 is
  // not listed.
  ASSERT_EQ(3u, listed.at("datasets").size()) << listed;
  EXPECT_EQ("/caf\xc3\xa9", listed["datasets"][1].at("path").get<std::string>()) << listed;
  for (const Json& dataSet : listed["datasets"]) {
    const std::string path = dataSet.at("path").get<std::string>();
    SCOPED_TRACE(path);
    const HttpAnswer answer = browse(pageRequest(path, 0, 5));
    EXPECT_NE(404, answer.status) << "listed, but no data set under the listed path: "
                                  << answer.body;
  }
}

// Every allocation of a request fails in turn: the request ends in its
// correct answer or a 503, and the service it ran in is left sound, so that
// the next request gets exactly the correct answer, the pool keeps no entry
// nor bytes for nothing, and nothing leaks.
class RequestUnderMemoryShortageTest : public ::testing::Test {
 protected:
  RequestUnderMemoryShortageTest() {
    data_.writeItems("/small", 150, 7);
    data_.writeItems("/large", kExportPageItems + 300, 9);
  }

  struct Request {
    std::string method;
    std::string path;
    std::string body;
    std::vector<std::pair<std::string, std::string>> query;
  };

  // The status and the whole body, streamed or not; `streamFailed` when the
  // stream threw.
  struct Outcome {
    int status = 0;
    std::string body;
    bool streamFailed = false;
  };

  // One service: its metrics, pool and handler, with a clock the test moves.
  struct Service {
    explicit Service(const ServeOptions& options, const DataSetCatalog& catalog)
        : handler(options, catalog, pool, metrics) {}
    std::chrono::steady_clock::time_point now{};
    Metrics metrics;
    ConsumerPool pool{
        {std::size_t{1} << 30, std::chrono::minutes(10)}, metrics, [this] { return now; }};
    RequestHandler handler;
  };

  // Made before a failure is asked for, so that only the service allocates
  // under it.
  static HttpRequest httpRequest(const Request& request) {
    return {request.method,
            request.path,
            request.body,
            {},
            {request.query.begin(), request.query.end()}};
  }

  // Allocates nothing but what the service allocates when `outcome.body`
  // has room for a streamed body.
  static void run(Service& service, const HttpRequest& request, Outcome& outcome) {
    HttpAnswer answer = service.handler.handle(request);
    outcome.status = answer.status;
    outcome.body = std::move(answer.body);
    if (!answer.stream) return;
    try {
      answer.stream([&](std::string_view piece) {
        outcome.body += piece;
        return true;
      });
    } catch (...) {
      outcome.streamFailed = true;
    }
  }

  static Outcome run(Service& service, const HttpRequest& request) {
    Outcome outcome;
    run(service, request, outcome);
    return outcome;
  }

  static Request browse(long long offset, long long limit,
                        const std::string& fields = R"(["ByName","ByNumber"])") {
    return {"POST", "/v1/browse", pageRequest("/small", offset, limit, fields), {}};
  }

  static Request exportOf(const std::string& dataSet) {
    return {"GET", "/v1/export", "", {{"dataset", dataSet}, {"fields", "ByNumber"}}};
  }

  // Runs `setup` then `request` in a new service, failing the k-th
  // allocation of `request` for every k, and checks each outcome and the
  // service afterwards against a run in which nothing failed.
  void checkEveryFailure(const std::vector<Request>& setup, const Request& request) {
    Outcome expected;
    std::size_t consumers = 0;
    std::uint64_t allocations = 0;
    std::int64_t blocksFreed = 0;
    for (int run = 0; run < 2; ++run) {  // the first run warms up what lives on
      testsupport::AllocationTally tally;
      {
        Service service(options_, catalog_);
        for (const Request& step : setup)
          ASSERT_EQ(200, this->run(service, httpRequest(step)).status);
        const HttpRequest http = httpRequest(request);
        expected.body.reserve(expected.body.size() + 4096);
        testsupport::AllocationTally requestTally;
        this->run(service, http, expected);
        allocations = requestTally.allocations();
        ASSERT_EQ(200, expected.status) << expected.body;
        ASSERT_FALSE(expected.streamFailed);
        ASSERT_EQ(expected.body, this->run(service, http).body);
        consumers = service.pool.liveConsumers();
      }
      blocksFreed = tally.blocksFreed();
    }
    for (std::uint64_t k = 1; k <= allocations; ++k) {
      SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(allocations) +
                   " fails");
      testsupport::AllocationTally tally;
      {
        Service service(options_, catalog_);
        for (const Request& step : setup)
          ASSERT_EQ(200, this->run(service, httpRequest(step)).status);
        const HttpRequest http = httpRequest(request);
        Outcome failed;
        failed.body.reserve(expected.body.size() + 4096);
        bool threw = false;
        {
          testsupport::AllocationFailure failure(k);
          try {
            this->run(service, http, failed);
          } catch (...) {
            threw = true;
          }
          ASSERT_TRUE(failure.happened());
        }
        ASSERT_FALSE(threw) << "handle() threw";
        if (failed.status == 200) {
          if (!failed.streamFailed) {
            EXPECT_EQ(expected.body, failed.body);
          }
        } else {
          EXPECT_EQ(503, failed.status) << failed.body;
          EXPECT_EQ("out_of_memory", Json::parse(failed.body).at("error").get<std::string>())
              << failed.body;
        }
        const Outcome next = this->run(service, httpRequest(request));
        EXPECT_EQ(200, next.status) << next.body;
        EXPECT_FALSE(next.streamFailed);
        EXPECT_EQ(expected.body, next.body);
        EXPECT_EQ(consumers, service.pool.liveConsumers());
        service.now += std::chrono::minutes(11);
        service.pool.expireIdle();
        EXPECT_EQ(0u, service.pool.liveConsumers()) << "an entry stuck in the pool";
        EXPECT_EQ(0u, service.pool.memoryBytes()) << "bytes counted for no consumer";
      }
      EXPECT_EQ(blocksFreed, tally.blocksFreed()) << "blocks leaked";
      if (HasFailure()) return;  // one failing allocation tells enough
    }
  }

  testing::DataDirectory data_;
  ServeOptions options_ = handlerOptions();
  DataSetCatalog catalog_{data_.path().string()};
};

TEST_F(RequestUnderMemoryShortageTest, TheFirstBrowseOfADataSet) {
  checkEveryFailure({}, browse(10, 20));
}

TEST_F(RequestUnderMemoryShortageTest, ABrowseOfACollectedDataSetWithOtherPaging) {
  checkEveryFailure({browse(0, 10)}, browse(100, 30));
}

TEST_F(RequestUnderMemoryShortageTest, ABrowseByOtherFields) {
  checkEveryFailure({browse(0, 10)}, browse(40, 30, R"(["ByNumber","ByName"])"));
}

TEST_F(RequestUnderMemoryShortageTest, AnExportOfADataSetNotYetCollected) {
  checkEveryFailure({}, exportOf("/small"));
}

TEST_F(RequestUnderMemoryShortageTest, AnExportOfManyPagesOfACollectedDataSet) {
  checkEveryFailure({exportOf("/large")}, exportOf("/large"));
}

TEST_F(RequestUnderMemoryShortageTest, TheDataSetListing) {
  checkEveryFailure({browse(0, 10)}, {"GET", "/v1/datasets", "", {}});
}

TEST_F(RequestUnderMemoryShortageTest, TheHealthCheck) {
  checkEveryFailure({}, {"GET", "/healthz", "", {}});
}

TEST_F(RequestUnderMemoryShortageTest, TheMetrics) {
  checkEveryFailure({browse(0, 10)}, {"GET", "/metrics", "", {}});
}

}  // namespace
}  // namespace browse::serve
