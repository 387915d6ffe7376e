// browse query: one browse over a file of items.
#include <chrono>
#include <cstdio>
#include <string>
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
  const InputText input(path);
  try {
    return databrowse::JsonReader().request(databrowse::PaddedJson{input.text()});
  } catch (const databrowse::JsonError& e) {
    throw InputError(input.name(), e.what());
  }
}

// Adds every item of the JSON Lines file at `path` to `consumer`; returns
// how many it added.
std::size_t addItems(const std::string& path, BrowseResponseConsumer& consumer,
                     Progress& progress) {
  const InputText input(path);
  const std::string_view text = input.text();
  databrowse::JsonReader reader;
  std::size_t added = 0;
  forEachLine(text, [&](std::size_t number, std::string_view line) {
    try {
      databrowse::BrowseData item = reader.item(databrowse::PaddedJson{line});
      consumer.addItem(item);
    } catch (const databrowse::JsonError& e) {
      throw InputError(input.name() + ":" + std::to_string(number), e.what());
    }
    if (++added % kProgressEvery == 0 && progress.enabled()) {
      const auto done = static_cast<double>(line.data() - text.data());
      progress.show("reading items: " + std::to_string(added) + " (" +
                    std::to_string(static_cast<int>(100 * done / text.size())) + "%)");
    }
  });
  return added;
}

}  // namespace

int runQuery(const QueryOptions& options) {
  if (options.items == "-" && options.request == "-") {
    throw InputError("<stdin>", "--items and --request cannot both read standard input");
  }
  Progress progress;
  databrowse::BrowseRequest request = readRequest(options.request);
  BrowseResponseConsumer consumer;
  consumer.cache().reset(request);
  const std::size_t count = addItems(options.items, consumer, progress);

  progress.show("sorting " + std::to_string(count) + " items...");
  const auto start = std::chrono::steady_clock::now();
  std::vector<databrowse::BrowseResponse> responses;
  const CTzError result = consumer.getResults(request, responses);
  if (progress.enabled()) {
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    progress.show("sorted " + std::to_string(count) + " items in " + std::to_string(took.count()) +
                  " s; writing");
  }
  const std::string text = databrowse::toJson(responses, 2);
  progress.clear();

  Output output;
  output.line(text);
  output.flush();
  if (!result.isSuccess()) {
    std::fprintf(stderr, "browse: getResults failed with code %d: %s\n",
                 static_cast<int>(result.code()), result.message().c_str());
    return kExitFailure;
  }
  return kExitOk;
}

}  // namespace browse
