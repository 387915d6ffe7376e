// browse session: runs JSON Lines operations against long-lived consumers.
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BrowseResponseHandler.h"
#include "Commands.h"
#include "Io.h"
#include "SessionOperation.h"

namespace browse {

namespace {

using Json = nlohmann::ordered_json;

std::string dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// {"op":"getResults","line":N,"error":null|{"code":C,"message":M},"responses":[...]}
std::string resultsLine(std::size_t line, const CTzError& result,
                        const std::vector<databrowse::BrowseResponse>& responses) {
  const Json error = result.isSuccess()
                         ? Json(nullptr)
                         : Json{{"code", result.code()}, {"message", result.message()}};
  return R"({"op":"getResults","line":)" + dump(Json(line)) + R"(,"error":)" + dump(error) +
         R"(,"responses":)" + databrowse::toJson(responses) + "}";
}

std::string canServeLine(std::size_t line, bool value) {
  return dump(Json{{"op", "canServeRequest"}, {"line", line}, {"value", value}});
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

}  // namespace

int runSession(const SessionOptions& options) {
  LineReader input(options.file);
  // A host that drives the session through a pipe sees each answer at once.
  Output output(!input.isRegularFile());
  Session session;
  OperationReader reader;
  std::string_view line;
  while (input.next(line)) {
    if (isBlank(line)) continue;
    const std::string where = input.name() + ":" + std::to_string(input.lineNumber());
    Operation operation;
    try {
      operation = reader.read(databrowse::PaddedJson{line});
    } catch (const databrowse::JsonError& e) {
      throw InputError(where, e.what());
    }
    std::string answer;
    try {
      answer = session.run(operation, input.lineNumber());
    } catch (const std::exception& e) {
      throw std::runtime_error(where + ": op \"" + operationName(operation.kind) +
                               "\" failed: " + e.what());
    }
    if (!answer.empty()) output.line(answer);
  }
  output.flush();
  return kExitOk;
}

}  // namespace browse
