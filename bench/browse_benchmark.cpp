// Benchmarks of the browse response cache against two peers, a plain C++
// vector sorted with std::stable_sort and an in-memory SQLite table, on the
// same generated items.
//
// Benchmark names read FIGURE/IMPLEMENTATION[/ORDER/DIRECTION[/PAGE]]/N:SIZE;
// report.py turns the JSON output into the table and the plot. The sizes come
// from --browse_sizes=100000,1000000 or the environment variable
// BROWSE_BENCH_SIZES (default 100000,1000000,4000000).
//
// Every benchmark that produces a page checks it against the page that the
// first implementation produced for the same order, direction, position and
// size, and fails with an error when the two disagree on the sort keys.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "AllocationCounter.h"
#include "BrowseResponseHandler.h"
#include "Peers.h"
#include "Workload.h"

namespace {

using bench::Order;
using bench::PlainItem;
using databrowse::BrowseData;
using databrowse::BrowseResponse;

constexpr char kDefaultSizes[] = "100000,1000000,4000000";
constexpr char kSizesFlag[] = "--browse_sizes=";

const char* directionName(bool descending) { return descending ? "desc" : "asc"; }

// ---- Shared state, built outside every timed region -------------------------

// State for one workload size, built on first use and dropped when a
// benchmark of another size runs (benchmarks run size by size).
struct Fixtures {
  std::size_t count = 0;
  std::vector<PlainItem> plain;                      // unsorted plain copies
  std::vector<PlainItem> plainSorted;                // [ByName, ByNumber] ascending
  std::unique_ptr<BrowseResponseConsumer> filled;    // holds every item
  std::unique_ptr<bench::SqlitePeer> sqlite;         // table without an index
  std::unique_ptr<bench::SqlitePeer> sqliteIndexed;  // index built after the insert
};

Fixtures& fixturesFor(std::size_t count) {
  static Fixtures fixtures;
  if (fixtures.count != count) {
    fixtures = Fixtures{};
    fixtures.count = count;
  }
  return fixtures;
}

const std::vector<PlainItem>& plainItems(std::size_t count) {
  Fixtures& fixtures = fixturesFor(count);
  if (fixtures.plain.size() != count) {
    fixtures.plain.clear();
    bench::copyToPlain(bench::workloadItems(count), fixtures.plain);
  }
  return fixtures.plain;
}

const std::vector<PlainItem>& plainSorted(std::size_t count) {
  Fixtures& fixtures = fixturesFor(count);
  if (fixtures.plainSorted.size() != count) {
    fixtures.plainSorted = plainItems(count);
    bench::stableSortPlain(fixtures.plainSorted, Order::kNameNumber, false);
  }
  return fixtures.plainSorted;
}

BrowseResponseConsumer& filledConsumer(std::size_t count) {
  Fixtures& fixtures = fixturesFor(count);
  if (!fixtures.filled) {
    auto consumer = std::make_unique<BrowseResponseConsumer>();
    databrowse::BrowseRequest request = bench::pageRequest(Order::kNameNumber, false, 0);
    consumer->cache().reset(request);
    for (BrowseData& item : bench::workloadItems(count)) consumer->addItem(item);
    fixtures.filled = std::move(consumer);
  }
  return *fixtures.filled;
}

// A table of the workload; with `indexed`, the [ByName, ByNumber] index is
// created after the insert.
bench::SqlitePeer& sqliteTable(std::size_t count, bool indexed) {
  Fixtures& fixtures = fixturesFor(count);
  std::unique_ptr<bench::SqlitePeer>& table = indexed ? fixtures.sqliteIndexed : fixtures.sqlite;
  if (!table) {
    auto made = std::make_unique<bench::SqlitePeer>();
    made->insertAll(bench::workloadItems(count));
    if (indexed) made->createIndex(Order::kNameNumber);
    table = std::move(made);
  }
  return *table;
}

// ---- Page checks ------------------------------------------------------------

struct ReferencePage {
  std::string producer;
  std::vector<bench::OrderKey> keys;
};

// Compares `page` with the first page recorded for the same slot; records it
// when it is the first. Returns a description of the disagreement, or "".
std::string checkPage(const std::string& slot, const std::string& producer, Order order,
                      std::size_t expectedSize, const std::vector<PlainItem>& page) {
  if (page.size() != expectedSize) {
    return producer + " returned " + std::to_string(page.size()) + " items for " + slot +
           ", expected " + std::to_string(expectedSize);
  }
  static std::map<std::string, ReferencePage> references;
  std::vector<bench::OrderKey> keys;
  keys.reserve(page.size());
  for (const PlainItem& item : page) keys.push_back(bench::orderKeyOf(order, item));
  auto [found, inserted] = references.try_emplace(slot, ReferencePage{producer, keys});
  if (inserted || found->second.keys == keys) return {};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != found->second.keys[i]) {
      return producer + ": page " + slot + " differs from that of " + found->second.producer +
             " at item " + std::to_string(i);
    }
  }
  return producer + ": page " + slot + " differs from that of " + found->second.producer;
}

