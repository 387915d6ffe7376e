#include "HttpServer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "ConnectionQueue.h"

namespace browse::serve {

namespace {

using Clock = std::chrono::steady_clock;

// When the current request's headers were read, on the thread serving it;
// cpp-httplib serves a connection's requests one after another on one thread.
thread_local Clock::time_point requestStart;
thread_local bool requestStarted = false;
// The bytes of the current answer's streamed body, for its log line; the
// stream runs on the thread that logs the request after it.
thread_local std::size_t streamedBytes = 0;

// The longest pause of the housekeeping thread.
constexpr std::chrono::seconds kHousekeepingPeriod{1};

// SO_REUSEADDR lets a restarted server bind at once; cpp-httplib's default
// SO_REUSEPORT would let a second server share the port unnoticed.
void listeningSocketOptions(socket_t socket) {
  const int yes = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

// Sends a streamed answer chunked. The answer ends with its last chunk only
// when the stream completed; a client that went away, or a stream that
// threw, closes the connection.
void applyStream(HttpAnswer&& answer, httplib::Response& response) {
  response.set_chunked_content_provider(
      answer.contentType,
      [stream = std::move(answer.stream)](std::size_t, httplib::DataSink& sink) {
        bool open = true;
        try {
          stream([&](std::string_view piece) {
            // An empty chunk would end the body.
            if (open && !piece.empty()) open = sink.write(piece.data(), piece.size());
            if (open) streamedBytes += piece.size();
            return open;
          });
        } catch (...) {
          return false;
        }
        if (open) sink.done();
        return open;
      });
}

void apply(HttpAnswer&& answer, httplib::Response& response) {
  response.status = answer.status;
  for (auto& [name, value] : answer.headers) response.set_header(name, value);
  if (answer.stream) return applyStream(std::move(answer), response);
  if (!answer.contentType.empty()) response.set_header("Content-Type", answer.contentType);
  response.body = std::move(answer.body);
}

}  // namespace

HttpServer::HttpServer(const ServeOptions& options, const RequestHandler& handler,
                       ConsumerPool& pool, Metrics& metrics, const AccessLog& log)
    : options_(options), handler_(handler), pool_(pool), metrics_(metrics), log_(log) {
  server_.new_task_queue = [this] {
    return new ConnectionQueue(options_.threads, options_.maxConnections, metrics_);
  };
  server_.set_socket_options(listeningSocketOptions);
  server_.set_tcp_nodelay(true);
  server_.set_keep_alive_max_count(options_.keepAliveRequests);
  server_.set_keep_alive_timeout(options_.keepAliveTimeout.count());
  server_.set_read_timeout(options_.readTimeout.count());
  server_.set_write_timeout(options_.writeTimeout.count());
  server_.set_payload_max_length(options_.maxBody);

  server_.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        requestStart = Clock::now();
        requestStarted = true;
        // cpp-httplib 0.11.4 cuts every answer by the request's Range header,
        // with no bound on the number of ranges: a thousand ranges make an
        // answer a thousand times its size. The service serves no ranges. The
        // request is the library's own non-const object, handed here as const.
        const_cast<httplib::Request&>(request).ranges.clear();
        if (!ConnectionQueue::refusing()) return httplib::Server::HandlerResponse::Unhandled;
        apply(handler_.errorAnswer(503, "overloaded",
                                   "the server holds its maximum of connections; retry later"),
              response);
        response.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
      });
  const auto route = [this](const httplib::Request& request, httplib::Response& response) {
    this->route(request, response);
  };
  // Every path and method goes to the handler, which routes by itself.
  server_.Get(".*", route);
  server_.Post(".*", route);
  server_.Put(".*", route);
  server_.Delete(".*", route);
  server_.Patch(".*", route);
  server_.Options(".*", route);
  server_.set_error_handler(httplib::Server::HandlerWithResponse(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        answerLibraryError(request, response);
        return httplib::Server::HandlerResponse::Handled;
      }));
  server_.set_exception_handler(
      [this](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        apply(handler_.errorAnswer(500, "internal", "the server failed"), response);
      });
  server_.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    this->log(request, response);
  });
}

int HttpServer::bind() {
  const ListenAddress& address = options_.listen;
  errno = 0;
  int port = address.port;
  if (port == 0) {
    port = server_.bind_to_any_port(address.host);
  } else if (!server_.bind_to_port(address.host, port)) {
    port = -1;
  }
  if (port < 0) {
    const int error = errno;
    throw std::runtime_error("cannot listen on " + urlOf(address) +
                             (error != 0 ? std::string(": ") + std::strerror(error) : ""));
  }
  return port;
}

bool HttpServer::serve() {
  {
    std::lock_guard lock(houseMutex_);
    serving_ = true;
  }
  std::thread housekeeper([this] { keepHouse(); });
  const bool served = server_.listen_after_bind();
  {
    std::lock_guard lock(houseMutex_);
    serving_ = false;
  }
  houseWake_.notify_all();
  housekeeper.join();
  return served;
}

void HttpServer::stop() { server_.stop(); }

void HttpServer::route(const httplib::Request& request, httplib::Response& response) const {
  std::vector<std::pair<std::string_view, std::string_view>> query(request.params.begin(),
                                                                   request.params.end());
  apply(handler_.handle(
            {.method = request.method, .path = request.path, .body = request.body, .query = query}),
        response);
}

// Errors that cpp-httplib answers before a handler runs: a malformed request
// (400), a body over the limit (413), a request line too long (414), a
// refused range (416).
void HttpServer::answerLibraryError(const httplib::Request&, httplib::Response& response) const {
  std::string code = "bad_request";
  std::string message = "the request is not valid HTTP";
  if (response.status == 413) {
    code = "too_large";
    message = "the request body is larger than " + std::to_string(options_.maxBody) +
              " bytes (--max-body)";
  } else if (response.status == 414) {
    code = "uri_too_long";
    message = "the request line is too long";
  } else if (response.status != 400) {
    code = "http_error";
    message = "the request was refused with HTTP status " + std::to_string(response.status);
  }
  const int status = response.status;
  apply(handler_.errorAnswer(status, code, message), response);
}

void HttpServer::log(const httplib::Request& request, const httplib::Response& response) const {
  std::chrono::microseconds took{0};
  if (requestStarted) {
    took = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - requestStart);
    requestStarted = false;
  }
  metrics_.countRequest(response.status, took);
  log_.write({std::chrono::system_clock::now(), request.method, request.path, response.status,
              response.body.size() + streamedBytes, took});
  streamedBytes = 0;
}

void HttpServer::keepHouse() {
  const auto period = std::min<Clock::duration>(
      kHousekeepingPeriod,
      std::max<Clock::duration>(options_.idleTimeout / 4, std::chrono::milliseconds(10)));
  std::unique_lock lock(houseMutex_);
  while (serving_) {
    houseWake_.wait_for(lock, period);
    lock.unlock();
    pool_.expireIdle();
    lock.lock();
  }
}

}  // namespace browse::serve
