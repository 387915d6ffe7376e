// Runs the input as a `browse session` (JSON Lines of operations) through
// browse::runSession, the code that the command runs, and checks what a
// session promises whatever its input:
//  - the status is success, bad input or failure, and a message comes with
//    exactly the statuses that are not success;
//  - a session that stops names the line that stopped it ("<fuzz>:LINE: ..."),
//    a line of the input that is not blank and comes after every answered one;
//  - every answer is one JSON object naming its operation and its line, the
//    lines increasing;
//  - the same input gives the same answers, status and message again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "Commands.h"
#include "Io.h"

namespace {

constexpr std::size_t kMaxInput = 16384;
constexpr std::string_view kName = "<fuzz>";

[[noreturn]] void fault(const std::string& problem, const std::string& detail) {
  std::fprintf(stderr, "session_fuzzer: %s\n%s\n", problem.c_str(), detail.c_str());
  std::abort();
}

class CollectingSink final : public browse::LineSink {
 public:
  void line(std::string_view text) override { lines.emplace_back(text); }
  void flush() override {}

  std::vector<std::string> lines;
};

struct Outcome {
  int status = -1;
  int reports = 0;
  std::string message;
  std::vector<std::string> answers;
};

Outcome runOnce(std::string_view input) {
  browse::LineReader reader(std::string(kName), input);
  CollectingSink sink;
  Outcome outcome;
  outcome.status = browse::runSession(reader, sink, [&](const char* message) {
    ++outcome.reports;
    outcome.message = message;
  });
  outcome.answers = std::move(sink.lines);
  return outcome;
}

// The input's lines as the reader splits them: at '\n', with no empty line
// after a final '\n'.
std::vector<std::string_view> linesOf(std::string_view input) {
  std::vector<std::string_view> lines;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    lines.push_back(input.substr(0, end));
    input = end == std::string_view::npos ? std::string_view{} : input.substr(end + 1);
  }
  return lines;
}

// The LINE of a "<fuzz>:LINE:" message, or 0 when the message has none.
std::size_t lineNamed(const std::string& message) {
  const std::string prefix = std::string(kName) + ":";
  if (message.compare(0, prefix.size(), prefix) != 0) return 0;
  std::size_t line = 0;
  std::size_t i = prefix.size();
  for (; i < message.size() && message[i] >= '0' && message[i] <= '9' && i < prefix.size() + 18;
       ++i) {
    line = line * 10 + static_cast<std::size_t>(message[i] - '0');
  }
  return i < message.size() && message[i] == ':' ? line : 0;
}

// Checks each answer and returns the line of the last one (0 when none).
std::size_t checkAnswers(const Outcome& outcome, const std::vector<std::string_view>& lines) {
  std::size_t last = 0;
  for (const std::string& answer : outcome.answers) {
    const auto json = nlohmann::json::parse(answer, nullptr, false);
    if (!json.is_object() || !json.contains("op") || !json.contains("line") ||
        !json["line"].is_number_unsigned()) {
      fault("an answer is not an object with \"op\" and \"line\"", answer);
    }
    const std::string op = json["op"].is_string() ? json["op"].get<std::string>() : "";
    const bool results = op == "getResults" && json.contains("responses") &&
                         json["responses"].is_array() && json.contains("error") &&
                         (json["error"].is_null() || json["error"].is_object());
    const bool canServe =
        op == "canServeRequest" && json.contains("value") && json["value"].is_boolean();
    if (!results && !canServe) fault("an answer is not a known operation's", answer);
    const std::size_t line = json["line"].get<std::size_t>();
    if (line <= last || line > lines.size() || browse::isBlank(lines[line - 1])) {
      fault("an answer names a line out of order or not in the input", answer);
    }
    last = line;
  }
  return last;
}

void checkOutcome(const Outcome& outcome, std::string_view input) {
  const std::vector<std::string_view> lines = linesOf(input);
  const std::size_t lastAnswered = checkAnswers(outcome, lines);
  const std::string status = "status " + std::to_string(outcome.status) + ": " + outcome.message;
  if (outcome.status == browse::kExitOk) {
    if (outcome.reports != 0) fault("a session that succeeded reported a failure", status);
    return;
  }
  if (outcome.status != browse::kExitBadInput && outcome.status != browse::kExitFailure) {
    fault("unknown status", status);
  }
  if (outcome.reports != 1) fault("a failed session did not report exactly once", status);
  const std::size_t line = lineNamed(outcome.message);
  if (line == 0 || line > lines.size() || browse::isBlank(lines[line - 1]) ||
      line <= lastAnswered) {
    fault("the message does not name the line that stopped the session", status);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;  // not added to the corpus
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Outcome first = runOnce(input);
  checkOutcome(first, input);
  const Outcome again = runOnce(input);
  if (again.status != first.status || again.message != first.message ||
      again.answers != first.answers) {
    fault("the same session answered differently when run again", first.message);
  }
  return 0;
}