std::string pageSlot(Order order, bool descending, std::size_t offset, std::size_t count) {
  return std::string(bench::orderName(order)) + "/" + directionName(descending) + "/" +
         std::to_string(offset) + "/N:" + std::to_string(count);
}

std::size_t expectedPageSize(std::size_t offset, std::size_t count) {
  return offset >= count ? 0 : std::min<std::size_t>(bench::kPageSize, count - offset);
}

std::vector<PlainItem> plainPage(std::vector<BrowseResponse>& responses) {
  std::vector<PlainItem> page;
  if (responses.empty()) return page;
  for (BrowseData& item : responses.front().result().items()) page.push_back(bench::plainOf(item));
  return page;
}

// Runs `body`, turning a thrown exception into a benchmark error.
template <class Body>
void guarded(benchmark::State& state, Body body) {
  try {
    body();
  } catch (const std::exception& error) {
    state.SkipWithError(error.what());
  }
}

void reportPerItem(benchmark::State& state, std::size_t count) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
  state.counters["items"] = static_cast<double>(count);
}

void failIfWrong(benchmark::State& state, const std::string& problem) {
  if (!problem.empty()) state.SkipWithError(problem.c_str());
}

// ---- Record copies ----------------------------------------------------------

void copyBrowseData(benchmark::State& state, const std::string& name) {
  BrowseData item;
  item.setName(name);
  item.setNumber(1234567);
  item.flags(true).setFlag(0);  // as the generator sets it
  for (auto _ : state) {
    BrowseData copy(item);
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(name.size()) + "-byte name, number, flags");
}

void copyPlainStruct(benchmark::State& state, const std::string& name) {
  const PlainItem item{name, 1234567, 0};
  for (auto _ : state) {
    PlainItem copy(item);
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::to_string(name.size()) + "-byte name, number, flag");
}

// ---- Adding items -----------------------------------------------------------

void addItemsOurs(benchmark::State& state, std::size_t count) {
  std::vector<BrowseData>& items = bench::workloadItems(count);
  databrowse::BrowseRequest request = bench::pageRequest(Order::kNameNumber, false, 0);
  std::unique_ptr<BrowseResponseConsumer> consumer;
  for (auto _ : state) {
    state.PauseTiming();
    consumer = std::make_unique<BrowseResponseConsumer>();
    consumer->cache().reset(request);
    state.ResumeTiming();
    for (BrowseData& item : items) consumer->addItem(item);
    benchmark::DoNotOptimize(consumer->cache().itemCount());
    state.PauseTiming();
    consumer.reset();
    state.ResumeTiming();
  }
  reportPerItem(state, count);
  state.SetLabel("new consumer; teardown untimed");
}

void addItemsPlain(benchmark::State& state, std::size_t count) {
  const std::vector<BrowseData>& items = bench::workloadItems(count);
  std::vector<PlainItem> copies;
  for (auto _ : state) {
    bench::copyToPlain(items, copies);
    benchmark::DoNotOptimize(copies.data());
    state.PauseTiming();
    std::vector<PlainItem>().swap(copies);
    state.ResumeTiming();
  }
  reportPerItem(state, count);
  state.SetLabel("reserve, then copy; teardown untimed");
}

