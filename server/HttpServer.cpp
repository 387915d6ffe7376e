#include "HttpServer.h"

#include <httplib.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "ResponseHead.h"

namespace browse::serve {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using Request = http::request<http::string_body>;

// The longest pause of the housekeeping thread.
constexpr std::chrono::seconds kHousekeepingPeriod{1};
// The longest request line; longer ones are answered 414.
constexpr std::size_t kMaxTargetBytes = 8192;
// The request line and headers together.
constexpr std::uint32_t kMaxHeaderBytes = 64 * 1024;
// Connections past the bound whose request is read to answer it 503; past
// these, new connections are closed at once.
constexpr std::size_t kMaxRefused = 64;
// How long a closing connection waits for the client to close its end, so
// that an answer is not lost to a reset by the client's unread bytes.
constexpr std::chrono::seconds kLingerTimeout{1};
// The pause before accepting again when the process is out of descriptors.
constexpr std::chrono::milliseconds kAcceptRetry{100};

// A request that the parser refused, as against a connection that ended or
// timed out.
bool isParseError(const beast::error_code& error) {
  return error.category() == beast::error_code(http::error::bad_target).category() &&
         error != http::error::end_of_stream && error != http::error::partial_message;
}

std::string_view view(beast::string_view text) { return {text.data(), text.size()}; }

// The decoded name=value pairs of a query string, in order.
std::vector<std::pair<std::string, std::string>> decodedQuery(std::string_view query) {
  std::vector<std::pair<std::string, std::string>> parameters;
  while (!query.empty()) {
    const std::size_t end = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, end);
    query.remove_prefix(std::min(end + 1, query.size()));
    if (pair.empty()) continue;
    const std::size_t equals = std::min(pair.find('='), pair.size());
    parameters.emplace_back(httplib::detail::decode_url(std::string(pair.substr(0, equals)), true),
                            httplib::detail::decode_url(
                                std::string(pair.substr(std::min(equals + 1, pair.size()))), true));
  }
  return parameters;
}

}  // namespace

struct HttpServer::Transport {
  class Session;

  Transport(const ServeOptions& options, Answers answers, Metrics& metrics, const AccessLog& log)
      : options(options),
        answers(std::move(answers)),
        metrics(metrics),
        log(log),
        acceptor(net::make_strand(context)),
        retry(acceptor.get_executor()) {}

  void accept();
  void onAccepted(const beast::error_code& error, tcp::socket socket);
  // On the acceptor's strand: closes the acceptor and the connections
  // waiting for a request.
  void close();

  const ServeOptions& options;
  const Answers answers;
  Metrics& metrics;
  const AccessLog& log;
  net::io_context context;
  // The acceptor and its retry timer live on one strand, which their
  // handlers and close() run on: the event loop's threads would otherwise
  // accept on the acceptor while a stop closes it.
  tcp::acceptor acceptor;
  net::steady_timer retry;
  std::atomic<bool> stopping{false};
  bool failed = false;  // on the acceptor's strand only

  std::mutex sessionsMutex;  // guards the two below
  std::set<std::shared_ptr<Session>> sessions;
  std::size_t refused = 0;
};

