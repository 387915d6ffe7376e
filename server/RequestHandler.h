// The browse service's answers, without sockets: a request's method, path and
// body in; status, headers and body out. The HTTP layer, the tests and the
// fuzzer all drive it directly.
//
// Endpoints:
//   POST /v1/browse    body: one browse request as `browse query --request`
//                      reads it; answer: exactly what `browse query` prints
//                      for the data set's items and that request. The query
//                      parameter `dataset`, optional, repeats the body's
//                      first path so that a proxy can route by it; another
//                      data set there is a 400
//   GET  /v1/datasets  the data sets under the data directory
//   GET  /healthz      {"status":"ok"}
//   GET  /metrics      Prometheus text format
//   GET  /v1/export    a whole data set in one order, as CSV or JSON Lines,
//                      streamed (Export.h)
//   GET  /             the browse page; its files under /page/ (PageFiles.h)
// Errors have the body {"error": CODE, "message": TEXT}: 400 for a bad request
// (a malformed body has the message `browse query` gives), 404 for an unknown
// data set or endpoint, 405 for a wrong method, 413 for a body over the limit,
// 503 when memory does not allow the answer. Bad input never gets a 500.
//
// Every answer that handle() makes at once carries the header Server-Timing
// with the time the handler took.
//
// Thread safety: handle() and the streams of its answers may run on any
// number of threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ConsumerPool.h"
#include "DataSetCatalog.h"
#include "Export.h"
#include "Metrics.h"
#include "PageFiles.h"
#include "ServeOptions.h"

namespace browse::serve {

struct HttpRequest {
  std::string_view method;  // "GET", "HEAD", "POST"...
  std::string_view path;    // decoded, without the query
  std::string_view body;
  // The request's headers as received; look names up case-insensitively.
  std::vector<std::pair<std::string_view, std::string_view>> headers{};
  // The query string's parameters, decoded, in order.
  std::vector<std::pair<std::string_view, std::string_view>> query{};
};

struct HttpAnswer {
  int status = 200;
  std::string contentType;
  std::vector<std::pair<std::string, std::string>> headers;  // besides Content-Type
  std::string body;
  // When set, the body is produced piece by piece and sent chunked: the
  // function calls `write` for each piece and stops when it returns false
  // (the client went away). It throws when it cannot complete the body; the
  // transport then ends the answer without its last chunk, so that the client
  // sees it incomplete. It runs after handle() returned, once.
  std::function<void(const std::function<bool(std::string_view)>& write)> stream{};
};

class RequestHandler {
 public:
  // Uses, and does not own, the catalog, pool and metrics; they must outlive
  // the handler. Reads maxBody, maxAnswerItems and allowOrigin of `options`.
  RequestHandler(const ServeOptions& options, const DataSetCatalog& catalog, ConsumerPool& pool,
                 Metrics& metrics);

  // The answer to `request`. Throws nothing but std::bad_alloc, when memory
  // fails again while the error answer to a failure is made.
  HttpAnswer handle(const HttpRequest& request) const;

  // An error answer with the headers of every answer, for errors that the
  // HTTP layer finds itself.
  HttpAnswer errorAnswer(int status, const std::string& code, const std::string& message) const;

 private:
  HttpAnswer route(const HttpRequest& request) const;
  // The error answer to the exception being handled.
  static HttpAnswer failureAnswer(const HttpRequest& request);
  HttpAnswer browse(const HttpRequest& request) const;
  HttpAnswer dataSets() const;
  HttpAnswer exportDataSet(const HttpRequest& request) const;
  HttpAnswer pageFile(std::string_view method, const PageFile& file) const;
  HttpAnswer preflight() const;
  void decorate(HttpAnswer& answer) const;

  struct ExportPage {
    std::vector<databrowse::BrowseData> items;
    std::size_t dataSetItems = 0;
  };
  // The export's items from `offset` on, at most kExportPageItems, read from
  // the pooled consumer (collected from `file` when the pool lacks it).
  ExportPage exportPage(const ExportRequest& request, DataSetFile& file, std::size_t offset) const;
  void streamExport(const ExportRequest& request, const FileVersion& version, ExportPage page,
                    const std::function<bool(std::string_view)>& write) const;

  const std::uint64_t maxBody_;
  const std::uint64_t maxAnswerItems_;
  const std::string allowOrigin_;
  const DataSetCatalog& catalog_;
  ConsumerPool& pool_;
  Metrics& metrics_;
};

}  // namespace browse::serve