// ---- Sort alone -------------------------------------------------------------

void sortOurs(benchmark::State& state, std::size_t count, Order order, bool descending) {
  BrowseResponseConsumer& consumer = filledConsumer(count);
  databrowse::BrowseRequest request = bench::pageRequest(order, descending, 0);
  for (auto _ : state) {
    CTzError result = consumer.cache().sort(request);
    benchmark::DoNotOptimize(result);
  }
  reportPerItem(state, count);
  state.SetLabel("cache().sort on the filled cache");
  // The page comes from the order just sorted: getResults must not sort again.
  std::vector<BrowseResponse> responses;
  consumer.getResults(request, responses);
  failIfWrong(state, checkPage(pageSlot(order, descending, 0, count), "ours", order,
                               expectedPageSize(0, count), plainPage(responses)));
}

void sortStable(benchmark::State& state, std::size_t count, Order order, bool descending) {
  const std::vector<PlainItem>& original = plainItems(count);
  std::vector<PlainItem> work;
  for (auto _ : state) {
    state.PauseTiming();
    work = original;
    state.ResumeTiming();
    bench::stableSortPlain(work, order, descending);
    benchmark::DoNotOptimize(work.data());
  }
  reportPerItem(state, count);
  state.SetLabel("sort of copied structs");
  failIfWrong(state, checkPage(pageSlot(order, descending, 0, count), "stable_sort", order,
                               expectedPageSize(0, count), bench::cutPage(work, 0)));
}

// ---- One page of sorted items -----------------------------------------------

void pageOurs(benchmark::State& state, std::size_t count, std::size_t offset) {
  BrowseResponseConsumer& consumer = filledConsumer(count);
  databrowse::BrowseRequest request =
      bench::pageRequest(Order::kNameNumber, false, static_cast<long long>(offset));
  std::vector<BrowseResponse> responses;
  consumer.getResults(request, responses);  // sorts when the cache is not in this order
  const std::string problem =
      checkPage(pageSlot(Order::kNameNumber, false, offset, count), "ours", Order::kNameNumber,
                expectedPageSize(offset, count), plainPage(responses));
  if (!problem.empty()) return failIfWrong(state, problem);
  for (auto _ : state) {
    consumer.getResults(request, responses);
    benchmark::DoNotOptimize(responses.data());
  }
  state.SetItemsProcessed(state.iterations() * bench::kPageSize);
  state.counters["items"] = static_cast<double>(count);
  state.SetLabel("getResults on the sorted cache");
}

void pageStable(benchmark::State& state, std::size_t count, std::size_t offset) {
  const std::vector<PlainItem>& sorted = plainSorted(count);
  const std::string problem = checkPage(
      pageSlot(Order::kNameNumber, false, offset, count), "stable_sort", Order::kNameNumber,
      expectedPageSize(offset, count), bench::cutPage(sorted, offset));
  if (!problem.empty()) return failIfWrong(state, problem);
  for (auto _ : state) {
    std::vector<PlainItem> page = bench::cutPage(sorted, offset);
    benchmark::DoNotOptimize(page.data());
  }
  state.SetItemsProcessed(state.iterations() * bench::kPageSize);
  state.counters["items"] = static_cast<double>(count);
  state.SetLabel("copy of a slice of the sorted vector");
}

void pageSqlite(benchmark::State& state, std::size_t count, std::size_t offset, bool indexed) {
  bench::SqlitePeer& table = sqliteTable(count, indexed);
  const auto start = static_cast<long long>(offset);
  const std::string problem =
      checkPage(pageSlot(Order::kNameNumber, false, offset, count),
                indexed ? "sqlite_indexed" : "sqlite", Order::kNameNumber,
                expectedPageSize(offset, count), table.page(Order::kNameNumber, false, start));
  if (!problem.empty()) return failIfWrong(state, problem);
  for (auto _ : state) {
    std::vector<PlainItem> page = table.page(Order::kNameNumber, false, start);
    benchmark::DoNotOptimize(page.data());
  }
  state.SetItemsProcessed(state.iterations() * bench::kPageSize);
  state.counters["items"] = static_cast<double>(count);
  state.SetLabel((indexed ? "index built after the insert; plan: " : "plan: ") +
                 table.plan(Order::kNameNumber, false));
}

