#include "ServeCommand.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <thread>

#include "AccessLog.h"
#include "Commands.h"
#include "ConsumerPool.h"
#include "DataSetCatalog.h"
#include "HttpServer.h"
#include "Metrics.h"
#include "RequestHandler.h"

namespace browse::serve {

namespace {

constexpr char kServeHelp[] =
    R"(Answers browse requests over HTTP from the JSON Lines files under DIR: the
first path of a request names its data set, "/music/2024" being the file
DIR/music/2024.jsonl. The first request for a data set and sort fields reads
and sorts its items; later pages, flips and counts are answered from memory.
Endpoints:
  POST /v1/browse    a browse request (as 'browse query --request' reads it);
                     answers what 'browse query' prints for it
  GET  /v1/datasets  the data sets, their size and item count once known
  GET  /healthz      {"status":"ok"}
  GET  /metrics      Prometheus text format
Sizes take K, M, G (powers of 1024, also KiB, MiB, GiB) or kB, MB, GB. Prints
"listening on http://HOST:PORT" when ready; logs one line per request on
stderr. SIGINT or SIGTERM stop it after the requests in flight.)";

// Adds an option that takes a byte size.
CLI::Option* addSizeOption(CLI::App& command, const std::string& name, std::uint64_t& size,
                           const std::string& description) {
  return command
      .add_option_function<std::string>(
          name,
          [name, &size](const std::string& text) {
            try {
              size = parseByteSize(text);
            } catch (const std::invalid_argument& e) {
              throw CLI::ValidationError(name, e.what());
            }
          },
          description)
      ->type_name("SIZE");
}

std::chrono::seconds seconds(unsigned count) { return std::chrono::seconds(count); }

// Waits for SIGINT or SIGTERM (blocked in every thread) while `running` holds.
int awaitStopSignal(const sigset_t& signals, const std::function<bool()>& running) {
  const timespec poll{0, 100 * 1000 * 1000};
  while (running()) {
    const int signal = ::sigtimedwait(&signals, nullptr, &poll);
    if (signal > 0) return signal;
  }
  return 0;
}

int serve(const ServeOptions& options, const sigset_t& stopSignals) {
  const DataSetCatalog catalog(options.dataDir);
  Metrics metrics;
  ConsumerPool pool({options.cacheMemory, options.idleTimeout}, metrics);
  const RequestHandler handler(options, catalog, pool, metrics);
  const AccessLog log(STDERR_FILENO, options.log);
  HttpServer server(options, handler, pool, metrics, log);
  ListenAddress bound = options.listen;
  bound.port = server.bind();

  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool served = true;
  std::thread serving([&] {
    const bool ok = server.serve();
    std::lock_guard lock(mutex);
    served = ok;
    done = true;
    finished.notify_all();
  });
  std::printf("listening on %s\n", urlOf(bound).c_str());
  std::fflush(stdout);

  const int signal = awaitStopSignal(stopSignals, [&] {
    std::lock_guard lock(mutex);
    return !done;
  });
  if (signal != 0) {
    std::fprintf(stderr, "browse serve: stopping on %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    server.stop();
  }
  std::unique_lock lock(mutex);
  if (!finished.wait_for(lock, options.shutdownTimeout, [&] { return done; })) {
    std::fprintf(stderr, "browse serve: requests still in flight after %lld s; exiting\n",
                 static_cast<long long>(options.shutdownTimeout.count()));
    std::fflush(stderr);
    std::_Exit(kExitFailure);
  }
  lock.unlock();
  serving.join();
  if (!served) {
    std::fprintf(stderr, "browse serve: the listening socket failed\n");
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace

ServeCommand addServeCommand(CLI::App& app, ServeOptions& options) {
  CLI::App* command = app.add_subcommand("serve", "Answer browse requests over HTTP");
  command->footer(kServeHelp);
  CLI::Option* data =
      command->add_option("--data", options.dataDir, "Folder of the data sets (*.jsonl)")
          ->type_name("DIR");
  command
      ->add_option_function<std::string>(
          "--listen",
          [&options](const std::string& text) {
            try {
              options.listen = parseListenAddress(text);
            } catch (const std::invalid_argument& e) {
              throw CLI::ValidationError("--listen", e.what());
            }
          },
          "Address to listen on (default 127.0.0.1:8080; 0.0.0.0:PORT for every interface)")
      ->type_name("HOST:PORT");
  CLI::Option* threads =
      command
          ->add_option("--threads", options.threads,
                       "Threads that answer requests; a request holds one while answered")
          ->check(CLI::Range(1u, kMaxConnectionsLimit).description(""))
          ->capture_default_str()
          ->type_name("N");
  command
      ->add_option("--max-connections", options.maxConnections,
                   "Connections held at once; past it new ones are answered 503")
      ->check(CLI::Range(1u, kMaxConnectionsLimit).description(""))
      ->capture_default_str()
      ->type_name("N");
  addSizeOption(*command, "--cache-memory", options.cacheMemory,
                "Memory for cached data sets (default 1GiB)");
  addSizeOption(*command, "--max-body", options.maxBody, "Largest request body (default 1MiB)");
  command
      ->add_option_function<unsigned>(
          "--idle-timeout", [&options](unsigned count) { options.idleTimeout = seconds(count); },
          "Seconds after which an unused cached data set is dropped (default 600)")
      ->type_name("SECONDS");
  command
      ->add_option("--max-answer-items", options.maxAnswerItems,
                   "Items of one answer over all its queries")
      ->capture_default_str()
      ->type_name("N");
  command
      ->add_option_function<std::string>(
          "--log",
          [&options](const std::string& format) {
            options.log = format == "json" ? LogFormat::kJson : LogFormat::kText;
          },
          "Request log format on stderr: text (default) or json")
      ->check(CLI::IsMember({"text", "json"}).description(""))
      ->type_name("FORMAT");
  command->add_option("--allow-origin", options.allowOrigin,
                      "Value of Access-Control-Allow-Origin (default: no CORS headers)");
  command
      ->add_option_function<unsigned>(
          "--io-timeout",
          [&options](unsigned count) {
            options.readTimeout = seconds(count);
            options.writeTimeout = seconds(count);
          },
          "Seconds a connection may stall while sending or receiving (default 5)")
      ->check(CLI::Range(1u, 3600u).description(""))
      ->type_name("SECONDS");
  // Only a --threads that was given can clash with --max-connections: the
  // default number of threads shrinks to a smaller connection bound.
  command->callback([&options, threads] {
    if (threads->count() == 0) options.threads = std::min(options.threads, options.maxConnections);
  });
  return {command, data};
}

int runServe(const ServeOptions& options) noexcept {
  try {
    if (options.threads > options.maxConnections) {
      std::fprintf(stderr, "browse: --threads must not exceed --max-connections (%u)\n",
                   options.maxConnections);
      return kExitBadInput;
    }
    // Blocked before any thread starts, so that every thread inherits the
    // mask and only the waiting loop takes these signals.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return serve(options, stopSignals);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "browse: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "browse: serve failed\n");
  }
  return kExitFailure;
}

}  // namespace browse::serve
