// Benchmarks of the browse response cache against two peers, a plain C++
// vector sorted with std::stable_sort and an in-memory SQLite table, on the
// same generated items.
//
// Benchmark names read FIGURE/IMPLEMENTATION[/ORDER/DIRECTION[/VARIANT]]/N:SIZE;
// report.py turns the JSON output into the table and the plot. The sizes come
// from --browse_sizes=100000,1000000 or the environment variable
// BROWSE_BENCH_SIZES (default 100000,1000000,4000000).
//
// Two kinds of benchmark:
// - fresh: every repetition runs in a new child process (FreshProcess.h) and
//   reports one timed region through a pipe; the time is handed to Google
//   Benchmark as manual time, the child's CPU time as the counter
//   child_cpu_ns. Whole browses, adds, first sorts, the sorter alone, first
//   answers, warm re-sorts, teardown and memory are measured so.
// - in process: record copies, re-sorts of one filled consumer and pages from
//   the sorted items, repeated in a loop on warm fixtures of this process.
//
// Every benchmark that produces a page checks it against the page that the
// first implementation produced for the same order, direction, position and
// size, and fails with an error when the two disagree on the sort keys.
#include <benchmark/benchmark.h>
#include <gnu/libc-version.h>
#include <sqlite3.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "BrowseResponseHandler.h"
#include "FailingAllocator.h"
#include "FreshProcess.h"
#include "Peers.h"
#include "Scenarios.h"
#include "Workload.h"

namespace {

using bench::Order;
using bench::PlainItem;
using databrowse::BrowseData;
using databrowse::BrowseResponse;

constexpr char kDefaultSizes[] = "100000,1000000,4000000";
constexpr char kSizesFlag[] = "--browse_sizes=";

const char* directionName(bool descending) { return descending ? "desc" : "asc"; }

std::string orderKey(Order order, bool descending) {
  return std::string(bench::orderName(order)) + "/" + directionName(descending);
}

bench::FreshProcessPool& pool() {
  static bench::FreshProcessPool fresh;
  return fresh;
}

// ---- Fixtures of the in-process benchmarks ----------------------------------

// State for one workload size, built on first use and dropped when a
// benchmark of another size runs. Fresh benchmarks never see it.
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

// Where a page sits: its order, direction, offset and workload size.
struct PageSlot {
  Order order = Order::kNameNumber;
  bool descending = false;
  std::size_t offset = 0;
  std::size_t count = 0;