// ---- Whole browse: collect the items, answer the first page -----------------

void browseOurs(benchmark::State& state, std::size_t count, Order order, bool descending) {
  std::vector<BrowseData>& items = bench::workloadItems(count);
  databrowse::BrowseRequest request = bench::pageRequest(order, descending, 0);
  std::unique_ptr<BrowseResponseConsumer> consumer;
  std::vector<BrowseResponse> responses;
  std::vector<PlainItem> firstPage;
  for (auto _ : state) {
    state.PauseTiming();
    consumer = std::make_unique<BrowseResponseConsumer>();
    state.ResumeTiming();
    consumer->cache().reset(request);
    for (BrowseData& item : items) consumer->addItem(item);
    CTzError result = consumer->getResults(request, responses);
    benchmark::DoNotOptimize(result);
    state.PauseTiming();
    firstPage = plainPage(responses);
    responses.clear();
    consumer.reset();
    state.ResumeTiming();
  }
  reportPerItem(state, count);
  state.SetLabel("reset, addItem x N, getResults; teardown untimed");
  failIfWrong(state, checkPage(pageSlot(order, descending, 0, count), "ours", order,
                               expectedPageSize(0, count), firstPage));
}

void browseStable(benchmark::State& state, std::size_t count, Order order, bool descending) {
  const std::vector<BrowseData>& items = bench::workloadItems(count);
  std::vector<PlainItem> work;
  std::vector<PlainItem> firstPage;
  for (auto _ : state) {
    bench::copyToPlain(items, work);
    bench::stableSortPlain(work, order, descending);
    firstPage = bench::cutPage(work, 0);
    benchmark::DoNotOptimize(firstPage.data());
    state.PauseTiming();
    std::vector<PlainItem>().swap(work);
    state.ResumeTiming();
  }
  reportPerItem(state, count);
  state.SetLabel("copy, stable_sort, page; teardown untimed");
  failIfWrong(state, checkPage(pageSlot(order, descending, 0, count), "stable_sort", order,
                               expectedPageSize(0, count), firstPage));
}

void browseSqlite(benchmark::State& state, std::size_t count, Order order, bool descending,
                  bool indexed) {
  const std::vector<BrowseData>& items = bench::workloadItems(count);
  std::unique_ptr<bench::SqlitePeer> table;
  std::vector<PlainItem> firstPage;
  std::string plan;
  for (auto _ : state) {
    state.PauseTiming();
    table = std::make_unique<bench::SqlitePeer>();
    state.ResumeTiming();
    table->insertAll(items);
    if (indexed) table->createIndex(order);
    firstPage = table->page(order, descending, 0);
    benchmark::DoNotOptimize(firstPage.data());
    state.PauseTiming();
    if (plan.empty()) plan = table->plan(order, descending);
    table.reset();
    state.ResumeTiming();
  }
  reportPerItem(state, count);
  state.SetLabel((indexed ? "insert, index, page; plan: " : "insert, page; plan: ") + plan);
  failIfWrong(
      state, checkPage(pageSlot(order, descending, 0, count), indexed ? "sqlite_indexed" : "sqlite",
                       order, expectedPageSize(0, count), firstPage));
}

// ---- Peak memory of a whole browse, above the input --------------------------

void reportMemory(benchmark::State& state, std::size_t count, std::int64_t peakBytes) {
  state.counters["items"] = static_cast<double>(count);
  state.counters["bytes_per_item"] = static_cast<double>(peakBytes) / static_cast<double>(count);
  state.counters["input_bytes_per_item"] = bench::workloadBytesPerItem();
}

