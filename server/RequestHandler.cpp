#include "RequestHandler.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <limits>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "ApiError.h"
#include "Io.h"
#include "databrowse/RecordJson.h"

namespace browse::serve {

namespace {

using Json = nlohmann::ordered_json;

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kPrometheusText[] = "text/plain; version=0.0.4; charset=utf-8";
// The page loads its scripts, styles and data from the server alone.
constexpr char kPagePolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'";
// Sort fields of one request: 3 fields have meaning, repeats only add bytes
// to every item's key.
constexpr std::size_t kMaxSortFields = 16;
// Every response repeats the request's context: bytes of context over all
// responses of one answer.
constexpr std::size_t kMaxRepeatedContextBytes = std::size_t{16} << 20;
// The longest line of a data-set file.
constexpr std::size_t kMaxItemLineBytes = std::size_t{16} << 20;
// The part of a client's path that an error message quotes.
constexpr std::size_t kQuotedPathBytes = 256;

std::string jsonText(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string quoted(std::string_view text) {
  return std::string(text.substr(0, kQuotedPathBytes)) +
         (text.size() > kQuotedPathBytes ? "..." : "");
}

// The first path of the request, as the cache compares it.
std::string firstPath(databrowse::BrowseRequest& request) {
  if (!databrowse::isSet(request, databrowse::BrowseRequest::kPaths)) return {};
  std::vector<databrowse::BrowsePath>& paths = request.paths(true);
  return paths.empty() ? std::string() : paths.front().path();
}

// The sort fields of the first query, which the cache sorts by.
std::vector<databrowse::FilteredBrowseField> sortFields(databrowse::BrowseRequest& request) {
  std::vector<databrowse::Query>& queries = request.queries(false);
  if (queries.empty()) return {};
  return queries.front().parameters(false).sort(false).fields(false);
}

bool asksForCount(databrowse::Query& query) {
  if (!databrowse::isSet(query, databrowse::Query::kAggregate)) return false;
  // The cache compares the low 32 bits of the type.
  return static_cast<std::uint32_t>(query.aggregate(true).type()) ==
         static_cast<std::uint32_t>(databrowse::AggregateCount);
}

// What an answer to the request holds: responses, and items over all pages
// for a data set of `items` items (all its items when unknown).
struct AnswerSize {
  std::size_t responses = 0;
  std::uint64_t items = 0;
};

AnswerSize answerSize(databrowse::BrowseRequest& request, std::uint64_t items) {
  AnswerSize size;
  for (databrowse::Query& query : request.queries(true)) {
    if (databrowse::isSet(query, databrowse::Query::kParameters)) {
      ++size.responses;
      databrowse::PagingParameters& paging = query.parameters(true).paging(true);
      const long long offset = paging.offset();
      const long long limit = paging.limit();
      if (offset < 0 || limit <= 0) continue;
      const std::uint64_t left = static_cast<std::uint64_t>(offset) < items
                                     ? items - static_cast<std::uint64_t>(offset)
                                     : 0;
      size.items += std::min(static_cast<std::uint64_t>(limit), left);
    } else if (asksForCount(query)) {
      ++size.responses;
    }
  }
  return size;
}

void checkAnswerItems(databrowse::BrowseRequest& request, std::uint64_t items,
                      std::uint64_t maxItems) {
  const std::uint64_t asked = answerSize(request, items).items;
  if (asked > maxItems) {
    throw ApiError(400, "answer_too_large",
                   "the answer would hold " + std::to_string(asked) + " items, over the cap of " +
                       std::to_string(maxItems) +
                       " items of one answer (--max-answer-items); ask for smaller pages");
  }
}

void checkRequestShape(databrowse::BrowseRequest& request) {
  const std::size_t fields = sortFields(request).size();
  if (fields > kMaxSortFields) {
    throw ApiError(400, "bad_request",
                   "the first query has " + std::to_string(fields) + " sort fields, more than " +
                       std::to_string(kMaxSortFields));
  }
  const std::size_t responses =
      answerSize(request, std::numeric_limits<std::uint64_t>::max()).responses;
  const std::size_t contextBytes = databrowse::isSet(request, databrowse::BrowseRequest::kContext)
                                       ? request.context(false).heapBytes()
                                       : 0;
  if (responses != 0 && contextBytes > kMaxRepeatedContextBytes / responses) {
    throw ApiError(400, "answer_too_large",
                   "the answer would repeat the request's context of " +
                       std::to_string(contextBytes) + " bytes in " + std::to_string(responses) +
                       " responses, over " + std::to_string(kMaxRepeatedContextBytes) + " bytes");
  }
}

// The optional `dataset` query parameter of a browse request names its data
// set in the request line, where a proxy routes by it without reading the
// body; so it must name the body's data set, or the request could be answered
// by a server that was not chosen for it.
void checkDataSetParameter(const HttpRequest& request, std::string_view dataSet) {
  bool seen = false;
  for (const auto& [name, value] : request.query) {
    if (name != "dataset") continue;
    if (seen) throw ApiError(400, "bad_request", "the query parameter dataset is repeated");
    seen = true;
    if (value != dataSet) {
      throw ApiError(400, "bad_request",
                     "the query parameter dataset \"" + quoted(value) +
                         "\" differs from paths[0].path \"" + quoted(dataSet) +
                         "\"; they must name the same data set");
    }
  }
}

databrowse::BrowseRequest parseRequest(std::string_view body) {
  // A reader per thread keeps its buffers from request to request.
  static thread_local databrowse::JsonReader reader;
  try {
    return reader.request(body);
  } catch (const databrowse::JsonError& e) {
    throw ApiError(400, "bad_request", e.what());
  }
}

void readItems(const std::string& dataSet, DataSetFile& file, ConsumerPool::ItemSink& sink) {
  LineReader input("data set " + dataSet, file.release());
  input.setMaxLineLength(kMaxItemLineBytes);
  databrowse::JsonReader reader;
  // What the sink throws passes through unchanged, past the translation of
  // reading errors below.
  struct SinkFailed {};
  std::exception_ptr sinkFailure;
  const auto add = [&](databrowse::BrowseData& item, std::size_t) {
    try {
      sink.add(item);
    } catch (...) {
      sinkFailure = std::current_exception();
      throw SinkFailed{};
    }
  };
  const auto bad = [&input](const databrowse::JsonError& problem, std::size_t line) {
    throw ApiError(500, "bad_data_set",
                   input.name() + ":" + std::to_string(line) + ": " + problem.what());
  };
  // A little more room than estimated: an item array that doubles near the
  // end costs more than room left unused.
  const auto expect = [&sink](std::uint64_t lines) {
    sink.expect(static_cast<std::size_t>(lines + lines / 16));
  };
  try {
    readItemLines(input, reader, add, bad, expect);
  } catch (const SinkFailed&) {
    std::rethrow_exception(sinkFailure);
  } catch (const ApiError&) {
    throw;
  } catch (const std::length_error& e) {
    throw ApiError(500, "bad_data_set", e.what());
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw ApiError(500, "bad_data_set", e.what());
  }
}

// A JSON object of text members, written as text: a JSON object value leaks
// a block when one of its members fails to be allocated, and allocates when
// it is destroyed, where a failure ends the process.
HttpAnswer jsonAnswer(
    int status, std::initializer_list<std::pair<std::string_view, std::string_view>> members) {
  std::string body = "{";
  for (const auto& [name, value] : members) {
    if (body.size() > 1) body += ',';
    body += jsonText(Json(std::string(name))) + ':' + jsonText(Json(std::string(value)));
  }
  body += '}';
  return {status, kJson, {}, std::move(body)};
}

bool isGet(std::string_view method) { return method == "GET" || method == "HEAD"; }

// "handler;dur=" and the milliseconds with 3 decimals, as printf's "%.3f"
// writes them.
std::string serverTiming(std::chrono::steady_clock::duration took) {
  static constexpr std::string_view kPrefix = "handler;dur=";
  char text[64];
  std::memcpy(text, kPrefix.data(), kPrefix.size());
  const double millis = std::chrono::duration<double, std::milli>(took).count();
  const char* end =
      std::to_chars(text + kPrefix.size(), text + sizeof text, millis, std::chars_format::fixed, 3)
          .ptr;
  return std::string(text, static_cast<std::size_t>(end - text));
}

HttpAnswer methodNotAllowed(std::string_view method, std::string_view path,
                            std::string_view allowed) {
  HttpAnswer answer =
      jsonAnswer(405, {{"error", "method_not_allowed"},
                       {"message", quoted(method) + " " + std::string(path) +
                                       " is not allowed; use " + std::string(allowed)}});
  answer.headers.emplace_back("Allow", std::string(allowed));
  return answer;
}

}  // namespace

RequestHandler::RequestHandler(const ServeOptions& options, const DataSetCatalog& catalog,
                               ConsumerPool& pool, Metrics& metrics)
    : maxBody_(options.maxBody),
      maxAnswerItems_(options.maxAnswerItems),
      allowOrigin_(options.allowOrigin),
      catalog_(catalog),
      pool_(pool),
      metrics_(metrics) {}

HttpAnswer RequestHandler::handle(const HttpRequest& request) const {
  const auto start = std::chrono::steady_clock::now();
  // The headers allocate too: a failure there turns into an error answer
  // like a failure in the endpoint.
  const auto finish = [&](HttpAnswer& answer) {
    decorate(answer);
    if (!answer.stream) {
      answer.headers.emplace_back("Server-Timing",
                                  serverTiming(std::chrono::steady_clock::now() - start));
    }
  };
  HttpAnswer answer;
  try {
    answer = route(request);
    finish(answer);
  } catch (...) {
    answer = failureAnswer(request);
    finish(answer);
  }
  return answer;
}

HttpAnswer RequestHandler::failureAnswer(const HttpRequest& request) {
  try {
    throw;
  } catch (const ApiError& e) {
    return jsonAnswer(e.status(), {{"error", e.code()}, {"message", e.what()}});
  } catch (const std::bad_alloc&) {
    return jsonAnswer(503, {{"error", "out_of_memory"},
                            {"message", "the server ran out of memory for this request"}});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "browse serve: %.*s %.*s failed: %s\n",
                 static_cast<int>(request.method.size()), request.method.data(),
                 static_cast<int>(std::min(request.path.size(), kQuotedPathBytes)),
                 request.path.data(), e.what());
    return jsonAnswer(500, {{"error", "internal"}, {"message", "the server failed"}});
  }
}

HttpAnswer RequestHandler::errorAnswer(int status, const std::string& code,
                                       const std::string& message) const {
  HttpAnswer answer = jsonAnswer(status, {{"error", code}, {"message", message}});
  decorate(answer);
  return answer;
}

HttpAnswer RequestHandler::route(const HttpRequest& request) const {
  struct Endpoint {
    std::string_view path;
    std::string_view method;
  };
  static constexpr Endpoint kEndpoints[] = {{"/v1/browse", "POST"},
                                            {"/v1/datasets", "GET"},
                                            {"/healthz", "GET"},
                                            {"/metrics", "GET"},
                                            {"/v1/export", "GET"}};
  const auto endpoint = std::find_if(std::begin(kEndpoints), std::end(kEndpoints),
                                     [&](const Endpoint& e) { return e.path == request.path; });
  if (endpoint == std::end(kEndpoints)) {
    if (const PageFile* file = findPageFile(request.path)) return pageFile(request.method, *file);
    throw ApiError(404, "not_found", "no endpoint " + quoted(request.path));
  }
  const bool allowed =
      request.method == endpoint->method || (endpoint->method == "GET" && isGet(request.method));
  if (!allowed) {
    if (request.method == "OPTIONS" && !allowOrigin_.empty()) return preflight();
    return methodNotAllowed(request.method, endpoint->path, endpoint->method);
  }
  if (endpoint->path == "/v1/browse") return browse(request);
  if (endpoint->path == "/v1/datasets") return dataSets();
  if (endpoint->path == "/v1/export") return exportDataSet(request);
  if (endpoint->path == "/healthz") return jsonAnswer(200, {{"status", "ok"}});
  return {200, kPrometheusText, {}, metrics_.prometheusText()};
}

HttpAnswer RequestHandler::browse(const HttpRequest& http) const {
  const std::string_view body = http.body;
  if (body.size() > maxBody_) {
    throw ApiError(
        413, "too_large",
        "the request body is larger than " + std::to_string(maxBody_) + " bytes (--max-body)");
  }
  databrowse::BrowseRequest request = parseRequest(body);
  const std::string dataSet = firstPath(request);
  if (dataSet.empty()) {
    throw ApiError(400, "bad_request", "the request names no data set in paths[0].path");
  }
  checkDataSetParameter(http, dataSet);
  checkRequestShape(request);
  DataSetFile file = catalog_.open(dataSet);

  std::vector<databrowse::BrowseResponse> responses;
  CTzError result;
  {
    ConsumerPool::Lease lease =
        pool_.acquire({dataSet, sortFields(request)}, file.version(),
                      [&](ConsumerPool::ItemSink& sink) { readItems(dataSet, file, sink); });
    BrowseResponseCache& cache = lease.consumer().cache();
    if (!cache.canServeRequest(request)) {
      throw std::logic_error("the pooled consumer of " + dataSet + " holds another path");
    }
    checkAnswerItems(request, cache.itemCount(), maxAnswerItems_);
    result = lease.consumer().getResults(request, responses);
  }
  if (!result.isSuccess()) {
    throw ApiError(
        500, "sort_failed",
        "getResults failed with code " + std::to_string(result.code()) + ": " + result.message());
  }
  // Written after the consumer is free for the next request: the responses
  // are copies.
  HttpAnswer answer{200, kJson, {}, databrowse::toJson(responses, 2)};
  answer.body += '\n';
  return answer;
}

HttpAnswer RequestHandler::dataSets() const {
  const DataSetCatalog::Listing listing = catalog_.list();
  // Written as text: destroying a JSON object or array allocates, and a
  // destructor that fails for want of memory ends the process.
  std::string body = "{\"datasets\":[";
  for (const DataSetInfo& dataSet : listing.dataSets) {
    const std::optional<std::size_t> items = pool_.itemCount(dataSet.path, dataSet.version);
    if (body.back() != '[') body += ',';
    body += "{\"path\":" + jsonText(Json(dataSet.path)) +
            ",\"bytes\":" + std::to_string(dataSet.version.size) +
            ",\"items\":" + (items ? std::to_string(*items) : std::string("null")) + '}';
  }
  body += listing.truncated ? "],\"truncated\":true}" : "],\"truncated\":false}";
  return {200, kJson, {}, std::move(body)};
}

HttpAnswer RequestHandler::exportDataSet(const HttpRequest& request) const {
  auto what = std::make_shared<const ExportRequest>(parseExportRequest(request.query));
  DataSetFile file = catalog_.open(what->dataSet);
  const FileVersion version = file.version();
  // The first page is read before the answer starts, so that a collection
  // that fails still has its status.
  auto first = std::make_shared<ExportPage>(exportPage(*what, file, 0));
  HttpAnswer answer{200, exportContentType(what->format), {}, ""};
  answer.headers.emplace_back("Content-Disposition",
                              "attachment; filename=\"" + exportFileName(*what) + "\"");
  answer.stream = [this, what, version, first](const std::function<bool(std::string_view)>& write) {
    streamExport(*what, version, std::move(*first), write);
  };
  return answer;
}

RequestHandler::ExportPage RequestHandler::exportPage(const ExportRequest& what, DataSetFile& file,
                                                      std::size_t offset) const {
  databrowse::BrowseRequest request = exportPageRequest(what, offset, kExportPageItems);
  std::vector<databrowse::BrowseResponse> responses;
  ExportPage page;
  CTzError result;
  {
    // Held for one page only: the consumer serves other requests while the
    // page goes to the client.
    ConsumerPool::Lease lease =
        pool_.acquire({what.dataSet, what.fields}, file.version(),
                      [&](ConsumerPool::ItemSink& sink) { readItems(what.dataSet, file, sink); });
    page.dataSetItems = lease.consumer().cache().itemCount();
    result = lease.consumer().getResults(request, responses);
  }
  if (!result.isSuccess()) {
    throw ApiError(
        500, "sort_failed",
        "getResults failed with code " + std::to_string(result.code()) + ": " + result.message());
  }
  page.items = std::move(responses.at(0).result(true).items(true));
  return page;
}

void RequestHandler::streamExport(const ExportRequest& what, const FileVersion& version,
                                  ExportPage page,
                                  const std::function<bool(std::string_view)>& write) const {
  try {
    std::string text = exportHeader(what.format);
    std::size_t offset = 0;
    for (;;) {
      for (const databrowse::BrowseData& item : page.items) {
        appendExportRow(text, what.format, item);
      }
      offset += page.items.size();
      if (!text.empty() && !write(text)) return;
      if (page.items.empty() || offset >= page.dataSetItems) return;
      text.clear();
      // A consumer collected again must see the content the export began with.
      DataSetFile file = catalog_.open(what.dataSet);
      if (!(file.version() == version)) {
        throw std::runtime_error("the data set changed during the export");
      }
      page = exportPage(what, file, offset);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "browse serve: the export of %.*s stopped: %s\n",
                 static_cast<int>(std::min(what.dataSet.size(), kQuotedPathBytes)),
                 what.dataSet.data(), e.what());
    throw;
  }
}

HttpAnswer RequestHandler::pageFile(std::string_view method, const PageFile& file) const {
  if (!isGet(method)) return methodNotAllowed(method, file.path, "GET");
  HttpAnswer answer{200, std::string(file.contentType), {}, std::string(file.bytes)};
  answer.headers.emplace_back("Content-Security-Policy", kPagePolicy);
  return answer;
}

HttpAnswer RequestHandler::preflight() const {
  HttpAnswer answer{204, "", {}, ""};
  answer.headers = {{"Access-Control-Allow-Methods", "GET, POST, OPTIONS"},
                    {"Access-Control-Allow-Headers", "Content-Type"},
                    {"Access-Control-Max-Age", "600"}};
  return answer;
}

void RequestHandler::decorate(HttpAnswer& answer) const {
  // Room for these and Server-Timing, so that the list grows once.
  answer.headers.reserve(answer.headers.size() + 4);
  answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
  answer.headers.emplace_back("Cache-Control", "no-store");
  if (!allowOrigin_.empty())
    answer.headers.emplace_back("Access-Control-Allow-Origin", allowOrigin_);
}

}  // namespace browse::serve
