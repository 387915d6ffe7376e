#include "FreshProcess.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace bench {
namespace {

using databrowse::BrowseData;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Items "item-0", "item-1", ... made in the holder, so a child can tell that
// it got them.
std::vector<BrowseData>& numberedItems(std::size_t count) {
  static std::vector<BrowseData> items;
  items.clear();
  for (std::size_t i = 0; i < count; ++i) {
    BrowseData& item = items.emplace_back();
    item.setName("item-" + std::to_string(i));
    item.setNumber(static_cast<long long>(i));
  }
  return items;
}

// Touches every page of `bytes` fresh bytes from a mapping of their own and
// gives them back; returns the bytes touched.
std::size_t touchFreshMemory(std::size_t bytes) {
  void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) throw std::bad_alloc();
  std::memset(block, 7, bytes);
  munmap(block, bytes);
  return bytes;
}

class FreshProcessTest : public ::testing::Test {
 protected:
  FreshProcessTest() : pool(numberedItems) {}

  int add(std::size_t count, Measurement measurement) {
    return pool.add(count, std::move(measurement));
  }
  static ChildReport reportOf(double pid, std::size_t items) {
    ChildReport report;
    report.counters["pid"] = pid;
    report.counters["items"] = static_cast<double>(items);
    return report;
  }

  FreshProcessPool pool;
};

TEST(ChildReportBytes, AReportComesBackWithEveryField) {
  ChildReport report;
  report.wallSeconds = 1.25;
  report.cpuSeconds = 0.5;
  report.minorFaults = 4096;
  report.counters["heap_bytes_per_item"] = 183.5;
  report.counters["copies"] = -2;
  report.label = "insert, page";
  report.page = {PlainItem{"Alpha", -9, 0}, PlainItem{"", 1LL << 62, 3}};
  report.error = "went wrong";

  const ChildReport back = parseReport(serializeReport(report));

  EXPECT_EQ(back.wallSeconds, 1.25);
  EXPECT_EQ(back.cpuSeconds, 0.5);
  EXPECT_EQ(back.minorFaults, 4096);
  EXPECT_EQ(back.counters, report.counters);
  EXPECT_EQ(back.label, "insert, page");
  ASSERT_EQ(back.page.size(), 2u);
  EXPECT_EQ(back.page[0].name, "Alpha");
  EXPECT_EQ(back.page[1].number, 1LL << 62);
  EXPECT_EQ(back.page[1].flag, 3);
  EXPECT_EQ(back.error, "went wrong");
}

TEST(ChildReportBytes, CutOrOverlongBytesAreRejected) {
  ChildReport report;
  report.page = {PlainItem{"Alpha", 1, 0}};
  const std::string bytes = serializeReport(report);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    EXPECT_THROW(parseReport(std::string_view(bytes).substr(0, cut)), std::runtime_error) << cut;
  }
  EXPECT_THROW(parseReport(bytes + "x"), std::runtime_error);
}