// One connection: its requests one after another, on a strand of its own.
class HttpServer::Transport::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Transport& transport, tcp::socket socket, bool refused)
      : transport_(transport), stream_(std::move(socket)), refused_(refused) {}

  void start() {
    net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->readHeader(); });
  }

  // Closes the connection when it waits for a request; one being answered
  // finishes and then closes.
  void stopIfIdle() {
    net::post(stream_.get_executor(), [self = shared_from_this()] {
      if (self->waiting_) self->stream_.socket().close();
    });
  }

 private:
  const ServeOptions& options() const { return transport_.options; }

  void readHeader() {
    if (transport_.stopping) return finish();
    parser_.emplace();
    parser_->header_limit(kMaxHeaderBytes);
    parser_->body_limit(options().maxBody);
    waiting_ = true;
    stream_.expires_after(served_ == 0 ? options().readTimeout : options().keepAliveTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                              self->onHeader(error);
                            });
  }

  void onHeader(const beast::error_code& error) {
    waiting_ = false;
    if (error) return failedRead(error);
    started_ = Clock::now();
    if (parser_->get().target().size() > kMaxTargetBytes) {
      return answerError(414, "uri_too_long", "the request line is too long");
    }
    const auto expect = parser_->get().find(http::field::expect);
    if (expect != parser_->get().end() && beast::iequals(expect->value(), "100-continue")) {
      static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
      stream_.expires_after(options().writeTimeout);
      return net::async_write(stream_, net::buffer(kContinue.data(), kContinue.size()),
                              [self = shared_from_this()](beast::error_code written, std::size_t) {
                                if (written) return self->close();
                                self->readBody();
                              });
    }
    beast::error_code refused;
    if (parseBufferedBody(refused)) return answer();
    if (refused) return failedRead(refused);
    readBody();
  }

  // Parses what the buffer holds past the header: a small request's body
  // usually arrives with it, and is then answered without another read.
  // True when the request is complete; `error` tells a body the parser
  // refused.
  bool parseBufferedBody(beast::error_code& error) {
    while (!parser_->is_done() && buffer_.size() != 0) {
      const std::size_t used = parser_->put(buffer_.data(), error);
      buffer_.consume(used);
      if (error == http::error::need_more) {
        error = {};
        return false;
      }
      if (error || used == 0) return false;
    }
    return parser_->is_done();
  }

  void readBody() {
    stream_.expires_after(options().readTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       if (error) return self->failedRead(error);
                       self->answer();
                     });
  }

  // A request that could not be read: answered when the client can still
  // take an answer, else the connection closes.
  void failedRead(const beast::error_code& error) {
    if (error == http::error::body_limit) {
      return answerError(413, "too_large",
                         "the request body is larger than " + std::to_string(options().maxBody) +
                             " bytes (--max-body)");
    }
    if (error == http::error::header_limit) {
      return answerError(431, "headers_too_large", "the request's headers are too large");
    }
    if (isParseError(error)) {
      return answerError(400, "bad_request", "the request is not valid HTTP");
    }
    close();
  }

  void answerError(int status, const std::string& code, const std::string& message) {
    if (started_ == Clock::time_point{}) started_ = Clock::now();
    keepAlive_ = false;
    method_ = parser_->get().method_string().empty()
                  ? "-"
                  : std::string(view(parser_->get().method_string()));
    path_ = std::string(view(parser_->get().target()).substr(0, kMaxTargetBytes));
    send(transport_.answers.error(status, code, message), false);
  }

  void answer() {
    Request& request = parser_->get();
    const std::string_view target = view(request.target());
    const std::size_t question = std::min(target.find('?'), target.size());
    method_ = std::string(view(request.method_string()));
    path_ = httplib::detail::decode_url(std::string(target.substr(0, question)), false);
    const auto query = decodedQuery(target.substr(std::min(question + 1, target.size())));
    HttpRequest handled{method_, path_, request.body(), {}, {}};
    for (const auto& field : request) {
      handled.headers.emplace_back(view(field.name_string()), view(field.value()));
    }
    for (const auto& [name, value] : query) handled.query.emplace_back(name, value);
    keepAlive_ = request.keep_alive() && !refused_ && ++served_ < options().keepAliveRequests;
    takesChunks_ = request.version() >= 11;
    HttpAnswer answer;
    if (refused_) {
      answer = transport_.answers.error(503, "overloaded",
                                        "the server holds its maximum of connections; retry later");
    } else {
      try {
        answer = transport_.answers.request(handled);
      } catch (...) {
        answer = transport_.answers.error(500, "internal", "the server failed");
      }
    }
    send(std::move(answer), request.method() == http::verb::head);
  }

  void send(HttpAnswer&& answer, bool head) {
    if (transport_.stopping) keepAlive_ = false;
    if (answer.stream) return sendStream(answer, head);
    bytes_ = answer.body.size();
    head_.clear();
    appendResponseHead(head_, answer, keepAlive_, bytes_);
    if (!head) body_ = std::move(answer.body);
    status_ = answer.status;
    stream_.expires_after(options().writeTimeout);
    const std::array<net::const_buffer, 2> buffers{net::buffer(head_), net::buffer(body_)};
    net::async_write(stream_, buffers,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       self->written(!error);
                     });
  }

  // A streamed body goes out chunked, written by the strand's thread as the
  // answer produces it. An HTTP/1.0 client knows no chunks: it gets the bare
  // bytes, ended by the close of the connection.
  void sendStream(HttpAnswer& answer, bool head) {
    if (!takesChunks_) keepAlive_ = false;
    http::response<http::empty_body> header;
    header.version(11);
    header.result(static_cast<unsigned>(answer.status));
    for (auto& [name, value] : answer.headers) header.insert(name, value);
    if (!answer.contentType.empty()) header.set(http::field::content_type, answer.contentType);
    header.keep_alive(keepAlive_);
    header.chunked(takesChunks_);
    status_ = answer.status;
    bytes_ = 0;
    beast::error_code error;
    http::response_serializer<http::empty_body> serializer(header);
    serializer.split(true);
    std::string headerText;
    while (!error && !serializer.is_header_done()) {
      serializer.next(error, [&](beast::error_code&, const auto& buffers) {
        headerText += beast::buffers_to_string(buffers);
        serializer.consume(net::buffer_size(buffers));
      });
    }
    tcp::socket& socket = stream_.socket();
    socket.non_blocking(true, error);
    if (!error) writeAll(net::buffer(headerText), error);
    if (!error && !head) {
      // A stream that fails midway ends the connection without the last
      // chunk, so that a client of chunks sees an incomplete answer.
      try {
        answer.stream([&](std::string_view piece) {
          if (error) return false;
          if (piece.empty()) return true;
          const net::const_buffer bytes(piece.data(), piece.size());
          if (takesChunks_) {
            writeAll(http::make_chunk(bytes), error);
          } else {
            writeAll(bytes, error);
          }
          bytes_ += piece.size();
          return !error;
        });
      } catch (...) {
        error = net::error::operation_aborted;
      }
      if (!error && takesChunks_) writeAll(http::make_chunk_last(), error);
    }
    beast::error_code ignored;
    socket.non_blocking(false, ignored);
    written(!error);
  }

  // Writes `buffers` whole on the non-blocking socket, waiting up to the
  // write timeout each time the client takes nothing: a client that stops
  // reading fails the answer rather than holding the thread.
  template <class Buffers>
  void writeAll(const Buffers& buffers, beast::error_code& error) {
    tcp::socket& socket = stream_.socket();
    beast::buffers_suffix<Buffers> left(buffers);
    const auto timeout =
        std::chrono::duration_cast<std::chrono::milliseconds>(options().writeTimeout);
    while (net::buffer_size(left) != 0) {
      const std::size_t sent = socket.write_some(left, error);
      if (error == net::error::would_block || error == net::error::try_again) {
        pollfd ready{socket.native_handle(), POLLOUT, 0};
        if (::poll(&ready, 1, static_cast<int>(timeout.count())) <= 0) {
          error = beast::error::timeout;
          return;
        }
        error = {};
        continue;
      }
      if (error) return;
      left.consume(sent);
    }
  }

  void written(bool ok) {
    const auto took =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_);
    transport_.metrics.countRequest(status_, took);
    if (!ok) transport_.metrics.countIncompleteAnswer();
    transport_.log.write(
        {std::chrono::system_clock::now(), method_, path_, status_, bytes_, took, ok});
    body_ = std::string();
    started_ = {};
    if (!ok) return close();
    if (!keepAlive_) return finish();
    readHeader();
  }

  // Ends the connection once the client has closed its end or the linger
  // timeout passed.
  void finish() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.expires_after(kLingerTimeout);
    linger();
  }

  void linger() {
    stream_.async_read_some(net::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                              if (error) return self->close();
                              self->linger();
                            });
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    stream_.socket().close(ignored);
    std::lock_guard lock(transport_.sessionsMutex);
    if (refused_) {
      --transport_.refused;
    } else {
      transport_.metrics.connectionClosed();
    }
    transport_.sessions.erase(shared_from_this());
  }

  Transport& transport_;
  beast::tcp_stream stream_;
  const bool refused_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::string head_;  // of the answer being written; its capacity kept for the next
  std::string body_;
  std::array<char, 4096> scratch_;
  bool waiting_ = false;
  bool closed_ = false;
  bool keepAlive_ = false;
  bool takesChunks_ = true;  // the client speaks HTTP/1.1 or later
  unsigned served_ = 0;
  Clock::time_point started_{};
  std::string method_;
  std::string path_;
  int status_ = 0;
  std::size_t bytes_ = 0;
};

