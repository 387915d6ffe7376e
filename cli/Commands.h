// The commands of the browse host. Each returns the process exit status and
// throws InputError for bad input and std::exception for other failures;
// runCommand turns both into a message on stderr and a status.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

namespace browse {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // unreadable file, failed operation, write error
inline constexpr int kExitBadInput = 2;  // bad usage or bad input

// Bad input, reported as "browse: WHERE: PROBLEM" with status kExitBadInput.
// WHERE is "FILE:LINE" for line-oriented input and "FILE" otherwise.
class InputError : public std::runtime_error {
 public:
  InputError(const std::string& where, const std::string& problem)
      : std::runtime_error(where + ": " + problem) {}
};

struct SessionOptions {
  std::string file = "-";
};

struct QueryOptions {
  std::string items;
  std::string request;
};

struct GenerateOptions {
  std::uint64_t count = 0;
  std::uint64_t seed = 1;
};

int runSession(const SessionOptions& options);
int runQuery(const QueryOptions& options);
int runGenerate(const GenerateOptions& options);

// Runs a command: flushes its output, and reports an exception on stderr as
// "browse: MESSAGE" after everything already written to stdout.
int runCommand(const std::function<int()>& command);

}  // namespace browse
