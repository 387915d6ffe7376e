// The HTTP layer of the browse service, on cpp-httplib: turns each HTTP
// request into a call of the request handler and its answer into the HTTP
// answer, logs it and counts it. Parsing, keep-alive, chunked bodies and the
// read and write timeouts are cpp-httplib's; the connection bound is the
// ConnectionQueue's. While it serves, a housekeeping thread drops the pool's
// idle consumers.
//
// Thread safety: stop() may be called from any thread, once serve() runs or
// before; the other operations belong to one thread.
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <mutex>

#include "AccessLog.h"
#include "ConsumerPool.h"
#include "Metrics.h"
#include "RequestHandler.h"
#include "ServeOptions.h"

namespace browse::serve {

class HttpServer {
 public:
  // Uses, and does not own, the handler, pool, metrics and log.
  HttpServer(const ServeOptions& options, const RequestHandler& handler, ConsumerPool& pool,
             Metrics& metrics, const AccessLog& log);
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Binds the listening socket to options.listen and returns the port (the
  // one the system chose for port 0). Throws std::runtime_error naming the
  // address when it cannot.
  int bind();

  // Serves until stop(); returns when every accepted connection has been
  // served and closed. Returns false when the listening socket failed.
  bool serve();

  // Stops accepting connections and lets serve() finish the requests in
  // flight; connections then close after their current request.
  void stop();

 private:
  void route(const httplib::Request& request, httplib::Response& response) const;
  void answerLibraryError(const httplib::Request& request, httplib::Response& response) const;
  void log(const httplib::Request& request, const httplib::Response& response) const;
  void keepHouse();

  const ServeOptions& options_;
  const RequestHandler& handler_;
  ConsumerPool& pool_;
  Metrics& metrics_;
  const AccessLog& log_;
  httplib::Server server_;
  std::mutex houseMutex_;
  std::condition_variable houseWake_;
  bool serving_ = false;
};

}  // namespace browse::serve
