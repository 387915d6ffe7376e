// Drives the browse service's request handler, without sockets, with any
// bytes: the first line is "METHOD PATH", the rest the body. The data
// directory is small and made at start-up, with data sets, nested ones, a link
// inside and links out of it, and a budget that forces evictions. Whatever
// the input:
//  - the status is one the service documents, and never 500;
//  - every answer but the metrics is JSON; an error is exactly
//    {"error": CODE, "message": TEXT} and its message never names the
//    directory the data lives in unless the request did;
//  - a browse answer is a JSON array of responses that read back as
//    responses, holding at most the cap of items over all of them;
//  - the same request answers the same again.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "ItemGenerator.h"
#include "PageFiles.h"
#include "RequestHandler.h"
#include "databrowse/RecordJson.h"

namespace {

namespace fs = std::filesystem;
using browse::serve::HttpAnswer;

constexpr std::size_t kMaxInput = 16384;
constexpr std::uint64_t kMaxAnswerItems = 300;

[[noreturn]] void fault(const std::string& problem, const std::string& detail) {
  std::fprintf(stderr, "serve_fuzzer: %s\n%s\n", problem.c_str(), detail.substr(0, 2000).c_str());
  std::abort();
}

void writeItems(const fs::path& file, std::size_t count, std::uint64_t seed) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  browse::ItemGenerator generator(seed);
  for (std::size_t i = 0; i < count; ++i) out << databrowse::toJson(generator.next()) << '\n';
}

struct Service {
  Service() {
    char pattern[] = "/tmp/serve_fuzzer_XXXXXX";
    if (::mkdtemp(pattern) == nullptr) fault("cannot make the data directory", pattern);
    root = pattern;
    const fs::path data = root / "data";
    writeItems(data / "small.jsonl", 200, 1);
    writeItems(data / "music" / "2024.jsonl", 50, 2);
    writeItems(data / "a" / "b" / "c.jsonl", 400, 3);
    std::ofstream(data / "empty.jsonl");
    writeItems(root / "secret.jsonl", 10, 4);
    fs::create_symlink("small.jsonl", data / "alias.jsonl");
    fs::create_symlink(root / "secret.jsonl", data / "outside.jsonl");
    fs::create_symlink("../secret.jsonl", data / "up.jsonl");
    options.dataDir = data.string();
    options.maxBody = 8192;
    options.maxAnswerItems = kMaxAnswerItems;
    catalog = std::make_unique<browse::serve::DataSetCatalog>(options.dataDir);
    // Room for a few consumers of these data sets, not all of them.
    pool = std::make_unique<browse::serve::ConsumerPool>(
        browse::serve::PoolSettings{256 * 1024, std::chrono::minutes(10), 64}, metrics);
    handler = std::make_unique<browse::serve::RequestHandler>(options, *catalog, *pool, metrics);
  }

  fs::path root;
  browse::serve::ServeOptions options;
  browse::serve::Metrics metrics;
  std::unique_ptr<browse::serve::DataSetCatalog> catalog;
  std::unique_ptr<browse::serve::ConsumerPool> pool;
  std::unique_ptr<browse::serve::RequestHandler> handler;
};

Service& service() {
  static Service* instance = [] {
    Service* made = new Service();
    std::atexit([] { fs::remove_all(service().root); });
    return made;
  }();
  return *instance;
}

void checkBrowseAnswer(const nlohmann::json& body, const std::string& text) {
  if (!body.is_array()) fault("a browse answer is not an array", text);
  std::size_t items = 0;
  for (const nlohmann::json& response : body) {
    const databrowse::BrowseResponse read = databrowse::parseResponse(response.dump());
    if (response.contains("result") && response["result"].contains("items")) {
      items += response["result"]["items"].size();
    }
    (void)read;
  }
  if (items > kMaxAnswerItems) fault("an answer holds more items than the cap", text);
  if (text.empty() || text.back() != '\n') fault("a browse answer does not end its line", text);
}

void checkAnswer(const HttpAnswer& answer, std::string_view path, std::string_view input) {
  const std::string context = std::to_string(answer.status) + " " + answer.body;
  switch (answer.status) {
    case 200:
    case 204:
    case 400:
    case 404:
    case 405:
    case 413:
    case 503:
      break;
    default:
      fault("an undocumented status", context);
  }
  if (answer.status == 204) return;
  if (path == "/metrics" && answer.status == 200) return;
  // The browse page's files are served as they are, each with its own type.
  if (const browse::serve::PageFile* file = browse::serve::findPageFile(path);
      file != nullptr && answer.status == 200) {
    if (answer.contentType != file->contentType || answer.body != file->bytes) {
      fault("a page file is served otherwise than it is", context);
    }
    return;
  }
  if (answer.contentType != "application/json; charset=utf-8") fault("not JSON", context);
  const auto body = nlohmann::json::parse(answer.body, nullptr, false);
  if (body.is_discarded()) fault("the body is not JSON", context);
  if (answer.status >= 400) {
    if (!body.is_object() || body.size() != 2 || !body.contains("error") ||
        !body["error"].is_string() || !body.contains("message") || !body["message"].is_string()) {
      fault("an error body is not {error, message}", context);
    }
    // A message may quote the request, whatever it holds, but nothing else
    // of the server's.
    const std::string root = service().root.string();
    if (answer.body.find(root) != std::string::npos && input.find(root) == std::string::npos) {
      fault("an error names the server's directory", context);
    }
  } else if (path == "/v1/browse") {
    checkBrowseAnswer(body, answer.body);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;  // not added to the corpus
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t lineEnd = std::min(input.find('\n'), input.size());
  const std::string_view line = input.substr(0, lineEnd);
  const std::size_t space = std::min(line.find(' '), line.size());
  const std::string_view method = line.substr(0, space);
  const std::string_view path = line.substr(std::min(space + 1, line.size()));
  const std::string_view body = input.substr(std::min(lineEnd + 1, input.size()));

  const browse::serve::RequestHandler& handler = *service().handler;
  const HttpAnswer first = handler.handle({method, path, body});
  checkAnswer(first, path, input);
  // Metrics change with every request; every other answer is the same again.
  if (path != "/metrics") {
    const HttpAnswer again = handler.handle({method, path, body});
    if (again.status != first.status || again.body != first.body) {
      fault("the same request answered differently", first.body + "\n---\n" + again.body);
    }
  }
  return 0;
}
