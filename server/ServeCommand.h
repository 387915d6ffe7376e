// `browse serve`: its command-line options and its run.
#pragma once

#include <CLI/CLI.hpp>

#include "ServeOptions.h"

namespace browse::serve {

struct ServeCommand {
  CLI::App* command;
  CLI::Option* data;  // required; checked by the caller after parsing
};

// Adds the `serve` subcommand to `app`, parsing into `options`.
ServeCommand addServeCommand(CLI::App& app, ServeOptions& options);

// Serves until SIGINT or SIGTERM, then stops accepting, lets the requests in
// flight finish (for at most options.shutdownTimeout) and returns the exit
// status: 0 after a stop, 1 when the server could not start or failed, or
// when requests were still in flight at the end of the wait. Prints
// "listening on http://HOST:PORT" on stdout once it accepts connections; the
// request log and the messages go to stderr. Throws nothing.
int runServe(const ServeOptions& options) noexcept;

}  // namespace browse::serve
