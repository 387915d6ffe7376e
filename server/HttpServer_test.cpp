// The real HTTP server on an ephemeral loopback port, driven by a real HTTP
// client (cpp-httplib's) and by raw sockets that misbehave.
#include "HttpServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/DataDirectory.h"
#include "testing/RawSocket.h"

namespace browse::serve {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
using testing::pageRequest;
using testing::RawSocket;

// Everything `browse serve` builds, serving on a thread of its own.
class RunningServer {
 public:
  RunningServer(const std::filesystem::path& data, ServeOptions options)
      : options_([&] {
          options.dataDir = data.string();
          options.listen = {"127.0.0.1", 0};
          return options;
        }()),
        catalog_(options_.dataDir),
        pool_({options_.cacheMemory, options_.idleTimeout}, metrics_),
        handler_(options_, catalog_, pool_, metrics_),
        logFd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)),
        log_(logFd_, options_.log),
        server_(options_, handler_, pool_, metrics_, log_) {
    port_ = server_.bind();
    serving_ = std::thread([this] { server_.serve(); });
  }
  ~RunningServer() {
    server_.stop();
    serving_.join();
    ::close(logFd_);
  }

  int port() const { return port_; }
  Metrics& metrics() { return metrics_; }
  ConsumerPool& pool() { return pool_; }
  const RequestHandler& handler() const { return handler_; }
  HttpServer& server() { return server_; }

  std::unique_ptr<httplib::Client> client() const {
    auto client = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client->set_read_timeout(30, 0);
    return client;
  }

 private:
  ServeOptions options_;
  DataSetCatalog catalog_;
  Metrics metrics_;
  ConsumerPool pool_;
  RequestHandler handler_;
  int logFd_;
  AccessLog log_;
  HttpServer server_;
  int port_ = 0;
  std::thread serving_;
};

// True once `condition` holds, within a few seconds: the server counts and
// logs a request after writing its answer.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class HttpServerTest : public ::testing::Test {
 protected:
  HttpServerTest() {
    for (const char* name : {"/shared", "/first/one", "/second/two"}) {
      data_.writeItems(name, 4000, std::hash<std::string>()(name));
    }
  }

  ServeOptions options() const {
    ServeOptions options;
    options.threads = 8;
    options.maxConnections = 64;
    options.readTimeout = 1s;
    options.writeTimeout = 1s;
    options.keepAliveTimeout = 1s;
    options.maxBody = 64 * 1024;
    return options;
  }

  testing::DataDirectory data_;
};

