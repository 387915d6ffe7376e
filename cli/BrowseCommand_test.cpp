// The browse binary as its users see it: stdout, stderr and exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "Commands.h"
#include "Io.h"
#include "RecordSchema.h"
#include "Sanitizer.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace schema = databrowse::schema;
using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

struct Outcome {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class BrowseCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "browse_test_XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file(const std::string& name, const std::string& text) {
    const fs::path path = dir_ / name;
    writeFile(path, text);
    return path;
  }

  // How a run differs from a plain one.
  struct RunOptions {
    std::string binary = BROWSE_BINARY;
    std::string stdoutPath;        // a file of the test directory unless given
    rlim_t memoryLimit = 0;        // bytes of address space; 0: no limit
    std::vector<std::string> env;  // NAME=VALUE added to the environment
  };

  // Runs browse with `args` and `input` on stdin.
  Outcome browse(const std::vector<std::string>& args, const std::string& input = "",
                 const std::string& stdoutPath = "") {
    RunOptions options;
    options.stdoutPath = stdoutPath;
    return run(args, input, options);
  }

  Outcome run(const std::vector<std::string>& args, const std::string& input,
              const RunOptions& options) {
    const fs::path in = file("stdin", input);
    const std::string out =
        options.stdoutPath.empty() ? (dir_ / "stdout").string() : options.stdoutPath;
    const std::string err = (dir_ / "stderr").string();
    std::vector<std::string> argv{options.binary};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argPointers;
    for (std::string& arg : argv) argPointers.push_back(arg.data());
    argPointers.push_back(nullptr);
    std::vector<std::string> env(options.env);
    for (char** variable = environ; *variable != nullptr; ++variable) env.emplace_back(*variable);
    std::vector<char*> envPointers;
    for (std::string& variable : env) envPointers.push_back(variable.data());
    envPointers.push_back(nullptr);

    Outcome outcome;
    const pid_t pid = ::fork();
    if (pid < 0) {
      ADD_FAILURE() << "cannot fork";
      return outcome;
    }
    if (pid == 0) {
      // Only async-signal-safe calls until exec.
      const rlimit limit{options.memoryLimit, options.memoryLimit};
      const bool ready = (options.memoryLimit == 0 || ::setrlimit(RLIMIT_AS, &limit) == 0) &&
                         redirect(0, in.c_str(), O_RDONLY) &&
                         redirect(1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC) &&
                         redirect(2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC);
      if (ready) ::execve(argPointers[0], argPointers.data(), envPointers.data());
      ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (options.stdoutPath.empty()) outcome.out = readFile(out);
    outcome.err = readFile(err);
    return outcome;
  }

  static bool redirect(int target, const char* path, int flags) {
    const int fd = ::open(path, flags, 0644);
    return fd >= 0 && ::dup2(fd, target) == target && ::close(fd) == 0;
  }

  fs::path dir_;
};

std::string lines(const std::vector<std::string>& texts) {
  std::string out;
  for (const std::string& text : texts) out += text + "\n";
  return out;
}

constexpr char kExamples[] = BROWSE_EXAMPLES_DIR;

// ---------------------------------------------------------------------------
// session

TEST_F(BrowseCommandTest, SessionAnswersInOrderWithInputLineNumbers) {
  const std::string input = lines({
      R"({"op":"reset","request":{"paths":[{"path":"/Data"}],"context":{"sessionId":"s"}}})",
      R"({"op":"addItem","item":{"name":"beta","number":2}})",
      "",
      R"({"op":"addItem","item":{"name":"Alpha","number":1,"flags":{"flag":1}}})",
      "   \t",
      R"({"op":"addItem","item":{"name":"gamma","number":-3}})",
      R"({"op":"canServeRequest","request":{"paths":[{"path":"/data"}]}})",
      R"({"op":"serve","request":{}})",
      R"({"op":"getResults","request":{"context":{"sequence":9},"queries":[)"
      R"({"queryId":"q","parameters":{"sort":{"fields":["ByName"]},"paging":{"limit":2}}},)"
      R"({"queryId":"n","aggregate":{"type":4}}]}})",
      R"({"op":"canServeRequest","request":{"paths":[{"path":"/other"}]}})",
  });
  const Outcome run = browse({"session"}, input);
  EXPECT_EQ(0, run.status);
  EXPECT_EQ("", run.err);
  EXPECT_EQ(lines({
                R"({"op":"canServeRequest","line":7,"value":true})",
                R"({"op":"getResults","line":9,"error":null,"responses":[)"
                R"({"status":0,"context":{"sequence":9},"result":{"queryId":"q","items":[)"
                R"({"name":"Alpha","number":1,"flags":{"flag":1}},{"name":"beta","number":2}]}},)"
                R"({"status":0,"context":{"sequence":9},"result":{"queryId":"n",)"
                R"("aggregates":[{"count":3}]}}]})",
                R"({"op":"canServeRequest","line":10,"value":false})",
            }),
            run.out);
}

