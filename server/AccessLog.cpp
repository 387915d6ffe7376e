#include "AccessLog.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace browse::serve {

namespace {

// Log lines are cut to this many bytes of path.
constexpr std::size_t kLoggedPathBytes = 1024;

std::string utcTime(std::chrono::system_clock::time_point time) {
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<int>(millis % 1000));
  return text;
}

// The path with every byte that could end or disguise a log field escaped.
std::string printable(std::string_view path) {
  std::string text;
  for (const char c : path.substr(0, kLoggedPathBytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && c != '%') {
      text += c;
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      text += escaped;
    }
  }
  return text;
}

}  // namespace

std::string AccessLog::line(const LogRecord& record, LogFormat format) {
  if (format == LogFormat::kJson) {
    const nlohmann::ordered_json object = {
        {"time", utcTime(record.time)},
        {"method", std::string(record.method.substr(0, 16))},
        {"path", std::string(record.path.substr(0, kLoggedPathBytes))},
        {"status", record.status},
        {"bytes", record.bytes},
        {"us", record.took.count()}};
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  return utcTime(record.time) + " " + printable(record.method.substr(0, 16)) + " " +
         printable(record.path) + " " + std::to_string(record.status) + " " +
         std::to_string(record.bytes) + " " + std::to_string(record.took.count()) + "\n";
}

void AccessLog::write(const LogRecord& record) const {
  const std::string text = line(record, format_);
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(fd_, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    // A log that cannot be written must not stop the service.
    if (wrote <= 0) return;
    done += static_cast<std::size_t>(wrote);
  }
}

}  // namespace browse::serve