  std::string name() const {
    return orderKey(order, descending) + "/" + std::to_string(offset) +
           "/N:" + std::to_string(count);
  }
  std::size_t expectedSize() const {
    return offset >= count ? 0 : std::min<std::size_t>(bench::kPageSize, count - offset);
  }
};

struct ReferencePage {
  std::string producer;
  std::vector<bench::OrderKey> keys;
};

// Compares `page` with the first page recorded for the same slot; records it
// when it is the first. Returns a description of the disagreement, or "".
std::string checkPage(const PageSlot& slot, const std::string& producer,
                      const std::vector<PlainItem>& page) {
  const std::string where = slot.name();
  if (page.size() != slot.expectedSize()) {
    return producer + " returned " + std::to_string(page.size()) + " items for " + where +
           ", expected " + std::to_string(slot.expectedSize());
  }
  static std::map<std::string, ReferencePage> references;
  std::vector<bench::OrderKey> keys;
  keys.reserve(page.size());
  for (const PlainItem& item : page) keys.push_back(bench::orderKeyOf(slot.order, item));
  auto [found, inserted] = references.try_emplace(where, ReferencePage{producer, keys});
  if (inserted || found->second.keys == keys) return {};
  for (std::size_t i = 0; i < keys.size(); ++i) {
    if (keys[i] != found->second.keys[i]) {
      return producer + ": page " + where + " differs from that of " + found->second.producer +
             " at item " + std::to_string(i);
    }
  }
  return producer + ": page " + where + " differs from that of " + found->second.producer;
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

// ---- Fresh benchmarks: one child process per repetition ----------------------

struct FreshBenchmark {
  std::string name;
  int measurement = -1;
  std::size_t count = 0;
  std::optional<PageSlot> slot;  // the page it produces, if any
};

void runFresh(benchmark::State& state, const FreshBenchmark& fresh) {
  bench::ChildReport report;
  for (auto _ : state) {
    report = pool().run(fresh.measurement);
    if (!report.error.empty()) {
      state.SkipWithError(report.error.c_str());
      break;
    }
    state.SetIterationTime(report.wallSeconds);
  }
  if (state.error_occurred()) return;
  reportPerItem(state, fresh.count);
  const auto n = static_cast<double>(fresh.count);
  state.counters["child_cpu_ns"] = report.cpuSeconds * 1e9;
  state.counters["minor_faults_per_item"] = static_cast<double>(report.minorFaults) / n;
  for (const auto& [name, value] : report.counters) {
    if (name == "rss_peak_above_fork_bytes") {
      state.counters["rss_bytes_per_item"] = value / n;
    } else {
      state.counters[name] = value;
    }
  }
  state.SetLabel(report.label);
  if (fresh.slot) failIfWrong(state, checkPage(*fresh.slot, fresh.name, report.page));
}

// Full names (as Google Benchmark matches them) and sizes of the fresh benchmarks.
std::vector<std::pair<std::string, std::size_t>>& freshNames() {
  static std::vector<std::pair<std::string, std::size_t>> names;
  return names;
}

benchmark::internal::Benchmark* addFresh(const std::string& name, std::size_t count,
                                         bench::Measurement measurement,
                                         std::optional<PageSlot> slot) {
  FreshBenchmark fresh{name, pool().add(count, std::move(measurement)), count, slot};
  freshNames().emplace_back(name + "/iterations:1/manual_time", count);
  return benchmark::RegisterBenchmark(
             name.c_str(),
             [fresh](benchmark::State& state) { guarded(state, [&] { runFresh(state, fresh); }); })
      ->UseManualTime()
      ->Iterations(1)
      ->Unit(benchmark::kMillisecond);
}

// ---- Record copies (in process) ---------------------------------------------

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

// ---- Re-sort of one filled consumer (in process) -----------------------------

void resortOurs(benchmark::State& state, std::size_t count, Order order, bool descending) {
  BrowseResponseConsumer& consumer = filledConsumer(count);
  databrowse::BrowseRequest request = bench::pageRequest(order, descending, 0);
  for (auto _ : state) {
    CTzError result = consumer.cache().sort(request);
    benchmark::DoNotOptimize(result);
  }
  reportPerItem(state, count);
  state.SetLabel("cache().sort again on the filled cache");
  // The page comes from the order just sorted: getResults must not sort again.
  std::vector<BrowseResponse> responses;
  consumer.getResults(request, responses);
  failIfWrong(state, checkPage(PageSlot{order, descending, 0, count}, "resort/ours",
                               bench::plainPage(responses)));
}

void resortStable(benchmark::State& state, std::size_t count, Order order, bool descending) {
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
  state.SetLabel("stable_sort of a copy, in reused memory");
  failIfWrong(state, checkPage(PageSlot{order, descending, 0, count}, "resort/stable_sort",
                               bench::cutPage(work, 0)));
}

// ---- One page of sorted items (in process) -----------------------------------

void setPageCounters(benchmark::State& state, std::size_t count) {
  state.SetItemsProcessed(state.iterations() * bench::kPageSize);
  state.counters["items"] = static_cast<double>(count);
}

void pageOurs(benchmark::State& state, std::size_t count, std::size_t offset) {
  BrowseResponseConsumer& consumer = filledConsumer(count);
  databrowse::BrowseRequest request =
      bench::pageRequest(Order::kNameNumber, false, static_cast<long long>(offset));
  std::vector<BrowseResponse> responses;
  consumer.getResults(request, responses);  // sorts when the cache is not in this order
  const std::string problem = checkPage(PageSlot{Order::kNameNumber, false, offset, count},
                                        "page/ours", bench::plainPage(responses));
  if (!problem.empty()) return failIfWrong(state, problem);
  for (auto _ : state) {
    consumer.getResults(request, responses);
    benchmark::DoNotOptimize(responses.data());
  }
  setPageCounters(state, count);
  state.SetLabel("getResults on the sorted cache, copies included");
}

void pageStable(benchmark::State& state, std::size_t count, std::size_t offset) {
  const std::vector<PlainItem>& sorted = plainSorted(count);
  const std::string problem = checkPage(PageSlot{Order::kNameNumber, false, offset, count},
                                        "page/stable_sort", bench::cutPage(sorted, offset));
  if (!problem.empty()) return failIfWrong(state, problem);
  for (auto _ : state) {
    std::vector<PlainItem> page = bench::cutPage(sorted, offset);
    benchmark::DoNotOptimize(page.data());
  }
  setPageCounters(state, count);
  state.SetLabel("copy of a slice of the sorted vector");
}

void pageSqlite(benchmark::State& state, std::size_t count, std::size_t offset, bool indexed) {
  bench::SqlitePeer& table = sqliteTable(count, indexed);
  const auto start = static_cast<long long>(offset);
  const std::string problem = checkPage(PageSlot{Order::kNameNumber, false, offset, count},
                                        indexed ? "page/sqlite_indexed" : "page/sqlite",
                                        table.page(Order::kNameNumber, false, start));
  if (!problem.empty()) return failIfWrong(state, problem);
  for (auto _ : state) {
    std::vector<PlainItem> page = table.page(Order::kNameNumber, false, start);
    benchmark::DoNotOptimize(page.data());
  }
  setPageCounters(state, count);
  state.SetLabel((indexed ? "index built after the insert; plan: " : "plan: ") +
                 table.plan(Order::kNameNumber, false));
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

void registerFreshSize(std::size_t n) {
  using bench::Items;
  const std::string suffix = "/N:" + std::to_string(n);
  const PageSlot firstPage{Order::kNameNumber, false, 0, n};

  addFresh(
      "add_items/ours" + suffix, n, [](Items& items) { return bench::addItemsOurs(items, false); },
      std::nullopt);
  addFresh(
      "add_items/ours/reserved" + suffix, n,
      [](Items& items) { return bench::addItemsOurs(items, true); }, std::nullopt);
  addFresh("add_items/stable_sort" + suffix, n, bench::addItemsPlain, std::nullopt);

  for (Order order : bench::kOrders) {
    for (bool desc : {false, true}) {
      const std::string key = orderKey(order, desc);
      const PageSlot slot{order, desc, 0, n};
      addFresh(
          "browse/ours/" + key + suffix, n,
          [=](Items& items) { return bench::browseOurs(items, order, desc, false); }, slot);
      addFresh(
          "browse/stable_sort/" + key + suffix, n,
          [=](Items& items) { return bench::browsePlain(items, order, desc, false); }, slot);
      addFresh(
          "browse/sqlite/" + key + suffix, n,
          [=](Items& items) { return bench::browseSqlite(items, order, desc, false, false); },
          slot);
      addFresh(
          "first_sort/ours/" + key + suffix, n,
          [=](Items& items) { return bench::firstSortOurs(items, order, desc); }, slot);
      addFresh(
          "first_sort/stable_sort/" + key + suffix, n,
          [=](Items& items) { return bench::firstSortPlain(items, order, desc); }, slot);
    }
  }
  addFresh(
      "browse/sqlite_indexed/name_number/asc" + suffix, n,
      [](Items& items) {
        return bench::browseSqlite(items, Order::kNameNumber, false, true, false);
      },
      firstPage);

  addFresh("first_page/ours/name_number/asc" + suffix, n, bench::firstPageOurs, firstPage);
  addFresh("first_page/sqlite/name_number/asc" + suffix, n, bench::firstPageSqlite, firstPage);

  addFresh(
      "sorter/ours/name_number/asc/all" + suffix, n,
      [](Items& items) { return bench::sorterAlone(items, items.size(), false); }, firstPage);
  addFresh(
      "sorter/ours/name_number/asc/first100" + suffix, n,
      [](Items& items) {
        return bench::sorterAlone(items, static_cast<std::size_t>(bench::kPageSize), false);
      },
      firstPage);

  for (const auto change : {bench::WarmChange::kFlipDirection, bench::WarmChange::kOtherFields}) {
    const char* variant = change == bench::WarmChange::kFlipDirection ? "flip" : "fields";
    addFresh(
        "warm_resort/ours/" + std::string(variant) + suffix, n,
        [=](Items& items) { return bench::warmResort(items, change); },
        PageSlot{bench::warmOrder(change), bench::warmDescending(change), 0, n});
  }

  addFresh("teardown/ours/name_number/asc" + suffix, n, bench::teardownOurs, firstPage);
  addFresh("teardown/stable_sort/name_number/asc" + suffix, n, bench::teardownPlain, firstPage);

  addFresh(
      "memory/ours/name_number/asc" + suffix, n,
      [](Items& items) { return bench::browseOurs(items, Order::kNameNumber, false, true); },
      firstPage);
  addFresh(
      "memory/stable_sort/name_number/asc" + suffix, n,
      [](Items& items) { return bench::browsePlain(items, Order::kNameNumber, false, true); },
      firstPage);
  addFresh(
      "memory/sqlite/name_number/asc" + suffix, n,
      [](Items& items) {
        return bench::browseSqlite(items, Order::kNameNumber, false, false, true);
      },
      firstPage);
  addFresh(
      "memory/sqlite_indexed/name_number/asc" + suffix, n,
      [](Items& items) {
        return bench::browseSqlite(items, Order::kNameNumber, false, true, true);
      },
      firstPage);
  addFresh(
      "memory/ours/name_number/asc/sorter_alone" + suffix, n,
      [](Items& items) { return bench::sorterAlone(items, items.size(), true); }, firstPage);
}

void registerInProcessSize(std::size_t n) {
  const std::string suffix = "/N:" + std::to_string(n);
  auto const ms = benchmark::kMillisecond;
  auto const us = benchmark::kMicrosecond;

  for (Order order : bench::kOrders) {
    for (bool desc : {false, true}) {
      const std::string key = orderKey(order, desc);
      add("resort/ours/" + key + suffix, [=](benchmark::State& s) {
        resortOurs(s, n, order, desc);
      })->Unit(ms);
      add("resort/stable_sort/" + key + suffix, [=](benchmark::State& s) {
        resortStable(s, n, order, desc);
      })->Unit(ms);
    }
  }

  const std::pair<const char*, std::size_t> pages[] = {
      {"first", 0}, {"middle", n / 2}, {"last", n - bench::kPageSize}};
  for (const auto& [where, offset] : pages) {
    const std::string key = std::string("name_number/asc/") + where + suffix;
    add("page/ours/" + key, [=, offset = offset](benchmark::State& s) {
      pageOurs(s, n, offset);
    })->Unit(us);
    add("page/stable_sort/" + key, [=, offset = offset](benchmark::State& s) {
      pageStable(s, n, offset);
    })->Unit(us);
    add("page/sqlite/" + key, [=, offset = offset](benchmark::State& s) {
      pageSqlite(s, n, offset, false);
    })->Unit(us);
    add("page/sqlite_indexed/" + key, [=, offset = offset](benchmark::State& s) {
      pageSqlite(s, n, offset, true);
    })->Unit(us);
  }
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

// True when the arguments only ask for the list of benchmarks, which needs no
// fresh processes.
bool onlyListing(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--benchmark_list_tests" || argument == "--benchmark_list_tests=true") {
      return true;
    }
  }
  return false;
}

// The sizes of the fresh benchmarks that --benchmark_filter selects, matched
// as Google Benchmark matches them (extended regex, anywhere in the name; a
// leading '-' negates). An invalid filter selects every size: the benchmark
// library reports it.
std::vector<std::size_t> selectedFreshSizes() {
  std::string filter = benchmark::GetBenchmarkFilter();
  const bool negative = !filter.empty() && filter.front() == '-';
  if (negative) filter.erase(0, 1);
  if (filter.empty() || filter == "all") filter = ".";
  std::vector<std::size_t> sizes;
  std::optional<std::regex> pattern;
  try {
    pattern.emplace(filter, std::regex::extended);
  } catch (const std::regex_error&) {
  }
  for (const auto& [name, count] : freshNames()) {
    const bool selected = !pattern || std::regex_search(name, *pattern) != negative;
    if (selected && std::find(sizes.begin(), sizes.end(), count) == sizes.end()) {
      sizes.push_back(count);
    }
  }
  return sizes;
}

// The value after "key:" on the first line of `path` that starts with `key`.
std::string procValue(const char* path, std::string_view key) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    const std::size_t start = line.find_first_not_of(" \t", colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
  }
  return "?";
}

void addMachineContext(const std::string& sizeList) {
  benchmark::AddCustomContext("browse_sizes", sizeList);
  benchmark::AddCustomContext("sqlite_version", sqlite3_libversion());
  benchmark::AddCustomContext("cpu_model", procValue("/proc/cpuinfo", "model name"));
  benchmark::AddCustomContext("memory", procValue("/proc/meminfo", "MemTotal"));
  benchmark::AddCustomContext("glibc", gnu_get_libc_version());
  benchmark::AddCustomContext("compiler", __VERSION__);
  utsname system{};
  if (uname(&system) == 0) benchmark::AddCustomContext("kernel", system.release);
  benchmark::AddCustomContext("items", bench::itemBuildName(bench::itemBuild()));
}

void addFreshContext(const std::vector<std::size_t>& sizes) {
  std::string holders;
  for (const std::size_t n : sizes) {
    const std::int64_t bytes = pool().holderFreeHeapBytes(n);
    if (bytes < 0) continue;  // no fresh benchmark of this size selected
    if (!holders.empty()) holders += ", ";
    holders += "N:" + std::to_string(n) + " " + std::to_string(bytes);
  }
  if (!holders.empty()) benchmark::AddCustomContext("fresh_holder_free_heap_bytes", holders);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::size_t> sizes;
  const std::string sizeList = takeSizes(argc, argv);
  const bool listing = onlyListing(argc, argv);
  try {
    sizes = parseSizes(sizeList);
    testsupport::checkChunkLayout();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "browse_benchmark: %s\n", error.what());
    return 2;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
  addMachineContext(sizeList);
  registerCopies();
  for (std::size_t n : sizes) {
    registerFreshSize(n);
    registerInProcessSize(n);
  }
  if (!listing) {
    try {
      // Before any benchmark runs: the holders fork from a process that has
      // built nothing yet.
      pool().start(selectedFreshSizes());
    } catch (const std::exception& error) {
      std::fprintf(stderr, "browse_benchmark: %s\n", error.what());
      return 2;
    }
    addFreshContext(sizes);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  pool().stop();
  return 0;
}