TEST_F(BrowseCommandTest, EachConsumerNameIsItsOwnConsumer) {
  const std::string count = R"("request":{"queries":[{"aggregate":{"type":4}}]})";
  const std::string input = lines({
      R"({"op":"reset","consumer":"a","request":{"paths":[{"path":"/a"}]}})",
      R"({"op":"addItem","consumer":"a","item":{"name":"x"}})",
      R"({"op":"addItem","consumer":"a","item":{"name":"y"}})",
      R"({"op":"addItem","consumer":"b","item":{"name":"z"}})",
      R"({"op":"getResults","consumer":"a",)" + count + "}",
      R"({"op":"getResults","consumer":"b",)" + count + "}",
      R"({"op":"getResults",)" + count + "}",
      R"({"op":"getResults","consumer":"",)" + count + "}",
      R"({"op":"canServeRequest","consumer":"a","request":{"paths":[{"path":"/A"}]}})",
      R"({"op":"canServeRequest","consumer":"b","request":{"paths":[{"path":"/A"}]}})",
      R"({"op":"canServeRequest","consumer":"b","request":{}})",
  });
  const Outcome run = browse({"session"}, input);
  ASSERT_EQ(0, run.status) << run.err;
  std::vector<Json> answers;
  std::istringstream out(run.out);
  for (std::string line; std::getline(out, line);) answers.push_back(Json::parse(line));
  ASSERT_EQ(7u, answers.size()) << run.out;
  const auto countOf = [](const Json& answer) {
    return answer["responses"][0]["result"]["aggregates"][0]["count"].get<int>();
  };
  EXPECT_EQ(2, countOf(answers[0]));
  EXPECT_EQ(1, countOf(answers[1]));
  EXPECT_EQ(0, countOf(answers[2]));
  EXPECT_EQ(0, countOf(answers[3]));
  EXPECT_EQ(true, answers[4]["value"]);
  EXPECT_EQ(false, answers[5]["value"]);
  EXPECT_EQ(true, answers[6]["value"]) << "an empty cache serves the empty path";
}

// A path is all of its bytes: two paths that differ only after a NUL byte
// name different data, so the cache of one must not answer for the other.
TEST_F(BrowseCommandTest, PathsThatDifferAfterANulByteAreDifferentPaths) {
  const std::string input = lines({
      R"({"op":"reset","request":{"paths":[{"path":"/data\u0000/public"}]}})",
      R"({"op":"canServeRequest","request":{"paths":[{"path":"/data\u0000/secret"}]}})",
      R"({"op":"canServeRequest","request":{"paths":[{"path":"/data"}]}})",
      R"({"op":"canServeRequest","request":{"paths":[{"path":"/DATA\u0000/PUBLIC"}]}})",
  });
  const Outcome run = browse({"session"}, input);
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ(lines({
                R"({"op":"canServeRequest","line":2,"value":false})",
                R"({"op":"canServeRequest","line":3,"value":false})",
                R"({"op":"canServeRequest","line":4,"value":true})",
            }),
            run.out);
}

TEST_F(BrowseCommandTest, SessionReadsAFileOrStandardInputAlike) {
  const std::string input = lines({R"({"op":"canServeRequest","request":{}})"});
  const fs::path path = file("ops.jsonl", input);
  const Outcome fromFile = browse({"session", path.string()});
  const Outcome fromDash = browse({"session", "-"}, input);
  const Outcome fromStdin = browse({"session"}, input);
  EXPECT_EQ(0, fromFile.status);
  EXPECT_EQ(lines({R"({"op":"canServeRequest","line":1,"value":true})"}), fromFile.out);
  EXPECT_EQ(fromFile.out, fromDash.out);
  EXPECT_EQ(fromFile.out, fromStdin.out);
  // A last line without a newline and Windows line ends are read alike.
  const Outcome crlf = browse({"session"}, "\r\n{\"op\":\"canServeRequest\",\"request\":{}}\r");
  EXPECT_EQ(lines({R"({"op":"canServeRequest","line":2,"value":true})"}), crlf.out);
}

TEST_F(BrowseCommandTest, SessionExampleRuns) {
  const Outcome run = browse({"session", std::string(kExamples) + "/session.jsonl"});
  EXPECT_EQ(0, run.status) << run.err;
  EXPECT_EQ(4, std::count(run.out.begin(), run.out.end(), '\n'));
}

