// The HTTP layer of the browse service, on Boost.Beast: turns each HTTP
// request into a call of the request handler and its answer into the HTTP
// answer, logs it and counts it.
//
// An Asio event loop run by `threads` threads serves every connection: a
// connection holds a thread only while its request is being answered, so
// many kept-alive connections cost no thread each. Parsing, keep-alive and
// chunked bodies are Beast's; this layer adds the read, keep-alive and write
// timeouts, the bound on connections (past it a connection's request is
// answered 503 and the connection closed), the limits of the request line
// and body, and the shutdown. While it serves, a housekeeping thread drops
// the pool's idle consumers.
//
// Thread safety: stop() may be called from any thread, once serve() runs or
// before; the other operations belong to one thread.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "AccessLog.h"
#include "ConsumerPool.h"
#include "Metrics.h"
#include "RequestHandler.h"
#include "ServeOptions.h"

namespace browse::serve {

class HttpServer {
 public:
  // What the server answers: every request, and the errors that it finds
  // itself (status, code, message).
  struct Answers {
    std::function<HttpAnswer(const HttpRequest&)> request;
    std::function<HttpAnswer(int, const std::string&, const std::string&)> error;
  };

  // Uses, and does not own, the handler, pool, metrics and log.
  HttpServer(const ServeOptions& options, const RequestHandler& handler, ConsumerPool& pool,
             Metrics& metrics, const AccessLog& log);
  // The same with answers of the caller's (the transport's tests).
  HttpServer(const ServeOptions& options, Answers answers, ConsumerPool& pool, Metrics& metrics,
             const AccessLog& log);
  ~HttpServer();
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
  struct Transport;
  void keepHouse();

  const ServeOptions& options_;
  ConsumerPool& pool_;
  std::unique_ptr<Transport> transport_;
  std::mutex houseMutex_;
  std::condition_variable houseWake_;
  bool serving_ = false;
};

}  // namespace browse::serve
