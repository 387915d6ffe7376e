// browse session: runs JSON Lines operations against long-lived consumers.
#include <cstdio>
#include <map>
#include <new>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "BrowseResponseHandler.h"
#include "Commands.h"
#include "Io.h"
#include "SessionOperation.h"

namespace browse {

namespace {

// The answers are put together as text: destroying a nlohmann::json object
// or array allocates, and an allocation that fails there ends the process.

// `text` as a JSON string; invalid UTF-8 is written as U+FFFD.
std::string quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// {"op":"getResults","line":N,"error":null|{"code":C,"message":M},"responses":[...]}
std::string resultsLine(std::size_t line, const CTzError& result,
                        const std::vector<databrowse::BrowseResponse>& responses) {
  const std::string error = result.isSuccess()
                                ? "null"
                                : R"({"code":)" + std::to_string(result.code()) + R"(,"message":)" +
                                      quoted(result.message()) + "}";
  return R"({"op":"getResults","line":)" + std::to_string(line) + R"(,"error":)" + error +
         R"(,"responses":)" + databrowse::toJson(responses) + "}";
}

std::string canServeLine(std::size_t line, bool value) {
  return R"({"op":"canServeRequest","line":)" + std::to_string(line) + R"(,"value":)" +
         (value ? "true" : "false") + "}";
}

class Session {
 public:
  // Runs one operation; returns the line to print, or "" when it prints none.
  std::string run(Operation& operation, std::size_t line) {
    // Consumers are held by value: they have virtual functions but no
    // virtual destructor.
    BrowseResponseConsumer& consumer = consumers_.try_emplace(operation.consumer).first->second;
    switch (operation.kind) {
      case OperationKind::kReset:
        consumer.cache().reset(operation.request);
        return {};
      case OperationKind::kAddItem:
        consumer.addItem(operation.item);
        return {};
      case OperationKind::kServe:
        consumer.serve(operation.request);
        return {};
      case OperationKind::kGetResults: {
        std::vector<databrowse::BrowseResponse> responses;
        const CTzError result = consumer.getResults(operation.request, responses);
        return resultsLine(line, result, responses);
      }
      case OperationKind::kCanServeRequest:
        return canServeLine(line, consumer.cache().canServeRequest(operation.request));
    }
    return {};
  }

 private:
  std::map<std::string, BrowseResponseConsumer> consumers_;
};

// "FILE:LINE" of the line that the reader returned last.
std::string lineName(const LineReader& input) {
  return input.name() + ":" + std::to_string(input.lineNumber());
}

Operation readOperation(OperationReader& reader, std::string_view line, const LineReader& input) {
  try {
    return reader.read(databrowse::PaddedJson{line});
  } catch (const databrowse::JsonError& e) {
    throw InputError(lineName(input), e.what());
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("reading", input.name(), input.lineNumber());
  }
}

std::string runOperation(Session& session, Operation& operation, const LineReader& input) {
  try {
    return session.run(operation, input.lineNumber());
  } catch (const std::bad_alloc&) {
    const std::string_view op = operationName(operation.kind);
    char doing[64];
    std::snprintf(doing, sizeof doing, "running op \"%.*s\" of", static_cast<int>(op.size()),
                  op.data());
    throw OutOfMemory(doing, input.name(), input.lineNumber());
  } catch (const std::exception& e) {
    throw std::runtime_error(lineName(input) + ": op \"" + operationName(operation.kind) +
                             "\" failed: " + e.what());
  }
}

void writeAnswer(LineSink& output, std::string_view answer, const LineReader& input) {
  try {
    output.line(answer);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("writing the answer to", input.name(), input.lineNumber());
  }
}

int runLines(LineReader& input, LineSink& output) {
  Session session;
  OperationReader reader;
  std::string_view line;
  while (input.next(line)) {
    if (isBlank(line)) continue;
    Operation operation = readOperation(reader, line, input);
    const std::string answer = runOperation(session, operation, input);
    if (!answer.empty()) writeAnswer(output, answer, input);
  }
  return kExitOk;
}

}  // namespace

int runSession(LineReader& input, LineSink& output, const ReportFailure& report) noexcept {
  return runCommand([&] { return runLines(input, output); }, output, report,
                    "starting the session");
}

int runSession(const SessionOptions& options, StdoutSink& output) {
  LineReader input(options.file);
  // A host that drives the session through a pipe sees each answer at once.
  output.setFlushEachLine(!input.isRegularFile());
  return runLines(input, output);
}

}  // namespace browse