void HttpServer::Transport::accept() {
  acceptor.async_accept(net::make_strand(context),
                        [this](beast::error_code error, tcp::socket socket) {
                          onAccepted(error, std::move(socket));
                        });
}

void HttpServer::Transport::onAccepted(const beast::error_code& error, tcp::socket socket) {
  if (error == net::error::operation_aborted || stopping) return;
  if (error) {
    if (error == net::error::no_descriptors || error == net::error::no_buffer_space ||
        error == net::error::no_memory) {
      retry.expires_after(kAcceptRetry);
      retry.async_wait([this](beast::error_code waited) {
        if (!waited && !stopping) accept();
      });
      return;
    }
    failed = true;
    return close();
  }
  beast::error_code ignored;
  socket.set_option(tcp::no_delay(true), ignored);
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(sessionsMutex);
    const std::size_t open = sessions.size() - refused;
    if (open < options.maxConnections) {
      session = std::make_shared<Session>(*this, std::move(socket), false);
      metrics.connectionOpened();
    } else {
      metrics.connectionRefused();
      if (refused < kMaxRefused) {
        session = std::make_shared<Session>(*this, std::move(socket), true);
        ++refused;
      }
    }
    if (session) sessions.insert(session);
  }
  if (session) session->start();
  accept();
}