// Every kind of bad line stops the run at that line with status 2, after the
// complete answers of the earlier lines.
TEST_F(BrowseCommandTest, BadSessionLinesStopWithFileLineAndProblem) {
  struct Case {
    std::string line;
    std::string problem;  // stderr after "browse: <stdin>:3: ", up to its end or "..."
  };
  const Case cases[] = {
      {R"({"op":"getResults",)", "invalid JSON: ..."},
      {R"({"op":"serve" "request":{}})", "invalid JSON: ..."},
      {"{\"op\":\"addItem\",\"item\":{\"name\":\"\xff\"}}", "invalid JSON: ..."},
      {R"([{"op":"serve"}])", "expected an object, got an array"},
      {R"("serve")", "expected an object, got a string"},
      {R"({"op":"flush","request":{}})",
       R"(op: unknown op "flush" (expected reset, addItem, serve, getResults or canServeRequest))"},
      {R"({"request":{}})", R"(missing field "op")"},
      {R"({"op":"reset"})", R"(missing field "request" for op "reset")"},
      {R"({"op":"addItem","consumer":"a"})", R"(missing field "item" for op "addItem")"},
      {R"({"op":"addItem","request":{},"item":{}})",
       R"(field "request" does not belong to op "addItem")"},
      {R"({"op":"serve","request":{},"Consumer":"a"})", R"(unknown field "Consumer")"},
      {R"({"op":"serve","op":"reset","request":{}})", "op: field given more than once"},
      {R"({"op":1,"request":{}})", "op: expected a string, got a number"},
      {R"({"op":"serve","request":{},"consumer":null})", "consumer: expected a string, got null"},
      {R"({"op":"reset","request":"/data"})", "request: expected an object, got a string"},
      {R"({"op":"reset","request":[{"paths":[]}]})", "request: expected an object, got an array"},
      {R"({"op":"reset","request":{"path":[]}})", R"(request: unknown field "path")"},
      {R"({"op":"addItem","item":{"name":7}})", "item.name: expected a string, got a number"},
      {R"({"op":"addItem","item":{"number":9223372036854775808}})",
       "item.number: integer out of the signed 64-bit range"},
      {R"({"op":"getResults","request":{"queries":[{"parameters":{"paging":{"limit":2.5}}}]}})",
       "request.queries[0].parameters.paging.limit: expected an integer, got a floating-point "
       "number"},
      {R"({"op":"getResults","request":{"queries":[{"parameters":{"sort":{"fields":[1e1]}}}]}})",
       "request.queries[0].parameters.sort.fields[0]: expected an integer, got a floating-point "
       "number"},
      {R"({"op":"serve","request":{}}{})", "unexpected content after the object"},
      {R"({"op":"serve","request":{}} xyz)", "unexpected content after the object"},
      {R"({"op":"serve","request":{}} "}")", "unexpected content after the object"},
      {R"({"op":"serve","request":{}})" + std::string(1, '\0'),
       "unexpected content after the object"},
      {R"({"op":"serve","request":{} xyz)", "invalid JSON: ..."},
  };
  const std::string before = R"({"op":"canServeRequest","request":{}})";
  const std::string after = R"({"op":"canServeRequest","request":{"paths":[{"path":"x"}]}})";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const Outcome run = browse({"session"}, lines({before, "", c.line, after}));
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(lines({R"({"op":"canServeRequest","line":1,"value":true})"}), run.out);
    const std::string prefix = "browse: <stdin>:3: ";
    if (c.problem.size() > 3 && c.problem.compare(c.problem.size() - 3, 3, "...") == 0) {
      const std::string start = prefix + c.problem.substr(0, c.problem.size() - 3);
      EXPECT_EQ(0u, run.err.rfind(start, 0)) << run.err;
      EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
    } else {
      EXPECT_EQ(prefix + c.problem + "\n", run.err);
    }
  }
}

// The answers of the lines before a bad line cannot be written: both the bad
// line and the lost output are reported, and the status is that of the bad
// input.
TEST_F(BrowseCommandTest, ABadLineWithOutputOnAFullDiskReportsBothFailures) {
  const fs::path session =
      file("session.jsonl", lines({R"({"op":"canServeRequest","request":{}})", R"({"op":1})"}));
  const Outcome run = browse({"session", session.string()}, "", "/dev/full");
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("browse: " + session.string() +
                ":2: op: expected a string, got a number\n"
                "browse: cannot write standard output: No space left on device\n",
            run.err);
}

// What a host or fuzzer gets from runSession in-process.
struct InProcess {
  int status = -1;
  std::string out;
  std::string message;
};

InProcess runSessionInProcess(const std::string& text) {
  class Collect final : public browse::LineSink {
   public:
    explicit Collect(std::string& out) : out_(out) {}
    void line(std::string_view text) override { (out_ += text) += '\n'; }
    void flush() override {}

   private:
    std::string& out_;
  };
  InProcess run;
  Collect output(run.out);
  browse::LineReader input("<stdin>", text);
  run.status =
      browse::runSession(input, output, [&](const char* message) { run.message = message; });
  return run;
}

// runSession is `browse session` without a process: same answers, status and
// message.
TEST_F(BrowseCommandTest, SessionRunsAlikeInProcess) {
  const std::string inputs[] = {
      readFile(std::string(kExamples) + "/session.jsonl"),
      lines({R"({"op":"canServeRequest","request":{}})", R"({"op":"bogus"})"}),
      lines(
          {R"({"op":"reset","request":{"queries":[{"parameters":{"paging":{"limit":1}}}]}})",
           R"({"op":"addItem","item":{"name":"b"}})", R"({"op":"addItem","item":{"name":"a"}})",
           R"({"op":"getResults","request":{"queries":[{"parameters":{"sort":{"fields":["ByName"]}}}]}})",
           R"({"op":"addItem","item":{"name":"a")"}),
  };
  for (const std::string& input : inputs) {
    SCOPED_TRACE(input);
    const Outcome binary = browse({"session"}, input);
    const InProcess inProcess = runSessionInProcess(input);
    EXPECT_EQ(binary.status, inProcess.status);
    EXPECT_EQ(binary.out, inProcess.out);
    EXPECT_EQ(binary.err, inProcess.message.empty() ? "" : "browse: " + inProcess.message + "\n");
  }
}

TEST_F(BrowseCommandTest, SessionErrorsNameTheFileGiven) {
  const fs::path path = file("bad.jsonl", "\n\n\n{\"op\":\"serve\"}\n");
  const Outcome run = browse({"session", path.string()});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("browse: " + path.string() + ":4: missing field \"request\" for op \"serve\"\n",
            run.err);
}

