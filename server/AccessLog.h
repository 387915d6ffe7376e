// One line per answered request: time, method, path, status, body bytes and
// microseconds, and whether the answer was cut short, as text or as a JSON
// object.
//
// Thread safety: write() may run on any number of threads at once; each line
// goes out in one write(2), so lines never interleave.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "ServeOptions.h"

namespace browse::serve {

struct LogRecord {
  std::chrono::system_clock::time_point time;
  std::string_view method;
  std::string_view path;
  int status = 0;
  std::size_t bytes = 0;
  std::chrono::microseconds took{0};
  // False when the answer was cut short after its status went out (the
  // client left, a write timed out or the answer's stream failed).
  bool complete = true;
};

class AccessLog {
 public:
  // Writes to `fd`, which it does not own.
  AccessLog(int fd, LogFormat format) : fd_(fd), format_(format) {}

  void write(const LogRecord& record) const;

  // The line of `record` with its '\n'. Text lines read
  //   2026-01-02T03:04:05.678Z POST /v1/browse 200 14523 812
  // with the path's bytes outside printable ASCII written as %XX; JSON lines
  //   {"time":"...","method":"POST","path":"/v1/browse","status":200,
  //    "bytes":14523,"us":812}
  // An answer cut short ends its text line with " incomplete" and its JSON
  // object with "complete":false.
  static std::string line(const LogRecord& record, LogFormat format);

 private:
  int fd_;
  LogFormat format_;
};

}  // namespace browse::serve