void memoryOurs(benchmark::State& state, std::size_t count) {
  std::vector<BrowseData>& items = bench::workloadItems(count);
  databrowse::BrowseRequest request = bench::pageRequest(Order::kNameNumber, false, 0);
  std::int64_t peak = 0;
  std::int64_t copies = 0;
  for (auto _ : state) {
    bench::CountingWindow window;
    {
      BrowseResponseConsumer consumer;
      std::vector<BrowseResponse> responses;
      consumer.cache().reset(request);
      for (BrowseData& item : items) consumer.addItem(item);
      copies = window.currentAbove();
      consumer.getResults(request, responses);
      benchmark::DoNotOptimize(responses.data());
    }
    peak = window.peakAbove();
  }
  reportMemory(state, count, peak);
  // What the cache holds once every item is added, before the sort.
  state.counters["copies_bytes_per_item"] =
      static_cast<double>(copies) / static_cast<double>(count);
  state.SetLabel("heap bytes held at the peak");
}

void memoryStable(benchmark::State& state, std::size_t count) {
  const std::vector<BrowseData>& items = bench::workloadItems(count);
  std::int64_t peak = 0;
  for (auto _ : state) {
    bench::CountingWindow window;
    {
      std::vector<PlainItem> work;
      bench::copyToPlain(items, work);
      bench::stableSortPlain(work, Order::kNameNumber, false);
      std::vector<PlainItem> page = bench::cutPage(work, 0);
      benchmark::DoNotOptimize(page.data());
    }
    peak = window.peakAbove();
  }
  reportMemory(state, count, peak);
  state.SetLabel("heap bytes held at the peak");
}

void memorySqlite(benchmark::State& state, std::size_t count, bool indexed) {
  const std::vector<BrowseData>& items = bench::workloadItems(count);
  std::int64_t peak = 0;
  for (auto _ : state) {
    bench::CountingWindow window;
    {
      bench::SqlitePeer table;
      table.insertAll(items);
      if (indexed) table.createIndex(Order::kNameNumber);
      std::vector<PlainItem> page = table.page(Order::kNameNumber, false, 0);
      benchmark::DoNotOptimize(page.data());
    }
    peak = window.peakAbove();
  }
  reportMemory(state, count, peak);
  state.SetLabel("heap bytes held at the peak");
}

// ---- Registration -----------------------------------------------------------

std::vector<std::size_t> parseSizes(const std::string& list) {
  std::vector<std::size_t> sizes;
  std::stringstream stream(list);
  std::string part;
  while (std::getline(stream, part, ',')) {
    if (part.empty()) continue;
    const unsigned long long size = std::stoull(part);
    if (size < static_cast<unsigned long long>(bench::kPageSize)) {
      throw std::invalid_argument("workload size " + part + " is below one page (100 items)");
    }
    sizes.push_back(static_cast<std::size_t>(size));
  }
  if (sizes.empty()) throw std::invalid_argument("no workload sizes in '" + list + "'");
  return sizes;
}

template <class Body>
benchmark::internal::Benchmark* add(const std::string& name, Body body) {
  return benchmark::RegisterBenchmark(
             name.c_str(),
             [body](benchmark::State& state) { guarded(state, [&] { body(state); }); })
      ->UseRealTime();
}

void registerCopies() {
  const std::string shortName = "Photo_12";  // 8 bytes: fits std::string inline
  const std::string longName = "ReportDraft-Meeting-summary-42";  // 30 bytes: the longest generated
  for (const auto& [label, name] : {std::pair{"short", shortName}, std::pair{"long", longName}}) {
    add(std::string("copy/browse_data/") + label,
        [name = name](benchmark::State& state) { copyBrowseData(state, name); });
    add(std::string("copy/plain_struct/") + label,
        [name = name](benchmark::State& state) { copyPlainStruct(state, name); });
  }
}