void HttpServer::Transport::close() {
  beast::error_code ignored;
  acceptor.close(ignored);
  retry.cancel();
  std::lock_guard lock(sessionsMutex);
  for (const std::shared_ptr<Session>& session : sessions) session->stopIfIdle();
}

HttpServer::HttpServer(const ServeOptions& options, const RequestHandler& handler,
                       ConsumerPool& pool, Metrics& metrics, const AccessLog& log)
    : HttpServer(
          options,
          Answers{[&handler](const HttpRequest& request) { return handler.handle(request); },
                  [&handler](int status, const std::string& code, const std::string& message) {
                    return handler.errorAnswer(status, code, message);
                  }},
          pool, metrics, log) {}

HttpServer::HttpServer(const ServeOptions& options, Answers answers, ConsumerPool& pool,
                       Metrics& metrics, const AccessLog& log)
    : options_(options),
      pool_(pool),
      transport_(std::make_unique<Transport>(options, std::move(answers), metrics, log)) {}

HttpServer::~HttpServer() = default;

int HttpServer::bind() {
  const ListenAddress& address = options_.listen;
  try {
    tcp::resolver resolver(transport_->context);
    const tcp::endpoint endpoint =
        resolver.resolve(address.host, std::to_string(address.port))->endpoint();
    tcp::acceptor& acceptor = transport_->acceptor;
    acceptor.open(endpoint.protocol());
    // A restarted server binds at once; a second one on the port fails.
    acceptor.set_option(net::socket_base::reuse_address(true));
    acceptor.bind(endpoint);
    acceptor.listen(net::socket_base::max_listen_connections);
    return acceptor.local_endpoint().port();
  } catch (const boost::system::system_error& e) {
    throw std::runtime_error("cannot listen on " + urlOf(address) + ": " + e.code().message());
  }
}

bool HttpServer::serve() {
  {
    std::lock_guard lock(houseMutex_);
    serving_ = true;
  }
  std::thread housekeeper([this] { keepHouse(); });
  Transport& transport = *transport_;
  if (transport.stopping) {
    transport.close();
  } else {
    transport.accept();
  }
  std::vector<std::thread> threads;
  for (unsigned i = 1; i < std::max(1u, options_.threads); ++i) {
    threads.emplace_back([&transport] { transport.context.run(); });
  }
  transport.context.run();
  for (std::thread& thread : threads) thread.join();
  {
    std::lock_guard lock(houseMutex_);
    serving_ = false;
  }
  houseWake_.notify_all();
  housekeeper.join();
  return !transport.failed;
}

void HttpServer::stop() {
  transport_->stopping = true;
  net::post(transport_->acceptor.get_executor(),
            [transport = transport_.get()] { transport->close(); });
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
