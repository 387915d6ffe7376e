// The command line of browse, the host of the browse response consumer.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <new>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "Commands.h"
#include "JsonForms.h"
#include "ServeCommand.h"

namespace {

constexpr char kSessionHelp[] =
    R"(Runs operations against browse consumers that live for the whole run.
Each non-blank line of FILE is one JSON object:
  {"op":"reset","request":REQUEST}            reset the consumer's cache for REQUEST
  {"op":"addItem","item":ITEM}                add an item to the cache
  {"op":"serve","request":REQUEST}            hand REQUEST to the consumer
  {"op":"getResults","request":REQUEST}       answer REQUEST
  {"op":"canServeRequest","request":REQUEST}  ask whether the cache serves REQUEST
A line may add "consumer":NAME; each name is its own consumer, created empty
at its first use, and lines without one use the consumer named "".
Only getResults and canServeRequest print, one JSON object per line:
  {"op":"getResults","line":N,"error":null,"responses":[RESPONSE...]}
  {"op":"canServeRequest","line":N,"value":true}
where N is the line number of the operation ("error" is {"code":C,"message":M}
when getResults returns an error). On bad input browse stops with
"browse: FILE:LINE: problem" on stderr (FILE is <stdin> for standard input)
and exit status 2; the output of the earlier lines is complete.)";

constexpr char kQueryHelp[] =
    R"(Browses once: resets a consumer with the request of REQUEST.json, adds
every item of ITEMS.jsonl (one JSON item a line, blank lines skipped), asks
for the results and prints the responses as one pretty-printed JSON array.
Either file may be '-' for standard input. Bad input stops with
"browse: FILE:LINE: problem" (items) or "browse: FILE: problem" (request)
and exit status 2. When getResults returns an error the responses are still
printed, the error goes to stderr and the exit status is 1. Progress shows
on stderr while reading and sorting when stderr is a terminal.)";

constexpr char kGenerateHelp[] =
    R"(Writes COUNT synthetic items as JSON Lines, the same for the same seed on
every platform: names of 4 to 30 bytes (mixed case, shared prefixes, repeats,
some non-ASCII UTF-8), numbers over the whole signed 64-bit range with many
small ones, flags mostly 0.)";

// Follows the JSON forms in the help.
constexpr char kFooterNotes[] =
    R"(Every field is optional; unknown fields, values of the wrong kind, fractions
and integers outside the signed 64-bit range are errors.
Exit status: 0 success, 1 failure (unreadable file, failed operation,
output error, out of memory), 2 bad usage or bad input.)";

int usageError(const std::string& problem) {
  std::fprintf(stderr, "browse: %s\nRun 'browse --help' for usage.\n", problem.c_str());
  return browse::kExitBadInput;
}

// Says what the first argument that the parser could not place is.
std::string unexpectedArgument(const CLI::App& app, const std::string& otherwise) {
  const std::vector<std::string> extras = app.remaining(true);
  if (extras.empty()) return otherwise;
  const std::string& first = extras.front();
  if (first.size() > 1 && first[0] == '-') return "unknown option '" + first + "'";
  if (app.get_subcommands().empty()) return "unknown command '" + first + "'";
  return "unexpected argument '" + first + "'";
}

// A command name that is none of browse's; empty when the command line names
// a command or none.
std::string unknownCommand(const CLI::App& app) {
  if (!app.get_subcommands().empty()) return {};
  const std::vector<std::string> extras = app.remaining(true);
  if (extras.empty() || extras.front().rfind('-', 0) == 0) return {};
  return extras.front();
}

// Counts and seeds are decimal, as a user writes them: 010 is ten, and 0x10
// is refused. CLI11 converts with strtoull in base 0, which reads a leading 0
// as octal, 0x as hex, a leading '-' as a value wrapped around and a value
// above 2^64-1 as 2^64-1; so the text is checked here and handed on in its
// plain decimal form, which every base-0 reading takes as decimal.
CLI::Validator decimalUnsigned64() {
  return CLI::Validator(
      [](std::string& text) {
        if (!text.empty() && text[0] == '-') return std::string("must not be negative");
        const bool digitsOnly = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
          return c >= '0' && c <= '9';
        });
        if (!digitsOnly) return "must be a decimal number (digits 0 to 9), not '" + text + "'";
        std::uint64_t value = 0;
        if (std::from_chars(text.data(), text.data() + text.size(), value).ec != std::errc()) {
          return std::string("must be at most 18446744073709551615");
        }
        text = std::to_string(value);
        return std::string();
      },
      "", "decimal unsigned 64-bit");
}