TEST_F(BrowseCommandTest, UnreadableInputFailsWithAMessage) {
  const std::string missing = (dir_ / "missing.jsonl").string();
  Outcome run = browse({"session", missing});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("browse: cannot open " + missing + ": No such file or directory\n", run.err);
  run = browse({"session", dir_.string()});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("browse: cannot read " + dir_.string() + ": Is a directory\n", run.err);
  const fs::path request = file("request.json", "{}");
  run = browse({"query", "--items", missing, "--request", request.string()});
  EXPECT_EQ(1, run.status);
  EXPECT_EQ("browse: cannot open " + missing + ": No such file or directory\n", run.err);
  EXPECT_EQ("", run.out);
}

TEST_F(BrowseCommandTest, FailedWritesAreReportedAsFailures) {
  const std::vector<std::string> commands[] = {
      {"generate", "--count", "100000"},
      {"--help"},
      {"query", "--help"},
      {"session", "--help"},
  };
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args.front() + " " + args.back());
    const Outcome run = browse(args, "", "/dev/full");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("browse: cannot write standard output: No space left on device\n", run.err);
  }
}

// ---------------------------------------------------------------------------
// query

// The order of the cache: names with ASCII letters folded, compared as bytes,
// then numbers; equal keys keep their input order.
std::vector<Json> sortedByNameThenNumber(const std::string& itemsText) {
  std::vector<Json> items;
  std::istringstream in(itemsText);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) items.push_back(Json::parse(line));
  }
  auto folded = [](std::string name) {
    for (char& c : name) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return name;
  };
  std::stable_sort(items.begin(), items.end(), [&](const Json& a, const Json& b) {
    const std::string left = folded(a["name"]), right = folded(b["name"]);
    if (left != right) {
      return std::lexicographical_compare(
          left.begin(), left.end(), right.begin(), right.end(), [](char x, char y) {
            return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
          });
    }
    return a.value("number", 0LL) < b.value("number", 0LL);
  });
  return items;
}

TEST_F(BrowseCommandTest, QueryAnswersTheExampleRequest) {
  const std::string items = std::string(kExamples) + "/items.jsonl";
  const std::string request = std::string(kExamples) + "/request.json";
  const Outcome run = browse({"query", "--items", items, "--request", request});
  ASSERT_EQ(0, run.status) << run.err;
  EXPECT_EQ("", run.err) << "no progress when stderr is not a terminal";
  ASSERT_FALSE(run.out.empty());
  EXPECT_EQ('\n', run.out.back());
  EXPECT_NE(std::string::npos, run.out.find("\n  {\n    \"status\": 0,")) << "pretty-printed";

  const Json responses = Json::parse(run.out);
  ASSERT_EQ(3u, responses.size());
  const std::vector<Json> expected = sortedByNameThenNumber(readFile(items));
  ASSERT_EQ(12u, expected.size());
  const Json& first = responses[0]["result"];
  const Json& second = responses[1]["result"];
  EXPECT_EQ("page-1", first["queryId"]);
  EXPECT_EQ("page-2", second["queryId"]);
  EXPECT_EQ(std::vector<Json>(expected.begin(), expected.begin() + 5),
            first["items"].get<std::vector<Json>>());
  EXPECT_EQ(std::vector<Json>(expected.begin() + 5, expected.begin() + 10),
            second["items"].get<std::vector<Json>>());
  EXPECT_EQ(12, responses[2]["result"]["aggregates"][0]["count"]);
  EXPECT_EQ("example-session", responses[2]["context"]["sessionId"]);

  const Outcome again = browse({"query", "--items", items, "--request", request});
  EXPECT_EQ(run.out, again.out);
}

TEST_F(BrowseCommandTest, QueryReadsItemsFromStandardInput) {
  const fs::path request =
      file("request.json", R"({"queries":[{"parameters":{"sort":{"fields":["ByNumber"]},)"
                           R"("paging":{"offset":1,"limit":1}}}]})");
  const Outcome run = browse({"query", "--items", "-", "--request", request.string()},
                             "{\"number\":5}\n\n{\"number\":-5}\n{\"number\":0}");
  ASSERT_EQ(0, run.status) << run.err;
  const Json responses = Json::parse(run.out);
  EXPECT_EQ(Json::parse(R"([{"status":0,"context":{},"result":{"queryId":"",)"
                        R"("items":[{"number":0}]}}])"),
            responses);
}

