// The browse service's request handler without sockets: random cached pages
// of 100 items, as the load benchmark (serve_bench.py) asks for them, and the
// JSON writing of such an answer on its own.
//
// The data set is generated once into a temporary folder (ItemGenerator, seed
// 7); its size comes from BROWSE_SERVE_BENCH_ITEMS (default 200000). Every
// sort field list is collected and sorted before the timed loops.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ConsumerPool.h"
#include "DataSetCatalog.h"
#include "ItemGenerator.h"
#include "Metrics.h"
#include "RequestHandler.h"
#include "ServeOptions.h"
#include "databrowse/RecordJson.h"

namespace {

using namespace browse::serve;

constexpr char kDataSet[] = "/bench/items";
const char* const kFieldLists[] = {R"(["ByName","ByNumber"])", R"(["ByNumber"])",
                                   R"(["ByFlag","ByName"])"};

std::size_t itemCount() {
  const char* text = std::getenv("BROWSE_SERVE_BENCH_ITEMS");
  return text != nullptr ? std::stoul(text) : 200000;
}

std::string pageBody(std::size_t offset, const char* fields, int direction, int session) {
  return std::string(R"({"paths":[{"path":")") + kDataSet +
         R"("}],"queries":[{"queryId":"page","parameters":{"sort":{"fields":)" + fields +
         R"(,"direction":)" + std::to_string(direction) + R"(},"paging":{"offset":)" +
         std::to_string(offset) + R"(,"limit":100}}}],"context":{"sessionId":"load-)" +
         std::to_string(session) + R"(","sequence":1}})";
}

// The handler over a generated data set, every sort of the load collected.
class Service {
 public:
  Service() : items_(itemCount()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "serve_bench_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    std::filesystem::create_directories(root_ / "bench");
    {
      std::ofstream out(root_ / "bench" / "items.jsonl", std::ios::binary);
      browse::ItemGenerator generator(7);
      for (std::size_t i = 0; i < items_; ++i) out << databrowse::toJson(generator.next()) << '\n';
    }
    options_.dataDir = root_.string();
    catalog_ = std::make_unique<DataSetCatalog>(options_.dataDir);
    pool_ = std::make_unique<ConsumerPool>(PoolSettings{}, metrics_);
    handler_ = std::make_unique<RequestHandler>(options_, *catalog_, *pool_, metrics_);
    std::mt19937_64 random(3);
    for (int i = 0; i < 4000; ++i) {
      bodies_.push_back(pageBody(random() % (items_ - 100), kFieldLists[random() % 3],
                                 static_cast<int>(random() % 2), i));
    }
    // Collects every sort, then reads every page once: reads finish the
    // sorted order where they read.
    for (const std::string& body : bodies_) answer(body);
  }
  ~Service() { std::filesystem::remove_all(root_); }

  HttpAnswer answer(const std::string& body) const {
    HttpAnswer answer = handler_->handle({"POST", "/v1/browse", body});
    if (answer.status != 200) throw std::runtime_error("status " + std::to_string(answer.status));
    return answer;
  }

  const std::vector<std::string>& bodies() const { return bodies_; }

 private:
  std::size_t items_;
  std::filesystem::path root_;
  ServeOptions options_;
  Metrics metrics_;
  std::unique_ptr<DataSetCatalog> catalog_;
  std::unique_ptr<ConsumerPool> pool_;
  std::unique_ptr<RequestHandler> handler_;
  std::vector<std::string> bodies_;
};

const Service& service() {
  static const Service instance;
  return instance;
}

void BM_CachedPage(benchmark::State& state) {
  const Service& served = service();
  std::size_t next = 0;
  std::size_t bytes = 0;
  for (auto _ : state) {
    HttpAnswer answer = served.answer(served.bodies()[next++ % served.bodies().size()]);
    bytes += answer.body.size();
    benchmark::DoNotOptimize(answer);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_CachedPage);

void BM_WriteAnswer(benchmark::State& state) {
  const Service& served = service();
  // The responses of one page, as the handler writes them.
  const HttpAnswer page = served.answer(served.bodies().front());
  const std::vector<databrowse::BrowseResponse> responses = [&] {
    databrowse::JsonReader reader;
    std::vector<databrowse::BrowseResponse> parsed;
    for (const nlohmann::json& response : nlohmann::json::parse(page.body)) {
      parsed.push_back(reader.response(response.dump()));
    }
    if (databrowse::toJson(parsed, 2) + "\n" != page.body) {
      throw std::runtime_error("the responses read back are not the page");
    }
    return parsed;
  }();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string written = databrowse::toJson(responses, 2);
    bytes += written.size();
    benchmark::DoNotOptimize(written);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}
BENCHMARK(BM_WriteAnswer);

}  // namespace

BENCHMARK_MAIN();