void registerSize(std::size_t n) {
  const std::string suffix = "/N:" + std::to_string(n);
  auto const ms = benchmark::kMillisecond;

  add("add_items/ours" + suffix, [n](benchmark::State& s) { addItemsOurs(s, n); })->Unit(ms);
  add("add_items/stable_sort" + suffix, [n](benchmark::State& s) {
    addItemsPlain(s, n);
  })->Unit(ms);

  for (Order order : bench::kOrders) {
    for (bool desc : {false, true}) {
      const std::string key = std::string(bench::orderName(order)) + "/" + directionName(desc);
      add("sort/ours/" + key + suffix, [=](benchmark::State& s) {
        sortOurs(s, n, order, desc);
      })->Unit(ms);
      add("sort/stable_sort/" + key + suffix, [=](benchmark::State& s) {
        sortStable(s, n, order, desc);
      })->Unit(ms);
    }
  }

  const std::pair<const char*, std::size_t> pages[] = {
      {"first", 0}, {"middle", n / 2}, {"last", n - bench::kPageSize}};
  for (const auto& [where, offset] : pages) {
    const std::string key = std::string("name_number/asc/") + where + suffix;
    add("page/ours/" + key, [=, offset = offset](benchmark::State& s) {
      pageOurs(s, n, offset);
    })->Unit(benchmark::kMicrosecond);
    add("page/stable_sort/" + key, [=, offset = offset](benchmark::State& s) {
      pageStable(s, n, offset);
    })->Unit(benchmark::kMicrosecond);
    add("page/sqlite/" + key, [=, offset = offset](benchmark::State& s) {
      pageSqlite(s, n, offset, false);
    })->Unit(benchmark::kMicrosecond);
    add("page/sqlite_indexed/" + key, [=, offset = offset](benchmark::State& s) {
      pageSqlite(s, n, offset, true);
    })->Unit(benchmark::kMicrosecond);
  }

  for (Order order : bench::kOrders) {
    for (bool desc : {false, true}) {
      const std::string key = std::string(bench::orderName(order)) + "/" + directionName(desc);
      add("browse/ours/" + key + suffix, [=](benchmark::State& s) {
        browseOurs(s, n, order, desc);
      })->Unit(ms);
      add("browse/stable_sort/" + key + suffix, [=](benchmark::State& s) {
        browseStable(s, n, order, desc);
      })->Unit(ms);
      add("browse/sqlite/" + key + suffix, [=](benchmark::State& s) {
        browseSqlite(s, n, order, desc, false);
      })->Unit(ms);
    }
  }
  add("browse/sqlite_indexed/name_number/asc" + suffix, [n](benchmark::State& s) {
    browseSqlite(s, n, Order::kNameNumber, false, true);
  })->Unit(ms);

  // One pass each: the counts do not vary between runs.
  add("memory/ours/name_number/asc" + suffix, [n](benchmark::State& s) { memoryOurs(s, n); })
      ->Iterations(1)
      ->Unit(ms);
  add("memory/stable_sort/name_number/asc" + suffix,
      [n](benchmark::State& s) { memoryStable(s, n); })
      ->Iterations(1)
      ->Unit(ms);
  add("memory/sqlite/name_number/asc" + suffix,
      [n](benchmark::State& s) { memorySqlite(s, n, false); })
      ->Iterations(1)
      ->Unit(ms);
  add("memory/sqlite_indexed/name_number/asc" + suffix,
      [n](benchmark::State& s) { memorySqlite(s, n, true); })
      ->Iterations(1)
      ->Unit(ms);
}

// Takes --browse_sizes=... out of the arguments; falls back to the
// environment, then to the default sizes.
std::string takeSizes(int& argc, char** argv) {
  std::string sizes;
  if (const char* fromEnvironment = std::getenv("BROWSE_BENCH_SIZES")) sizes = fromEnvironment;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument.substr(0, sizeof kSizesFlag - 1) == kSizesFlag) {
      sizes = std::string(argument.substr(sizeof kSizesFlag - 1));
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  argv[argc] = nullptr;
  return sizes.empty() ? kDefaultSizes : sizes;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  const std::string sizeList = takeSizes(argc, argv);
  try {
    sizes = parseSizes(sizeList);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "browse_benchmark: %s\n", error.what());
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  benchmark::AddCustomContext("browse_sizes", sizeList);
  benchmark::AddCustomContext("sqlite_version", sqlite3_libversion());
  registerCopies();
  for (std::size_t n : sizes) registerSize(n);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