// Prints the help that `request` asks for, unless it names a command that
// browse does not have; a help text that cannot be written is a failure like
// any other lost output.
int printHelp(const CLI::App& app, const CLI::Error& request) {
  if (const std::string command = unknownCommand(app); !command.empty()) {
    return usageError("unknown command '" + command + "'");
  }
  std::ostringstream text;
  const int status = app.exit(request, text, text);
  try {
    browse::writeStdout(text.str());
    browse::StdoutSink().flush();
  } catch (const std::runtime_error& e) {
    std::fprintf(stderr, "browse: %s\n", e.what());
    return browse::kExitFailure;
  }
  return status;
}

void reportToStderr(const char* message) { std::fprintf(stderr, "browse: %s\n", message); }

int parseAndRun(int argc, char** argv) {
  CLI::App app{"Command-line host of the browse response consumer.", "browse"};
  // Requirements are checked after parsing, so that an unknown command or
  // option is reported as such rather than as a missing one.
  app.require_subcommand(0, 1);
  app.footer("JSON forms:\n" + browse::jsonForms() + kFooterNotes);

  browse::SessionOptions session;
  CLI::App* sessionCommand = app.add_subcommand("session", "Run JSON Lines operations");
  sessionCommand->footer(kSessionHelp);
  sessionCommand->add_option("FILE", session.file, "Operations, one a line ('-': stdin)")
      ->capture_default_str();

  browse::QueryOptions query;
  CLI::App* queryCommand = app.add_subcommand("query", "Browse a file of items once");
  queryCommand->footer(kQueryHelp);
  CLI::Option* items =
      queryCommand->add_option("--items", query.items, "Items, one JSON object a line ('-': stdin)")
          ->type_name("ITEMS.jsonl");
  CLI::Option* request =
      queryCommand->add_option("--request", query.request, "The browse request ('-': stdin)")
          ->type_name("REQUEST.json");

  browse::GenerateOptions generate;
  CLI::App* generateCommand = app.add_subcommand("generate", "Write synthetic items");
  generateCommand->footer(kGenerateHelp);
  CLI::Option* count = generateCommand->add_option("--count", generate.count, "Number of items")
                           ->transform(decimalUnsigned64())
                           ->type_name("COUNT");
  generateCommand->add_option("--seed", generate.seed, "Seed of the item sequence")
      ->transform(decimalUnsigned64())
      ->capture_default_str()
      ->type_name("SEED");

  browse::serve::ServeOptions serve;
  const browse::serve::ServeCommand serveCommand = browse::serve::addServeCommand(app, serve);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return printHelp(app, help);
  } catch (const CLI::CallForAllHelp& help) {
    return printHelp(app, help);
  } catch (const CLI::ExtrasError& error) {
    return usageError(unexpectedArgument(app, error.what()));
  } catch (const CLI::ParseError& error) {
    return usageError(error.what());
  }
  if (app.get_subcommands().empty()) {
    return usageError("a command is required: session, query, generate or serve");
  }
  const std::pair<const CLI::App*, const CLI::Option*> required[] = {
      {queryCommand, items},
      {queryCommand, request},
      {generateCommand, count},
      {serveCommand.command, serveCommand.data}};
  for (const auto& [command, option] : required) {
    if (command->parsed() && option->count() == 0) {
      return usageError(option->get_name() + " is required");
    }
  }

  // Output goes out in large blocks; commands flush when they need to.
  static char outputBuffer[1 << 16];
  std::setvbuf(stdout, outputBuffer, _IOFBF, sizeof outputBuffer);

  if (*serveCommand.command) return browse::serve::runServe(serve);
  browse::StdoutSink output;
  if (*sessionCommand) {
    return browse::runCommand([&] { return browse::runSession(session, output); }, output,
                              reportToStderr, "starting the session");
  }
  if (*queryCommand) {
    return browse::runCommand([&] { return browse::runQuery(query, output); }, output,
                              reportToStderr, "starting the query");
  }
  return browse::runCommand([&] { return browse::runGenerate(generate, output); }, output,
                            reportToStderr, "generating items");
}

}  // namespace

namespace browse {

int runBrowse(int argc, char** argv) noexcept {
  try {
    return parseAndRun(argc, argv);
  } catch (const std::bad_alloc&) {
    // The commands report their own failures; this is the command line's.
    reportToStderr("out of memory while reading the command line");
  } catch (const std::exception& e) {
    reportToStderr(e.what());
  }
  return kExitFailure;
}

}  // namespace browse