TEST_F(HttpServerTest, ManyClientsInParallelGetTheHandlersAnswers) {
  RunningServer server(data_.path(), options());
  // The expected answers come from a handler of its own, without HTTP.
  Metrics metrics;
  DataSetCatalog catalog(data_.path().string());
  ConsumerPool pool({std::size_t{1} << 30, std::chrono::minutes(1)}, metrics);
  const RequestHandler reference(options(), catalog, pool, metrics);

  std::vector<std::string> requests;
  std::mt19937 engine(17);
  const char* fields[] = {R"(["ByName","ByNumber"])", R"(["ByNumber"])"};
  for (int i = 0; i < 48; ++i) {
    const char* dataSet = i % 2 == 0 ? "/shared" : (i % 4 == 1 ? "/first/one" : "/second/two");
    requests.push_back(pageRequest(dataSet, std::uniform_int_distribution<int>(0, 4100)(engine),
                                   std::uniform_int_distribution<int>(1, 150)(engine),
                                   fields[i % 3 == 0], static_cast<int>(engine() % 2)));
  }
  std::map<std::string, std::string> expected;
  for (const std::string& request : requests) {
    expected[request] = reference.handle({"POST", "/v1/browse", request}).body;
  }

  std::atomic<int> answered{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 12; ++c) {
    clients.emplace_back([&, c] {
      const auto client = server.client();
      for (std::size_t i = c; i < requests.size() * 4; i += 12) {
        const std::string& request = requests[i % requests.size()];
        const httplib::Result result = client->Post("/v1/browse", request, "application/json");
        ASSERT_TRUE(result) << httplib::to_string(result.error());
        EXPECT_EQ(200, result->status);
        EXPECT_EQ("application/json; charset=utf-8", result->get_header_value("Content-Type"));
        EXPECT_EQ(expected[request], result->body);
        ++answered;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(static_cast<int>(requests.size() * 4), answered.load());
  EXPECT_EQ(6u, server.metrics().collections()) << "3 data sets x 2 sort field lists";
  EXPECT_EQ(requests.size() * 4 - 6, server.metrics().cacheHits());
  EXPECT_TRUE(eventually([&] { return server.metrics().requests(200) == requests.size() * 4; }));
}

TEST_F(HttpServerTest, AnswersCarryTheSafetyHeadersAndJsonErrors) {
  RunningServer server(data_.path(), options());
  const auto client = server.client();
  const httplib::Result page =
      client->Post("/v1/browse", pageRequest("/shared", 0, 10), "application/json");
  ASSERT_TRUE(page);
  EXPECT_EQ("nosniff", page->get_header_value("X-Content-Type-Options"));
  EXPECT_EQ("no-store", page->get_header_value("Cache-Control"));
  EXPECT_FALSE(page->has_header("Access-Control-Allow-Origin"));

  const httplib::Result unknown = client->Get("/etc/passwd");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(404, unknown->status);
  EXPECT_EQ("not_found", Json::parse(unknown->body).at("error"));

  // Bodies past --max-body are refused from their Content-Length, unread.
  const httplib::Result large =
      client->Post("/v1/browse", std::string(65 * 1024, ' '), "application/json");
  ASSERT_TRUE(large);
  EXPECT_EQ(413, large->status);
  EXPECT_EQ("too_large", Json::parse(large->body).at("error"));
  EXPECT_EQ("nosniff", large->get_header_value("X-Content-Type-Options"));

  RawSocket raw(server.port());
  ASSERT_TRUE(raw.send("NONSENSE\r\n\r\n"));
  const std::string answer = raw.receive(5s);
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 400 ", 0)) << answer;
  EXPECT_NE(std::string::npos, answer.find(R"({"error":"bad_request")")) << answer;

  RawSocket longLine(server.port());
  ASSERT_TRUE(longLine.send("GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(0u, longLine.receive(5s).rfind("HTTP/1.1 414 ", 0));
}

TEST_F(HttpServerTest, RangeHeadersDoNotMultiplyAnAnswer) {
  RunningServer server(data_.path(), options());
  std::string ranges = "bytes=0-";
  for (int i = 0; i < 500; ++i) ranges += ",0-";
  const auto client = server.client();
  const httplib::Result whole =
      client->Post("/v1/browse", pageRequest("/shared", 0, 20), "application/json");
  const httplib::Result ranged = client->Post("/v1/browse", {{"Range", ranges}},
                                              pageRequest("/shared", 0, 20), "application/json");
  ASSERT_TRUE(whole);
  ASSERT_TRUE(ranged);
  EXPECT_EQ(200, ranged->status);
  EXPECT_EQ(whole->body, ranged->body);
}

TEST_F(HttpServerTest, SlowAndStuckClientsAreCut) {
  RunningServer server(data_.path(), options());
  RawSocket stuck(server.port());
  ASSERT_TRUE(stuck.send("POST /v1/browse HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{"));
  const auto start = std::chrono::steady_clock::now();
  stuck.receive(10s);
  EXPECT_TRUE(stuck.closed()) << "a body that never comes ends at the read timeout";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

  RawSocket silent(server.port());
  silent.receive(10s);
  EXPECT_TRUE(silent.closed()) << "a connection that sends nothing ends too";

  const auto client = server.client();
  EXPECT_EQ(200, client->Get("/healthz")->status) << "and the server serves on";
}

TEST_F(HttpServerTest, ConnectionsPastTheBoundAreAnswered503AndClosed) {
  ServeOptions bounded = options();
  bounded.threads = 2;
  bounded.maxConnections = 3;
  bounded.keepAliveTimeout = 10s;
  bounded.readTimeout = 10s;
  RunningServer server(data_.path(), bounded);
  // Two connections served and one waiting for a worker hold the bound.
  std::vector<std::unique_ptr<RawSocket>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<RawSocket>(server.port()));
    ASSERT_TRUE(held.back()->connected());
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::string answer;
  while (std::chrono::steady_clock::now() < deadline) {
    RawSocket extra(server.port());
    extra.send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    answer = extra.receive(2s);
    if (answer.rfind("HTTP/1.1 503 ", 0) == 0) break;
  }
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 503 ", 0)) << answer;
  EXPECT_NE(std::string::npos, answer.find(R"("error":"overloaded")"));
  EXPECT_NE(std::string::npos, answer.find("Connection: close"));
  const std::string metrics = server.metrics().prometheusText();
  EXPECT_EQ(std::string::npos, metrics.find("browse_connections_refused_total 0\n")) << metrics;
  EXPECT_NE(std::string::npos, metrics.find("browse_connections_refused_total ")) << metrics;
  held.clear();
  // Once the held connections go, new ones are served again.
  const auto client = server.client();
  int status = 0;
  for (int attempt = 0; attempt < 50 && status != 200; ++attempt) {
    const httplib::Result health = client->Get("/healthz");
    status = health ? health->status : 0;
    if (status != 200) std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(200, status);
}

TEST_F(HttpServerTest, StopLetsTheRequestInFlightFinish) {
  data_.writeItems("/large", 200000, 3);
  auto server = std::make_unique<RunningServer>(data_.path(), options());
  int status = 0;
  std::string body;
  std::thread request([&] {
    const httplib::Result result =
        server->client()->Post("/v1/browse", pageRequest("/large", 0, 10), "application/json");
    ASSERT_TRUE(result) << httplib::to_string(result.error());
    status = result->status;
    body = result->body;
  });
  // Stop while the data set is being collected.
  while (server->metrics().prometheusText().find("browse_connections_open 1") ==
         std::string::npos) {
    std::this_thread::yield();
  }
  std::this_thread::sleep_for(20ms);
  server->server().stop();
  request.join();
  EXPECT_EQ(200, status);
  EXPECT_EQ(10u, Json::parse(body)[0]["result"]["items"].size());
  server.reset();
}

// A stop closes the listening socket while connections keep arriving and
// are accepted on other threads of the event loop: it must neither race with
// the next accept (ThreadSanitizer runs this in CI) nor leave serve running.
TEST_F(HttpServerTest, StopWhileConnectionsArriveEndsTheServer) {
  for (int round = 0; round < 20; ++round) {
    auto server = std::make_unique<RunningServer>(data_.path(), options());
    std::atomic<bool> done{false};
    std::vector<std::thread> clients;
    for (int i = 0; i < 3; ++i) {
      clients.emplace_back([&, port = server->port()] {
        while (!done) RawSocket connection(port);
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2 + round % 5));
    server.reset();  // stops and waits for serve to return
    done = true;
    for (std::thread& client : clients) client.join();
  }
}

// Answers of the test's own, served by the real transport: the request's
// headers and decoded query as the handler sees them, and streamed bodies.
class AnsweringServer {
 public:
  explicit AnsweringServer(HttpServer::Answers answers)
      : logFd_(::memfd_create("access log", MFD_CLOEXEC)),
        log_(logFd_, LogFormat::kText),
        pool_({std::size_t{1} << 20, std::chrono::minutes(1)}, metrics_),
        server_(options_, std::move(answers), pool_, metrics_, log_) {
    port_ = server_.bind();
    serving_ = std::thread([this] { server_.serve(); });
  }
  ~AnsweringServer() {
    server_.stop();
    serving_.join();
    ::close(logFd_);
  }
  int port() const { return port_; }
  const Metrics& metrics() const { return metrics_; }
  // The access log's lines so far.
  std::vector<std::string> logLines() const {
    std::string text;
    char block[4096];
    for (off_t at = 0;;) {
      const ssize_t got = ::pread(logFd_, block, sizeof block, at);
      if (got <= 0) break;
      text.append(block, static_cast<std::size_t>(got));
      at += got;
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

 private:
  ServeOptions options_ = [] {
    ServeOptions options;
    options.listen = {"127.0.0.1", 0};
    options.threads = 2;
    options.writeTimeout = 2s;
    return options;
  }();
  int logFd_;
  AccessLog log_;
  Metrics metrics_;
  ConsumerPool pool_;
  HttpServer server_;
  int port_ = 0;
  std::thread serving_;
};

HttpAnswer errorAnswer(int status, const std::string& code, const std::string&) {
  return {status, "application/json", {}, R"({"error":")" + code + R"("})"};
}

TEST(HttpTransportTest, HandlersSeeHeadersAndTheDecodedQueryInOrder) {
  AnsweringServer server({[](const HttpRequest& request) {
                            Json seen{{"path", request.path}, {"query", Json::array()}};
                            for (const auto& [name, value] : request.query) {
                              seen["query"].push_back({name, value});
                            }
                            for (const auto& [name, value] : request.headers) {
                              if (name == "x-browse-dataset" || name == "X-Browse-Dataset") {
                                seen["dataset"] = value;
                              }
                            }
                            return HttpAnswer{200, "application/json", {}, seen.dump()};
                          },
                          errorAnswer});
  httplib::Client client("127.0.0.1", server.port());
  const httplib::Result result =
      client.Get("/v1/export?dataset=%2Fmusic%2F2024&fields=a%20b&fields=c&empty=&flag",
                 {{"X-Browse-Dataset", "/music/2024"}});
  ASSERT_TRUE(result);
  const Json seen = Json::parse(result->body);
  EXPECT_EQ("/v1/export", seen["path"]);
  EXPECT_EQ(Json::parse(R"([["dataset","/music/2024"],["fields","a b"],["fields","c"],)"
                        R"(["empty",""],["flag",""]])"),
            seen["query"]);
  EXPECT_EQ("/music/2024", seen["dataset"]);
}

TEST(HttpTransportTest, StreamedAnswersAreSentChunkedAndStopWhenTheClientLeaves) {
  std::atomic<bool> streamEnded{false};
  AnsweringServer server(
      {[&](const HttpRequest& request) {
         HttpAnswer answer{200, "text/csv", {}, ""};
         if (request.path == "/failing") {
           answer.stream = [](const std::function<bool(std::string_view)>& write) {
             write("partial");
             throw std::runtime_error("the export failed");
           };
         } else if (request.path == "/few") {
           answer.stream = [](const std::function<bool(std::string_view)>& write) {
             for (int i = 0; i < 3 && write("line " + std::to_string(i) + "\n"); ++i) {
             }
           };
         } else {
           // Endless unless the transport reports the client gone.
           answer.stream = [&](const std::function<bool(std::string_view)>& write) {
             const std::string piece(64 * 1024, 'x');
             while (write(piece)) {
             }
             streamEnded = true;
           };
         }
         return answer;
       },
       errorAnswer});
  httplib::Client client("127.0.0.1", server.port());
  const httplib::Result few = client.Get("/few");
  ASSERT_TRUE(few);
  EXPECT_EQ(200, few->status);
  EXPECT_EQ("chunked", few->get_header_value("Transfer-Encoding"));
  EXPECT_EQ("line 0\nline 1\nline 2\n", few->body);
  EXPECT_EQ(200, client.Get("/few")->status) << "the connection serves on after a stream";

  EXPECT_FALSE(client.Get("/failing")) << "a stream that fails is cut, not completed";
  EXPECT_EQ(200, client.Get("/few")->status) << "and the server serves on";

  {
    RawSocket leaving(server.port());
    ASSERT_TRUE(leaving.send("GET /endless HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(0u, leaving.receive(200ms).rfind("HTTP/1.1 200 ", 0));
  }
  EXPECT_TRUE(eventually([&] { return streamEnded.load(); }));

  // A client that stays but stops reading is cut at the write timeout.
  streamEnded = false;
  RawSocket stalled(server.port());
  ASSERT_TRUE(stalled.send("GET /endless HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_TRUE(eventually([&] { return streamEnded.load(); }));

  // The status line went out before each cut, so the log keeps status 200
  // and says that the answer was cut short; so does a metric.
  ASSERT_TRUE(eventually([&] { return server.logLines().size() == 6; }));
  const std::vector<std::string> lines = server.logLines();
  const auto cut = [](const std::string& line) {
    return line.size() > 11 && line.compare(line.size() - 11, 11, " incomplete") == 0;
  };
  std::map<std::string, std::vector<bool>> cutByPath;
  for (const std::string& line : lines) {
    EXPECT_NE(std::string::npos, line.find(" 200 ")) << line;
    const std::size_t path = line.find(" /");
    cutByPath[line.substr(path + 1, line.find(' ', path + 1) - path - 1)].push_back(cut(line));
  }
  EXPECT_EQ((std::vector<bool>{false, false, false}), cutByPath["/few"]);
  EXPECT_EQ((std::vector<bool>{true}), cutByPath["/failing"]);
  EXPECT_EQ((std::vector<bool>{true, true}), cutByPath["/endless"]);
  EXPECT_EQ(6u, server.metrics().requests(200));
  EXPECT_EQ(3u, server.metrics().incompleteAnswers());
}

// An HTTP/1.0 client knows no chunked encoding: a streamed body reaches it
// as the bare bytes, ended by the close of the connection.
TEST(HttpTransportTest, AStreamedAnswerToAnHttp10ClientIsNotChunked) {
  AnsweringServer server({[](const HttpRequest&) {
                            HttpAnswer answer{200, "text/csv", {}, ""};
                            answer.stream = [](const std::function<bool(std::string_view)>& write) {
                              write("name,number\r\n");
                              write("a,1\r\n");
                            };
                            return answer;
                          },
                          errorAnswer});
  RawSocket client(server.port());
  ASSERT_TRUE(client.send("GET /export HTTP/1.0\r\n\r\n"));
  const std::string answer = client.receive(5000ms);
  EXPECT_TRUE(client.closed()) << "the body of an HTTP/1.0 answer ends with the connection";
  const std::size_t headEnd = answer.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, headEnd) << answer;
  const std::string head = answer.substr(0, headEnd);
  EXPECT_EQ(std::string::npos, head.find("Transfer-Encoding")) << head;
  EXPECT_EQ("name,number\r\na,1\r\n", answer.substr(headEnd + 4));
}

}  // namespace
}  // namespace browse::serve
