#include "ServeOptions.h"

#include <charconv>
#include <limits>
#include <stdexcept>
#include <utility>

namespace browse::serve {

namespace {

struct Unit {
  std::string_view name;
  std::uint64_t factor;
};

constexpr std::uint64_t kKi = 1024;
constexpr std::uint64_t kK = 1000;
constexpr Unit kUnits[] = {
    {"", 1},
    {"B", 1},
    {"K", kKi},
    {"KiB", kKi},
    {"kB", kK},
    {"KB", kK},
    {"M", kKi* kKi},
    {"MiB", kKi* kKi},
    {"MB", kK* kK},
    {"G", kKi* kKi* kKi},
    {"GiB", kKi* kKi* kKi},
    {"GB", kK* kK* kK},
    {"T", kKi* kKi* kKi* kKi},
    {"TiB", kKi* kKi* kKi* kKi},
    {"TB", kK* kK* kK* kK},
};

[[noreturn]] void refuse(std::string_view text, const std::string& problem) {
  throw std::invalid_argument("'" + std::string(text) + "' " + problem);
}

}  // namespace

std::uint64_t parseByteSize(std::string_view text) {
  std::uint64_t count = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (end == text.data()) refuse(text, "is not a size (a number with K, M, G, KiB, MB...)");
  if (error == std::errc::result_out_of_range) refuse(text, "is too large");
  const std::string_view unit(end, static_cast<std::size_t>(text.data() + text.size() - end));
  for (const Unit& candidate : kUnits) {
    if (candidate.name != unit) continue;
    if (count > std::numeric_limits<std::uint64_t>::max() / candidate.factor) {
      refuse(text, "is too large");
    }
    return count * candidate.factor;
  }
  refuse(text, "has an unknown unit '" + std::string(unit) + "' (B, K, M, G, T, KiB, MB...)");
}

ListenAddress parseListenAddress(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) refuse(text, "is not HOST:PORT");
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  } else if (host.find(':') != std::string_view::npos) {
    refuse(text, "needs brackets around an IPv6 address, as in [::1]:8080");
  }
  ListenAddress address;
  address.host = host.empty() ? "127.0.0.1" : std::string(host);
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), address.port);
  if (port.empty() || error != std::errc() || end != port.data() + port.size() ||
      address.port < 0 || address.port > 65535) {
    refuse(text, "has no port from 0 to 65535");
  }
  return address;
}

std::string urlOf(const ListenAddress& address) {
  const bool ipv6 = address.host.find(':') != std::string::npos;
  return "http://" + (ipv6 ? "[" + address.host + "]" : address.host) + ":" +
         std::to_string(address.port);
}

}  // namespace browse::serve