TEST_F(BrowseCommandTest, QueryBadInputNamesFileAndLine) {
  const fs::path goodRequest = file("request.json", R"({"queries":[{"queryId":"q"}]})");
  const fs::path goodItems = file("items.jsonl", "{\"name\":\"a\"}\n");
  const fs::path badItems =
      file("bad.jsonl", "{\"name\":\"a\"}\n\n{\"name\":\"b\",\"number\":\"1\"}\n{}\n");
  const fs::path badRequest =
      file("bad.json", "{\n  \"queries\": [{\"parameters\": {\"paging\": {\"limit\": 1.5}}}]\n}\n");
  const fs::path notJson = file("broken.json", "{\"queries\": [");

  Outcome run = browse({"query", "--items", badItems.string(), "--request", goodRequest.string()});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("browse: " + badItems.string() + ":3: number: expected an integer, got a string\n",
            run.err);

  run = browse({"query", "--items", goodItems.string(), "--request", badRequest.string()});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("", run.out);
  EXPECT_EQ("browse: " + badRequest.string() +
                ": queries[0].parameters.paging.limit: expected an integer, got a "
                "floating-point number\n",
            run.err);

  run = browse({"query", "--items", goodItems.string(), "--request", notJson.string()});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ(0u, run.err.rfind("browse: " + notJson.string() + ": invalid JSON: ", 0)) << run.err;

  // Text after an item or after the request is named as such.
  const fs::path trailingItem = file("trailing.jsonl", "{\"name\":\"a\"}\n{\"name\":\"b\"} xyz\n");
  run = browse({"query", "--items", trailingItem.string(), "--request", goodRequest.string()});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("browse: " + trailingItem.string() + ":2: unexpected content after the object\n",
            run.err);
  const fs::path trailingRequest = file("trailing.json", std::string("{\"queries\":[]}\n\0", 16));
  run = browse({"query", "--items", goodItems.string(), "--request", trailingRequest.string()});
  EXPECT_EQ(2, run.status);
  EXPECT_EQ("browse: " + trailingRequest.string() + ": unexpected content after the object\n",
            run.err);

  run = browse({"query", "--items", "-", "--request", "-"});
  EXPECT_EQ(2, run.status);
  EXPECT_NE(std::string::npos, run.err.find("cannot both read standard input")) << run.err;
}

// Items are read in blocks of many lines: line numbers of errors count the
// lines of every block before, blank ones and CRLF ones included, and an
// item split across lines is an error of its first line.
TEST_F(BrowseCommandTest, QueryErrorsFarIntoTheFileNameTheirLine) {
  const fs::path request = file("request.json", R"({"queries":[{"queryId":"q"}]})");
  std::string good;
  for (int i = 0; i < 30000; ++i) {
    good += "{\"name\":\"item " + std::to_string(i) + "\",\"number\":" + std::to_string(i) +
            (i % 7 == 0 ? "}\r\n" : "}\n");
    if (i % 1000 == 0) good += "\n";
  }
  const std::size_t lines = static_cast<std::size_t>(std::count(good.begin(), good.end(), '\n'));
  const struct {
    std::string bad;
    std::string problem;
  } cases[] = {
      {"{\"name\":\"x\",\"flags\":{\"flag\":true}}\n",
       ": flags.flag: expected an integer, got a boolean"},
      {"{\"name\":\n\"x\"}\n", ": invalid JSON: "},
      {"{\"name\":\"x\"}{}\n", ": unexpected content after the object"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bad);
    const fs::path items = file("items.jsonl", good + c.bad + good);
    const Outcome run = browse({"query", "--items", items.string(), "--request", request.string()});
    EXPECT_EQ(2, run.status);
    EXPECT_EQ(0u, run.err.rfind(
                      "browse: " + items.string() + ":" + std::to_string(lines + 1) + c.problem, 0))
        << run.err;
  }
  const fs::path items = file("items.jsonl", good + good);
  const Outcome run = browse({"query", "--items", items.string(), "--request", request.string()});
  EXPECT_EQ(0, run.status) << run.err;
}

// ---------------------------------------------------------------------------
// generate

TEST_F(BrowseCommandTest, GenerateIsReproducibleAndReadable) {
  const Outcome first = browse({"generate", "--count", "300", "--seed", "11"});
  const Outcome same = browse({"generate", "--seed", "11", "--count", "300"});
  const Outcome other = browse({"generate", "--count", "300", "--seed", "12"});
  const Outcome byDefault = browse({"generate", "--count", "300"});
  const Outcome seedOne = browse({"generate", "--count", "300", "--seed", "1"});
  ASSERT_EQ(0, first.status) << first.err;
  EXPECT_EQ(300, std::count(first.out.begin(), first.out.end(), '\n'));
  EXPECT_EQ(first.out, same.out);
  EXPECT_NE(first.out, other.out);
  EXPECT_EQ(seedOne.out, byDefault.out);
  EXPECT_EQ("", browse({"generate", "--count", "0"}).out);
  // Numbers are decimal even with leading zeros.
  const Outcome padded = browse({"generate", "--count", "0300", "--seed", "011"});
  EXPECT_EQ(first.out, padded.out);
  // The largest seed is a seed like any other.
  const Outcome largest = browse({"generate", "--count", "1", "--seed", "18446744073709551615"});
  EXPECT_EQ(0, largest.status) << largest.err;
  EXPECT_EQ(1, std::count(largest.out.begin(), largest.out.end(), '\n'));

  // Every generated line is an item that query accepts.
  const fs::path items = file("generated.jsonl", first.out);
  const fs::path request = file("count.json", R"({"queries":[{"aggregate":{"type":4}}]})");
  const Outcome counted =
      browse({"query", "--items", items.string(), "--request", request.string()});
  ASSERT_EQ(0, counted.status) << counted.err;
  EXPECT_EQ(300, Json::parse(counted.out)[0]["result"]["aggregates"][0]["count"]);
}

// ---------------------------------------------------------------------------
// command line

