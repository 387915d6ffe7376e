#include "AccessLog.h"

#include <unistd.h>

#include <cerrno>
#include <charconv>
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

// Appends the path with every byte that could end or disguise a log field
// escaped.
void appendPrintable(std::string& text, std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : path.substr(0, kLoggedPathBytes)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte > 0x20 && byte < 0x7f && c != '%') {
      text += c;
    } else {
      const char escaped[3] = {'%', kHex[byte >> 4], kHex[byte & 0xF]};
      text.append(escaped, sizeof escaped);
    }
  }
}

template <class Number>
void appendNumber(std::string& text, Number value) {
  char digits[24];
  text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
}

}  // namespace

std::string AccessLog::line(const LogRecord& record, LogFormat format) {
  if (format == LogFormat::kJson) {
    nlohmann::ordered_json object = {{"time", utcTime(record.time)},
                                     {"method", std::string(record.method.substr(0, 16))},
                                     {"path", std::string(record.path.substr(0, kLoggedPathBytes))},
                                     {"status", record.status},
                                     {"bytes", record.bytes},
                                     {"us", record.took.count()}};
    if (!record.complete) object["complete"] = false;
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  }
  // Built in place: one line per request.
  std::string text = utcTime(record.time);
  text.reserve(text.size() + 80 + record.path.size());
  text += ' ';
  appendPrintable(text, record.method.substr(0, 16));
  text += ' ';
  appendPrintable(text, record.path);
  text += ' ';
  appendNumber(text, record.status);
  text += ' ';
  appendNumber(text, record.bytes);
  text += ' ';
  appendNumber(text, record.took.count());
  if (!record.complete) text += " incomplete";
  text += '\n';
  return text;
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
