// The commands of the browse host. Each returns the process exit status and
// throws InputError for bad input, OutOfMemory (or std::bad_alloc) when
// memory runs out and std::exception for other failures; runCommand turns
// all of them into a message and a status.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "Io.h"

namespace browse {

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;   // unreadable file, failed operation, write error,
                                         // out of memory
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

// Receives the message of a failed command, without the "browse: " prefix.
using ReportFailure = std::function<void(const char* message)>;

// The commands, writing to `output`; they flush it only when they need to.
int runSession(const SessionOptions& options, StdoutSink& output);
int runQuery(const QueryOptions& options, LineSink& output);
int runGenerate(const GenerateOptions& options, LineSink& output);

// Runs a session exactly as `browse session` does, in-process: reads
// operations from `input`, runs them against consumers that live for this
// call, writes the answers to `output` and returns the exit status. Unless
// the status is kExitOk, `report` has received the message that `browse`
// prints on stderr (and a second one when `output` could not be flushed
// after the failure; see runCommand). Throws nothing.
int runSession(LineReader& input, LineSink& output, const ReportFailure& report) noexcept;

// Runs browse with the arguments of main() and returns the exit status.
int runBrowse(int argc, char** argv) noexcept;

// Runs `command`, then flushes `output`, and returns the command's status.
// When either throws, flushes what `output` holds (so that everything the
// command wrote comes first), hands the message to `report` and returns
// kExitBadInput for InputError and kExitFailure for anything else. A
// std::bad_alloc that says no more is reported as "out of memory while
// ACTIVITY". When that last flush fails too, `report` then receives the
// flush's message as well, unless it is the failure already reported.
// Throws nothing.
int runCommand(const std::function<int()>& command, LineSink& output, const ReportFailure& report,
               const char* activity) noexcept;

}  // namespace browse