TEST_F(BrowseCommandTest, HelpExplainsEveryCommandAndOption) {
  struct Case {
    std::vector<std::string> args;
    std::vector<std::string> mentions;
  };
  const Case cases[] = {
      {{"--help"}, {"session", "query", "generate", "REQUEST", "ITEM", "Exit status"}},
      {{"session", "--help"},
       {"FILE", "reset", "addItem", "serve", "getResults", "canServeRequest", "consumer"}},
      {{"query", "--help"}, {"--items", "--request", "pretty-printed"}},
      {{"generate", "--help"}, {"--count", "--seed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front() + " " + c.args.back());
    const Outcome run = browse(c.args);
    EXPECT_EQ(0, run.status);
    EXPECT_EQ("", run.err);
    for (const std::string& word : c.mentions) {
      EXPECT_NE(std::string::npos, run.out.find(word)) << word;
    }
  }
}

// The JSON forms that `browse --help` lists, by label, continued lines joined.
std::map<std::string, std::string> listedForms(const std::string& help) {
  std::map<std::string, std::string> forms;
  const std::string heading = "JSON forms:\n";
  const std::size_t start = help.find(heading);
  if (start == std::string::npos) return forms;
  std::istringstream text(help.substr(start + heading.size()));
  std::string line;
  std::string label;
  while (std::getline(text, line) && line.rfind("  ", 0) == 0) {
    const std::size_t content = line.find_first_not_of(' ');
    if (content > 2) {
      forms[label] += line.substr(content);
      continue;
    }
    const std::size_t end = line.find(' ', content);
    label = line.substr(content, end - content);
    forms[label] = line.substr(line.find_first_not_of(' ', end));
  }
  return forms;
}

// A form as JSON: each placeholder word (INT, TEXT, a label) becomes a JSON
// string and "X..." in a list becomes the one entry X.
OrderedJson formAsJson(const std::string& form) {
  std::string json;
  bool inString = false;
  for (std::size_t i = 0; i < form.size(); ++i) {
    const char c = form[i];
    if (c == '"' && (i == 0 || form[i - 1] != '\\')) inString = !inString;
    if (!inString && std::isupper(static_cast<unsigned char>(c))) {
      std::size_t end = i;
      while (end < form.size() && std::isupper(static_cast<unsigned char>(form[end]))) ++end;
      json += '"' + form.substr(i, end - i) + '"';
      i = end - 1;
    } else if (!inString && form.compare(i, 3, "...") == 0) {
      i += 2;
    } else {
      json += c;
    }
  }
  return OrderedJson::parse(json);
}

// What the help should show for each field, from the records' schema; the
// labelled forms met on the way are added to `named`.
using NamedForms = std::map<std::string, OrderedJson>;

template <class R>
OrderedJson shownWhereUsed(NamedForms& named);

OrderedJson shown(const schema::Integer&, NamedForms&) { return "INT"; }
OrderedJson shown(const schema::Text&, NamedForms&) { return "TEXT"; }
OrderedJson shown(const schema::SortFieldList&, NamedForms&) {
  return OrderedJson::array({std::string(schema::kSortFieldForm)});
}
template <class Sub>
OrderedJson shown(const schema::Record<Sub>&, NamedForms& named) {
  return shownWhereUsed<Sub>(named);
}
template <class Entry>
OrderedJson shown(const schema::RecordList<Entry>&, NamedForms& named) {
  return OrderedJson::array({shownWhereUsed<Entry>(named)});
}

template <class R>
OrderedJson fieldsShown(NamedForms& named) {
  OrderedJson object = OrderedJson::object();
  schema::forEachField<R>(
      [&](const auto& field) { object[std::string(field.name)] = shown(field, named); });
  return object;
}

template <class R>
OrderedJson shownWhereUsed(NamedForms& named) {
  const std::string label(schema::kTable<R>.form);
  if (label.empty()) return fieldsShown<R>(named);
  if (named.count(label) == 0) named[label] = fieldsShown<R>(named);
  return label;
}

TEST_F(BrowseCommandTest, HelpShowsEveryFieldOfEveryRecordAsTheSchemaHasIt) {
  const Outcome run = browse({"--help"});
  ASSERT_EQ(0, run.status);
  std::map<std::string, std::string> listed = listedForms(run.out);

  const std::string sortField(schema::kSortFieldForm);
  ASSERT_EQ(1u, listed.count(sortField)) << run.out;
  for (const schema::SortFieldName& known : schema::kSortFieldNames) {
    EXPECT_NE(std::string::npos, listed[sortField].find('"' + std::string(known.name) + '"'))
        << known.name;
  }
  listed.erase(sortField);

  NamedForms expected;
  const OrderedJson roots[] = {shownWhereUsed<databrowse::BrowseRequest>(expected),
                               shownWhereUsed<databrowse::BrowseData>(expected),
                               shownWhereUsed<databrowse::BrowseResponse>(expected)};
  for (const OrderedJson& root : roots) EXPECT_TRUE(root.is_string()) << "a labelled form";
  for (const auto& [label, fields] : expected) {
    SCOPED_TRACE(label);
    ASSERT_EQ(1u, listed.count(label)) << run.out;
    EXPECT_EQ(fields, formAsJson(listed[label])) << listed[label];
  }
  EXPECT_EQ(expected.size(), listed.size()) << "forms that no record has:\n" << run.out;
}

TEST_F(BrowseCommandTest, UsageErrorsExitWithStatusTwo) {
  struct Case {
    std::vector<std::string> args;
    std::string firstLine;
  };
  const Case cases[] = {
      {{}, "browse: a command is required: session, query, generate or serve"},
      {{"bogus"}, "browse: unknown command 'bogus'"},
      {{"--bogus"}, "browse: unknown option '--bogus'"},
      {{"generate", "--count", "1", "--bogus"}, "browse: unknown option '--bogus'"},
      {{"session", "a", "b"}, "browse: unexpected argument 'b'"},
      {{"generate"}, "browse: --count is required"},
      {{"generate", "--count", "-5"}, "browse: --count: must not be negative"},
      {{"generate", "--count", "x"},
       "browse: --count: must be a decimal number (digits 0 to 9), not 'x'"},
      {{"generate", "--count", "0x10"},
       "browse: --count: must be a decimal number (digits 0 to 9), not '0x10'"},
      {{"generate", "--count", "1", "--seed", "0b1"},
       "browse: --seed: must be a decimal number (digits 0 to 9), not '0b1'"},
      {{"generate", "--count", "+5"},
       "browse: --count: must be a decimal number (digits 0 to 9), not '+5'"},
      {{"generate", "--count", "1e3"},
       "browse: --count: must be a decimal number (digits 0 to 9), not '1e3'"},
      {{"generate", "--count", ""},
       "browse: --count: must be a decimal number (digits 0 to 9), not ''"},
      {{"generate", "--count", "1", "--seed", "-1"}, "browse: --seed: must not be negative"},
      {{"frobnicate", "--help"}, "browse: unknown command 'frobnicate'"},
      {{"--help", "frobnicate"}, "browse: unknown command 'frobnicate'"},
      {{"query", "--items", "a.jsonl"}, "browse: --request is required"},
      {{"query", "--request", "r.json"}, "browse: --items is required"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.firstLine);
    const Outcome run = browse(c.args);
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(c.firstLine + "\nRun 'browse --help' for usage.\n", run.err);
  }
}

// Counts and seeds above 2^64-1 are refused, not taken as 2^64-1. Standard
// output is /dev/full, so that a count taken as 2^64-1 fails at once rather
// than writing forever.
TEST_F(BrowseCommandTest, NumbersAboveSixtyFourBitsAreRefusedNotClamped) {
  const std::vector<std::string> cases[] = {
      {"--count", "99999999999999999999"},
      {"--count", "18446744073709551616"},
      {"--count", "0", "--seed", "18446744073709551616"},
      {"--count", "0", "--seed", "000018446744073709551616"},
  };
  for (const std::vector<std::string>& options : cases) {
    SCOPED_TRACE(options.back());
    std::vector<std::string> args{"generate"};
    args.insert(args.end(), options.begin(), options.end());
    const Outcome run = browse(args, "", "/dev/full");
    EXPECT_EQ(2, run.status);
    EXPECT_EQ("browse: " + options[options.size() - 2] +
                  ": must be at most 18446744073709551615\nRun 'browse --help' for usage.\n",
              run.err);
  }
}

// ---------------------------------------------------------------------------
// running out of memory

constexpr rlim_t kMiB = 1 << 20;

// Address space that `browse session` holds once it has answered a line:
// the base to which memory-limited runs add their headroom.
rlim_t sessionBaseline() {
  int toBrowse[2];
  int fromBrowse[2];
  if (::pipe(toBrowse) != 0 || ::pipe(fromBrowse) != 0) return 0;
  char* const argv[] = {const_cast<char*>(BROWSE_BINARY), const_cast<char*>("session"), nullptr};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(toBrowse[0], 0);
    ::dup2(fromBrowse[1], 1);
    for (const int fd : {toBrowse[0], toBrowse[1], fromBrowse[0], fromBrowse[1]}) ::close(fd);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  ::close(toBrowse[0]);
  ::close(fromBrowse[1]);
  const std::string line = R"({"op":"canServeRequest","request":{}})"
                           "\n";
  rlim_t peak = 0;
  char answer = 0;
  if (::write(toBrowse[1], line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
    while (::read(fromBrowse[0], &answer, 1) == 1 && answer != '\n') {
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string field; status >> field;) {
      if (field == "VmPeak:") {
        status >> peak;
        peak *= 1024;
      }
    }
  }
  ::close(toBrowse[1]);
  ::close(fromBrowse[0]);
  ::waitpid(pid, nullptr, 0);
  return peak;
}

class MemoryLimitTest : public BrowseCommandTest {
 protected:
  void SetUp() override {
    if (testsupport::kAddressSanitizer) {
      GTEST_SKIP() << "an address-space limit cannot hold AddressSanitizer, which maps "
                      "terabytes of shadow memory";
    }
    BrowseCommandTest::SetUp();
    static const rlim_t baseline = sessionBaseline();
    ASSERT_GT(baseline, 0u) << "cannot measure the address space of browse";
    limit_ = baseline + 32 * kMiB;
  }

  Outcome limited(const std::vector<std::string>& args) {
    RunOptions options;
    options.memoryLimit = limit_;
    return run(args, "", options);
  }

  static std::string itemWithNameOf(std::size_t bytes) {
    return R"({"name":")" + std::string(bytes, 'n') + R"("})";
  }

  rlim_t limit_ = 0;
};

// A line too long for the memory left: either its buffer or the parser's
// cannot be had. Neither is the end of the input nor bad input.
TEST_F(MemoryLimitTest, SessionStopsAtALineThatDoesNotFitAfterAnsweringTheOnesBefore) {
  const std::string canServe = R"({"op":"canServeRequest","request":{}})";
  for (const std::size_t nameBytes : {8 * kMiB, 64 * kMiB}) {
    SCOPED_TRACE(nameBytes);
    const fs::path session =
        file("big.jsonl",
             lines({canServe, canServe,
                    R"({"op":"addItem","item":)" + itemWithNameOf(nameBytes) + "}", canServe}));
    const Outcome run = limited({"session", session.string()});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(lines({R"({"op":"canServeRequest","line":1,"value":true})",
                     R"({"op":"canServeRequest","line":2,"value":true})"}),
              run.out);
    EXPECT_EQ("browse: out of memory while reading " + session.string() + ":3\n", run.err);
  }
}

TEST_F(MemoryLimitTest, QueryStopsAtAnItemThatDoesNotFit) {
  const fs::path request = file("request.json", R"({"queries":[{"queryId":"q"}]})");
  for (const std::size_t nameBytes : {8 * kMiB, 64 * kMiB}) {
    SCOPED_TRACE(nameBytes);
    const fs::path items =
        file("big.jsonl", lines({R"({"name":"a"})", itemWithNameOf(nameBytes), R"({"name":"b"})"}));
    const Outcome run =
        limited({"query", "--items", items.string(), "--request", request.string()});
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ("browse: out of memory while reading " + items.string() + ":2\n", run.err);
  }
}

// More items than fit: whatever browse was doing when memory ran out, it
// says so, and prints nothing that looks like a complete answer.
TEST_F(MemoryLimitTest, TooManyItemsEndWithAMessageAndStatusOne) {
  // Their 64-byte copies alone pass the limit, even in an item array
  // reserved for them at once.
  const Outcome generated = browse({"generate", "--count", "600000", "--seed", "3"});
  ASSERT_EQ(0, generated.status) << generated.err;
  const fs::path items = file("items.jsonl", generated.out);
  const fs::path request =
      file("request.json",
           R"({"queries":[{"parameters":{"sort":{"fields":["ByName"]},"paging":{"limit":10}}}]})");
  std::string session;
  std::istringstream itemLines(generated.out);
  for (std::string item; std::getline(itemLines, item);) {
    session += R"({"op":"addItem","item":)" + item + "}\n";
  }
  session += R"({"op":"getResults","request":)" + readFile(request) + "}\n";
  const fs::path sessionFile = file("session.jsonl", session);

  const std::vector<std::string> commands[] = {
      {"query", "--items", items.string(), "--request", request.string()},
      {"session", sessionFile.string()},
  };
  for (const std::vector<std::string>& args : commands) {
    SCOPED_TRACE(args.front());
    const Outcome run = limited(args);
    EXPECT_EQ(1, run.status);
    EXPECT_EQ("", run.out);
    EXPECT_EQ(0u, run.err.rfind("browse: out of memory while ", 0)) << run.err;
    EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << run.err;
  }
}

// browse_failing_allocation fails the k-th allocation after main() starts.
// For every k, browse ends with the complete output and status 0 or with
// status 1, the output so far and one line that says memory ran out.
class FailingAllocationTest : public BrowseCommandTest {
 protected:
  Outcome runFailing(const std::vector<std::string>& args, unsigned long k) {
    RunOptions options;
    options.binary = BROWSE_FAILING_ALLOCATION_BINARY;
    options.env = {"BROWSE_TEST_FAIL_ALLOCATION=" + std::to_string(k),
                   "BROWSE_TEST_ALLOCATION_COUNT=" + (dir_ / "count").string()};
    return run(args, "", options);
  }

  void expectEveryFailureHandled(const std::vector<std::string>& args) {
    const Outcome whole = runFailing(args, 0);
    ASSERT_EQ(0, whole.status) << whole.err;
    const unsigned long allocations = std::stoul(readFile(dir_ / "count"));
    ASSERT_GT(allocations, 100u);
    for (unsigned long k = 1; k <= allocations; ++k) {
      const Outcome run = runFailing(args, k);
      const bool complete = run.status == 0 && run.out == whole.out && run.err.empty();
      const bool reported = run.status == 1 && whole.out.rfind(run.out, 0) == 0 &&
                            (run.out.empty() || run.out.back() == '\n') &&
                            run.err.rfind("browse: out of memory while ", 0) == 0 &&
                            std::count(run.err.begin(), run.err.end(), '\n') == 1;
      if (!complete && !reported) {
        ADD_FAILURE() << "allocation " << k << " of " << allocations << ": status " << run.status
                      << "\nstderr: " << run.err << "stdout: " << run.out;
        return;
      }
    }
  }
};

TEST_F(FailingAllocationTest, SessionExampleSurvivesEveryFailedAllocation) {
  expectEveryFailureHandled({"session", std::string(kExamples) + "/session.jsonl"});
}

TEST_F(FailingAllocationTest, QueryExampleSurvivesEveryFailedAllocation) {
  expectEveryFailureHandled({"query", "--items", std::string(kExamples) + "/items.jsonl",
                             "--request", std::string(kExamples) + "/request.json"});
}

}  // namespace
