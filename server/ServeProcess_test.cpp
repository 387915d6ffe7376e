// `browse serve` as a process: its command line, its ready line, its request
// log, port conflicts and its stop on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>

#include "testing/DataDirectory.h"
#include "testing/Process.h"

namespace browse::serve {
namespace {

using testing::ServerProcess;

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The server writes a request's log line after its answer: waits for them.
void awaitLogLines(const ServerProcess& server, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (linesOf(server.err()).size() < count && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

class ServeProcessTest : public ::testing::Test {
 protected:
  ServeProcessTest() { data_.writeItems("/items", 500); }

  std::vector<std::string> dataArgs() const { return {"--data", data_.path().string()}; }

  testing::DataDirectory data_;
};

TEST_F(ServeProcessTest, PrintsItsAddressLogsEachRequestAndStopsOnSigterm) {
  ServerProcess server(BROWSE_BINARY, data_.outside(), dataArgs());
  ASSERT_NE(0, server.port()) << server.err();
  EXPECT_EQ("listening on http://127.0.0.1:" + std::to_string(server.port()) + "\n",
            server.readyLine());
  httplib::Client client("127.0.0.1", server.port());
  // A request is logged once its answer is written, possibly after the
  // client has read it: wait for each line so that the two keep their order.
  ASSERT_EQ(200, client.Get("/healthz")->status);
  awaitLogLines(server, 1);
  ASSERT_EQ(404, client.Get("/v1/none")->status);
  awaitLogLines(server, 2);
  EXPECT_EQ(0, server.stop(SIGTERM));
  const std::vector<std::string> lines = linesOf(server.err());
  ASSERT_EQ(3u, lines.size()) << server.err();
  EXPECT_NE(std::string::npos, lines[0].find(" GET /healthz 200 15 ")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" GET /v1/none 404 ")) << lines[1];
  EXPECT_EQ("browse serve: stopping on SIGTERM", lines[2]);
}

TEST_F(ServeProcessTest, LogsJsonLinesAndStopsOnSigint) {
  std::vector<std::string> args = dataArgs();
  args.insert(args.end(), {"--log", "json"});
  ServerProcess server(BROWSE_BINARY, data_.outside(), args);
  ASSERT_NE(0, server.port()) << server.err();
  httplib::Client client("127.0.0.1", server.port());
  ASSERT_EQ(
      200,
      client.Post("/v1/browse", testing::pageRequest("/items", 0, 3), "application/json")->status);
  awaitLogLines(server, 1);
  EXPECT_EQ(0, server.stop(SIGINT));
  const std::vector<std::string> lines = linesOf(server.err());
  ASSERT_EQ(2u, lines.size()) << server.err();
  const nlohmann::json line = nlohmann::json::parse(lines[0]);
  EXPECT_EQ("POST", line["method"]);
  EXPECT_EQ("/v1/browse", line["path"]);
  EXPECT_EQ(200, line["status"]);
  EXPECT_GT(line["bytes"].get<int>(), 100);
  EXPECT_TRUE(line["us"].is_number_integer());
}

TEST_F(ServeProcessTest, APortInUseIsAnErrorNotASharedPort) {
  ServerProcess first(BROWSE_BINARY, data_.outside(), dataArgs());
  ASSERT_NE(0, first.port());
  const testing::Finished second =
      testing::run({BROWSE_BINARY, "serve", "--data", data_.path().string(), "--listen",
                    "127.0.0.1:" + std::to_string(first.port())},
                   data_.outside());
  EXPECT_EQ(1, second.status);
  EXPECT_EQ("", second.out);
  EXPECT_EQ(0u, second.err.rfind("browse: cannot listen on http://127.0.0.1:", 0)) << second.err;
}

// --max-connections is an option of its own: a bound below the default
// number of threads is a valid setting, not a clash with a --threads that
// was never given.
TEST_F(ServeProcessTest, AConnectionBoundBelowTheDefaultThreadsServes) {
  std::vector<std::string> args = dataArgs();
  args.insert(args.end(), {"--max-connections", "32"});
  ServerProcess server(BROWSE_BINARY, data_.outside(), args);
  ASSERT_NE(0, server.port()) << server.err();
  httplib::Client client("127.0.0.1", server.port());
  const httplib::Result health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(200, health->status);
  EXPECT_EQ(0, server.stop(SIGTERM));
}

TEST_F(ServeProcessTest, BadOptionsAreRefusedBeforeServing) {
  const auto refused = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {BROWSE_BINARY, "serve"});
    return testing::run(args, data_.outside());
  };
  const testing::Finished noData = refused({});
  EXPECT_EQ(2, noData.status);
  EXPECT_NE(std::string::npos, noData.err.find("--data is required"));
  const testing::Finished size =
      refused({"--data", data_.path().string(), "--cache-memory", "1XB"});
  EXPECT_EQ(2, size.status);
  EXPECT_NE(std::string::npos, size.err.find("'1XB' has an unknown unit 'XB'")) << size.err;
  const testing::Finished address =
      refused({"--data", data_.path().string(), "--listen", "localhost"});
  EXPECT_EQ(2, address.status);
  const testing::Finished threads =
      refused({"--data", data_.path().string(), "--threads", "8", "--max-connections", "4"});
  EXPECT_EQ(2, threads.status);
  const testing::Finished missing = refused({"--data", (data_.path() / "nowhere").string()});
  EXPECT_EQ(1, missing.status);
  EXPECT_NE(std::string::npos, missing.err.find("cannot open the data directory")) << missing.err;
}

}  // namespace
}  // namespace browse::serve
