// browse query: one browse over a file of items.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "BrowseResponseHandler.h"
#include "Commands.h"
#include "Io.h"
#include "databrowse/RecordJson.h"

namespace browse {

namespace {

// Progress is refreshed once per this many items.
constexpr std::size_t kProgressEvery = 1 << 16;

databrowse::BrowseRequest readRequest(const std::string& path) {
  try {
    const InputText input(path);
    try {
      return databrowse::JsonReader().request(databrowse::PaddedJson{input.text()});
    } catch (const databrowse::JsonError& e) {
      throw InputError(input.name(), e.what());
    }
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("reading the request", inputName(path));
  }
}

void showReading(Progress& progress, std::size_t added, const LineReader& input) {
  std::string message = "reading items: " + std::to_string(added);
  if (input.size() != 0) {
    const auto done = static_cast<double>(input.offset()) / static_cast<double>(input.size());
    message += " (" + std::to_string(static_cast<int>(100 * done)) + "%)";
  }
  progress.show(message);
}

// Adds every item of the JSON Lines file at `path` to `consumer`; returns
// how many it added.
std::size_t addItems(const std::string& path, BrowseResponseConsumer& consumer,
                     Progress& progress) {
  LineReader input(path);
  databrowse::JsonReader reader;
  std::size_t added = 0;
  const auto add = [&](databrowse::BrowseData& item, std::size_t itemLine) {
    try {
      consumer.addItem(item);
    } catch (const std::bad_alloc&) {
      throw OutOfMemory("caching the item of", input.name(), itemLine);
    }
    if (++added % kProgressEvery == 0 && progress.enabled()) showReading(progress, added, input);
  };
  const auto bad = [&](const databrowse::JsonError& problem, std::size_t badLine) {
    throw InputError(input.name() + ":" + std::to_string(badLine), problem.what());
  };
  const auto expect = [&consumer](std::uint64_t lines) {
    // A little more room than estimated: an item array that doubles near
    // the end costs more than room left unused.
    try {
      consumer.cache().reserve(static_cast<std::size_t>(lines + lines / 16));
    } catch (const std::bad_alloc&) {
      // Only a hint: the items still arrive, and their own failure says where.
    }
  };
  readItemLines(input, reader, add, bad, expect);
  return added;
}

CTzError answer(BrowseResponseConsumer& consumer, databrowse::BrowseRequest& request,
                std::vector<databrowse::BrowseResponse>& responses, std::size_t count) {
  try {
    return consumer.getResults(request, responses);
  } catch (const std::bad_alloc&) {
    char doing[64];
    std::snprintf(doing, sizeof doing, "sorting %zu items", count);
    throw OutOfMemory(doing);
  }
}

void writeResponses(const std::vector<databrowse::BrowseResponse>& responses, LineSink& output) {
  try {
    output.line(databrowse::toJson(responses, 2));
    output.flush();
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("writing the responses");
  }
}

// Hands the consumer over to the end of the process. The command returns
// only to exit, and the system takes the cache's memory back at once, where
// freeing its records one by one takes several percent of a run. A static
// keeps the consumer reachable, so leak checkers do not report it; a later
// call in the same process frees the one before. A move takes the cache's
// memory along and leaves the local consumer empty.
void keepUntilExit(BrowseResponseConsumer&& consumer) {
  static auto* kept = new std::optional<BrowseResponseConsumer>();
  *kept = std::move(consumer);
}

}  // namespace

int runQuery(const QueryOptions& options, LineSink& output) {
  if (options.items == "-" && options.request == "-") {
    throw InputError("<stdin>", "--items and --request cannot both read standard input");
  }
  Progress progress;
  databrowse::BrowseRequest request = readRequest(options.request);
  BrowseResponseConsumer consumer;
  try {
    consumer.cache().reset(request);
  } catch (const std::bad_alloc&) {
    throw OutOfMemory("starting the cache for the request");
  }
  const std::size_t count = addItems(options.items, consumer, progress);

  progress.show("sorting " + std::to_string(count) + " items...");
  const auto start = std::chrono::steady_clock::now();
  std::vector<databrowse::BrowseResponse> responses;
  const CTzError result = answer(consumer, request, responses, count);
  if (progress.enabled()) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    progress.show("sorted " + std::to_string(count) + " items in " + std::to_string(took.count()) +
                  " s; writing");
  }
  progress.clear();
  writeResponses(responses, output);
  keepUntilExit(std::move(consumer));
  if (!result.isSuccess()) {
    std::fprintf(stderr, "browse: getResults failed with code %d: %s\n",
                 static_cast<int>(result.code()), result.message().c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace browse