TEST(TimedRegionClock, WallTimeCoversASleepThatCostsNoCpu) {
  ChildReport report;
  {
    TimedRegion timed(report);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_GE(report.wallSeconds, 0.03);
  EXPECT_LT(report.cpuSeconds, 0.02);
}

TEST_F(FreshProcessTest, EachRunIsANewChildWithTheHolderItems) {
  const int id = add(5, [](std::vector<BrowseData>& items) {
    return reportOf(static_cast<double>(getpid()), items.size());
  });
  pool.start();
  const ChildReport first = pool.run(id);
  const ChildReport second = pool.run(id);
  EXPECT_EQ(first.counters.at("items"), 5);
  EXPECT_NE(first.counters.at("pid"), static_cast<double>(getpid()));
  EXPECT_NE(first.counters.at("pid"), second.counters.at("pid"));
}

TEST_F(FreshProcessTest, EachSizeHasItsOwnItems) {
  const auto count = [](std::vector<BrowseData>& items) { return reportOf(0, items.size()); };
  const int small = add(3, count);
  const int large = add(700, count);
  pool.start();
  EXPECT_EQ(pool.run(large).counters.at("items"), 700);
  EXPECT_EQ(pool.run(small).counters.at("items"), 3);
  EXPECT_GE(pool.holderFreeHeapBytes(3), 0);
  EXPECT_EQ(pool.holderFreeHeapBytes(4), -1);
}

TEST_F(FreshProcessTest, OnlyTheSizesAskedForGetAHolder) {
  const auto count = [](std::vector<BrowseData>& items) { return reportOf(0, items.size()); };
  const int small = add(3, count);
  const int large = add(700, count);
  pool.start({3});
  EXPECT_EQ(pool.run(small).counters.at("items"), 3);
  EXPECT_THROW(pool.run(large), std::logic_error);
  EXPECT_EQ(pool.holderFreeHeapBytes(700), -1);
}

TEST_F(FreshProcessTest, AChildNeverSeesWhatAnEarlierChildChanged) {
  const int change = add(2, [](std::vector<BrowseData>& items) {
    items[0].setName("changed");
    return ChildReport{};
  });
  const int look = add(2, [](std::vector<BrowseData>& items) {
    ChildReport report;
    report.label = std::string(items[0].nameView());
    return report;
  });
  pool.start();
  pool.run(change);
  EXPECT_EQ(pool.run(look).label, "item-0");
}

TEST_F(FreshProcessTest, PageTimesAndCountersComeBackFromTheChild) {
  const int id = add(4, [](std::vector<BrowseData>& items) {
    ChildReport report;
    {
      TimedRegion timed(report);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (BrowseData& item : items) report.page.push_back(plainOf(item));
    return report;
  });
  pool.start();
  const ChildReport report = pool.run(id);
  EXPECT_GE(report.wallSeconds, 0.02);
  ASSERT_EQ(report.page.size(), 4u);
  EXPECT_EQ(report.page[3].name, "item-3");
  EXPECT_EQ(report.page[3].number, 3);
}

TEST_F(FreshProcessTest, AnExceptionInTheMeasurementComesBackAsItsError) {
  const int id = add(
      1, [](std::vector<BrowseData>&) -> ChildReport { throw std::runtime_error("page differs"); });
  pool.start();
  EXPECT_EQ(pool.run(id).error, "page differs");
}

TEST_F(FreshProcessTest, AChildThatDiesIsAFailureAndTheNextRunStillWorks) {
  const int dies = add(1, [](std::vector<BrowseData>&) -> ChildReport { std::abort(); });
  const int works =
      add(1, [](std::vector<BrowseData>& items) { return reportOf(0, items.size()); });
  pool.start();
  try {
    pool.run(dies);
    ADD_FAILURE() << "a killed child was reported as a result";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("signal 6"), std::string::npos) << error.what();
  }
  EXPECT_EQ(pool.run(works).counters.at("items"), 1);
}

TEST_F(FreshProcessTest, PeakRssCountsWhatTheChildTouchedNotWhatItsParentsEverHeld) {
  if (!resetPeakResident()) GTEST_SKIP() << "this kernel does not reset the peak RSS";
  // This process's peak is now far above what the child will touch.
  touchFreshMemory(256 * kMiB);
  const int id = add(1, [](std::vector<BrowseData>&) {
    ChildReport report;
    report.counters["touched"] = static_cast<double>(touchFreshMemory(64 * kMiB));
    return report;
  });
  pool.start();
  const ChildReport report = pool.run(id);
  const double above = report.counters.at("rss_peak_above_fork_bytes");
  EXPECT_GE(above, 60.0 * kMiB);
  EXPECT_LE(above, 80.0 * kMiB);
}

TEST_F(FreshProcessTest, MisuseOfThePoolThrows) {
  const int id = add(1, [](std::vector<BrowseData>&) { return ChildReport{}; });
  EXPECT_THROW(pool.run(id), std::logic_error);  // not started
  pool.start();
  EXPECT_THROW(pool.add(1, [](std::vector<BrowseData>&) { return ChildReport{}; }),
               std::logic_error);
  EXPECT_THROW(pool.run(id + 1), std::out_of_range);
  pool.stop();
  EXPECT_THROW(pool.run(id), std::logic_error);
}

TEST_F(FreshProcessTest, AHolderThatCannotMakeItsItemsFailsTheStart) {
  FreshProcessPool failing(
      [](std::size_t) -> std::vector<BrowseData>& { throw std::runtime_error("no items"); });
  failing.add(1, [](std::vector<BrowseData>&) { return ChildReport{}; });
  EXPECT_THROW(failing.start(), std::runtime_error);
  EXPECT_FALSE(failing.started());
}

}  // namespace
}  // namespace bench
