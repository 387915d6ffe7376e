// The error answer of the browse service: an HTTP status and the JSON body
// {"error": CODE, "message": TEXT}.
#pragma once

#include <stdexcept>
#include <string>

namespace browse::serve {

// Thrown by the service's parts for a request they cannot answer; the request
// handler turns it into the answer. The message names nothing outside the
// request (no file system path of the server).
class ApiError : public std::runtime_error {
 public:
  ApiError(int status, std::string code, const std::string& message)
      : std::runtime_error(message), status_(status), code_(std::move(code)) {}

  int status() const noexcept { return status_; }
  // A short machine-readable name, as "bad_request" or "not_found".
  const std::string& code() const noexcept { return code_; }

 private:
  int status_;
  std::string code_;
};

}  // namespace browse::serve
