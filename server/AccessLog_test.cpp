// Log lines and metrics text, as operators and scrapers read them.
#include "AccessLog.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Metrics.h"

namespace browse::serve {
namespace {

const LogRecord kRecord{
    std::chrono::system_clock::time_point(std::chrono::milliseconds(1767323045678)),
    "POST",
    "/v1/browse",
    200,
    14523,
    std::chrono::microseconds(812)};

TEST(AccessLogTest, TextLinesHoldTimeMethodPathStatusBytesAndMicroseconds) {
  EXPECT_EQ("2026-01-02T03:04:05.678Z POST /v1/browse 200 14523 812\n",
            AccessLog::line(kRecord, LogFormat::kText));
  LogRecord hostile = kRecord;
  hostile.path = "/a b\n2026-01-01T00:00:00.000Z GET /forged 200 1 1%";
  EXPECT_EQ(
      "2026-01-02T03:04:05.678Z POST "
      "/a%20b%0A2026-01-01T00:00:00.000Z%20GET%20/forged%20200%201%201%25 "
      "200 14523 812\n",
      AccessLog::line(hostile, LogFormat::kText))
      << "a path cannot start a line or a field of its own";
}

TEST(AccessLogTest, JsonLinesAreOneObjectEach) {
  const std::string line = AccessLog::line(kRecord, LogFormat::kJson);
  EXPECT_EQ(
      R"({"time":"2026-01-02T03:04:05.678Z","method":"POST","path":"/v1/browse","status":200,"bytes":14523,"us":812})"
      "\n",
      line);
  LogRecord invalid = kRecord;
  invalid.path = "/\xff\n";
  const nlohmann::json parsed = nlohmann::json::parse(AccessLog::line(invalid, LogFormat::kJson));
  EXPECT_EQ("/\xEF\xBF\xBD\n", parsed["path"]) << "invalid UTF-8 is replaced, never fatal";
}

TEST(AccessLogTest, AnAnswerCutShortSaysSoAfterItsStatus) {
  LogRecord cut = kRecord;
  cut.complete = false;
  EXPECT_EQ("2026-01-02T03:04:05.678Z POST /v1/browse 200 14523 812 incomplete\n",
            AccessLog::line(cut, LogFormat::kText));
  const nlohmann::json parsed = nlohmann::json::parse(AccessLog::line(cut, LogFormat::kJson));
  EXPECT_EQ(200, parsed["status"]);
  EXPECT_EQ(false, parsed["complete"]);
}

TEST(MetricsTest, CountsRequestsByStatusInACumulativeHistogram) {
  Metrics metrics;
  metrics.countRequest(200, std::chrono::microseconds(80));
  metrics.countRequest(200, std::chrono::microseconds(3000));
  metrics.countRequest(404, std::chrono::seconds(20));
  metrics.countEviction(EvictionReason::kIdle);
  metrics.setCacheState(2, 4096, 1 << 20);
  const std::string text = metrics.prometheusText();
  for (const char* line :
       {"browse_requests_total{status=\"200\"} 2\n", "browse_requests_total{status=\"404\"} 1\n",
        "browse_request_duration_seconds_bucket{le=\"0.0001\"} 1\n",
        "browse_request_duration_seconds_bucket{le=\"0.005\"} 2\n",
        "browse_request_duration_seconds_bucket{le=\"5\"} 2\n",
        "browse_request_duration_seconds_bucket{le=\"+Inf\"} 3\n",
        "browse_request_duration_seconds_count 3\n",
        "browse_request_duration_seconds_sum 20.00308\n",
        "browse_cache_evictions_total{reason=\"idle\"} 1\n", "browse_cache_live 2\n",
        "browse_cache_bytes 4096\n", "# TYPE browse_request_duration_seconds histogram\n"}) {
    EXPECT_NE(std::string::npos, text.find(line)) << line << text;
  }
  EXPECT_EQ(std::string::npos, text.find("status=\"500\"")) << "statuses never seen are left out";
}

}  // namespace
}  // namespace browse::serve
