// The settings of `browse serve` and the parsing of their textual forms.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace browse::serve {

enum class LogFormat { kText, kJson };

// Where the server listens: a host name or address literal (an IPv6 one
// without brackets) and a port, 0 for any free one.
struct ListenAddress {
  std::string host = "127.0.0.1";
  int port = 8080;
};

struct ServeOptions {
  std::string dataDir;
  ListenAddress listen;
  // Threads of the event loop that serves every connection; a request being
  // answered holds one (a collection for as long as it reads its data set).
  unsigned threads = 64;
  // Connections held at once: being served, or accepted and waiting for a
  // worker. Past it, a new connection is answered 503 and closed.
  unsigned maxConnections = 512;
  std::uint64_t cacheMemory = std::uint64_t{1} << 30;
  std::uint64_t maxBody = std::uint64_t{1} << 20;
  std::chrono::seconds idleTimeout{600};
  // Items one answer may hold over all its queries.
  std::uint64_t maxAnswerItems = 10000;
  LogFormat log = LogFormat::kText;
  // Value of Access-Control-Allow-Origin; empty: no CORS headers.
  std::string allowOrigin;
  // A connection that sends or takes nothing for this long is closed.
  std::chrono::seconds readTimeout{5};
  std::chrono::seconds writeTimeout{5};
  // An idle kept-alive connection is closed after this long.
  std::chrono::seconds keepAliveTimeout{5};
  // Requests served on one connection before the server closes it.
  unsigned keepAliveRequests = 1000;
  // How long a stop waits for the requests in flight.
  std::chrono::seconds shutdownTimeout{10};
};

// The upper bound of maxConnections: the process's descriptors stay below
// the usual limit of 1024, with room for its data-set files and standard
// streams.
inline constexpr unsigned kMaxConnectionsLimit = 768;

// Reads a byte size: a decimal integer with an optional unit, "B", "K", "M",
// "G", "T" or "KiB", "MiB", "GiB", "TiB" (powers of 1024) or "kB", "KB",
// "MB", "GB", "TB" (powers of 1000), as in "1GiB", "512M", "1048576".
// Throws std::invalid_argument saying what is wrong.
std::uint64_t parseByteSize(std::string_view text);

// Reads "HOST:PORT", "[IPV6]:PORT" or ":PORT" (loopback). Throws
// std::invalid_argument saying what is wrong.
ListenAddress parseListenAddress(std::string_view text);

// "http://HOST:PORT", with an IPv6 host in brackets.
std::string urlOf(const ListenAddress& address);

}  // namespace browse::serve
