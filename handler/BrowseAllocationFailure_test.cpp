// A whole browse with one allocation failing, for every allocation in turn:
// the failure reaches the caller as std::bad_alloc, the cache keeps a state
// that the next call answers from exactly as if nothing had failed, and
// nothing leaks.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "BrowseResponseHandler.h"
#include "FailingAllocator.h"
#include "testing/BrowseBuilders.h"

namespace {

using namespace browse_testing;
using databrowse::ByFlag;
using databrowse::ByName;
using databrowse::ByNumber;

// Enough items that reads finish the order lazily, through pending buckets.
constexpr int kItems = 3000;

BrowseData numberedItem(int i) {
  // Shared prefixes longer than 8 bytes make the sorter reload key bytes.
  const std::string stem = i % 3 == 0 ? "ReportDraft-Meeting-summary-" : "invoice_";
  return item(stem + std::to_string((i * 7919) % 1000), i % 5 - 2, i % 4 == 0 ? 1 : 0);
}

BrowseRequest pages(const Fields& fields, long long direction, long long offset) {
  return request("/browse", {pageQuery("first", fields, offset, 7, direction), countQuery("count"),
                             pageQuery("second", {ByFlag}, offset + 3, 5)});
}

struct Step {
  std::string name;
  std::function<void(BrowseResponseConsumer&, std::vector<BrowseResponse>&)> run;
  bool answers;  // a getResults, whose responses are compared
  // Whether each of its allocations is failed in turn. Item copies allocate
  // alike, so a sample of the addItem steps stands for all of them.
  bool injected = true;
};

std::vector<Step> wholeBrowse() {
  std::vector<Step> steps;
  steps.push_back({"reset",
                   [](BrowseResponseConsumer& c, std::vector<BrowseResponse>&) {
                     BrowseRequest r = request("/browse");
                     c.cache().reset(r);
                   },
                   false});
  for (int i = 0; i < kItems; ++i) {
    steps.push_back({"addItem " + std::to_string(i),
                     [i](BrowseResponseConsumer& c, std::vector<BrowseResponse>&) {
                       BrowseData data = numberedItem(i);
                       c.addItem(data);
                     },
                     false, i < 16 || i % 499 == 0 || i + 1 == kItems});
  }
  // Each run gets its own copy: reading a request can add empty sub-records
  // to it.
  auto answer = [](BrowseRequest asked) {
    return [asked](BrowseResponseConsumer& c, std::vector<BrowseResponse>& out) {
      BrowseRequest copy = asked;
      c.getResults(copy, out);
    };
  };
  steps.push_back({"first sort", answer(pages({ByName, ByNumber}, 0, 0)), true});
  steps.push_back({"deep page", answer(pages({ByName, ByNumber}, 0, kItems - 9)), true});
  steps.push_back({"flipped direction", answer(pages({ByName, ByNumber}, 1, 40)), true});
  steps.push_back({"re-sort", answer(pages({ByNumber, ByName}, 0, 300)), true});
  // More fields than the cache kept before: copying them allocates.
  steps.push_back({"more fields", answer(pages({ByFlag, ByNumber, ByName}, 0, 120)), true});
  steps.push_back({"count", answer(request("/browse", {countQuery("only")})), true});
  steps.push_back({"reset again",
                   [](BrowseResponseConsumer& c, std::vector<BrowseResponse>&) {
                     BrowseRequest r = request("/other", {pageQuery("q", {ByName}, 0, 1)});
                     c.cache().reset(r);
                   },
                   false});
  return steps;
}

// What later requests see: first by `fields`, then in both field orders of
// the steps and both directions; equal for equal caches.
std::vector<BrowseResponse> probe(BrowseResponseConsumer& consumer, const Fields& fields = {}) {
  std::vector<BrowseResponse> responses;
  for (BrowseRequest asked :
       {pages(fields, 0, 11), pages({ByName, ByNumber}, 0, 11), pages({ByNumber, ByName}, 0, 11),
        pages({ByName, ByNumber}, 1, kItems - 50)}) {
    std::vector<BrowseResponse> more;
    consumer.getResults(asked, more);
    responses.insert(responses.end(), more.begin(), more.end());
  }
  return responses;
}

// True when `got` is the first got.size() responses of `all`.
bool isPrefixOf(const std::vector<BrowseResponse>& got, const std::vector<BrowseResponse>& all) {
  if (got.size() > all.size()) return false;
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (!(got[i] == all[i])) return false;
  }
  return true;
}

std::vector<std::string> firstPageNames(BrowseResponseConsumer& consumer, const Fields& fields) {
  std::vector<BrowseResponse> responses;
  BrowseRequest asked = request("/browse", {pageQuery("q", fields, 0, 10)});
  consumer.getResults(asked, responses);
  return responses.empty() ? std::vector<std::string>{} : names(responses.front());
}

TEST(BrowseAllocationFailure, FailedSortByOtherFieldsKeepsTheEarlierOrderTrue) {
  for (std::uint64_t k = 1;; ++k) {
    BrowseResponseConsumer consumer;
    BrowseRequest start = request("/browse");
    consumer.cache().reset(start);
    for (BrowseData data : {item("b", 1), item("a", 2)}) consumer.addItem(data);
    ASSERT_EQ((std::vector<std::string>{"a", "b"}), firstPageNames(consumer, {ByName}));
    bool failed = false;
    {
      testsupport::AllocationFailure failure(k);
      try {
        firstPageNames(consumer, {ByNumber, ByName});
      } catch (const std::bad_alloc&) {
        failed = true;
      }
    }
    if (!failed) break;
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), firstPageNames(consumer, {ByName}))
        << "after allocation " << k << " of the sort by number failed";
    EXPECT_EQ((std::vector<std::string>{"b", "a"}), firstPageNames(consumer, {ByNumber, ByName}))
        << "after allocation " << k << " of the sort by number failed";
  }
}

TEST(BrowseAllocationFailure, ShrinkToFitWithoutMemoryKeepsTheItemsAndTheirRoom) {
  BrowseResponseConsumer consumer;
  BrowseRequest start = request("/browse");
  consumer.cache().reset(start);
  consumer.cache().reserve(50);
  for (BrowseData data : {item("b", 1), item("a", 2)}) consumer.addItem(data);
  const std::size_t reserved = consumer.cache().memoryBytes();
  {
    testsupport::AllocationFailure failure(1);
    consumer.cache().shrinkToFit();
    ASSERT_TRUE(failure.happened());
  }
  EXPECT_EQ(reserved, consumer.cache().memoryBytes());
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), firstPageNames(consumer, {ByName}));
}

TEST(BrowseAllocationFailure, EveryFailedAllocationLosesNothing) {
  const std::vector<Step> steps = wholeBrowse();
  BrowseResponseConsumer before;  // the state ahead of step s
  std::vector<BrowseResponse> scratch;
  for (const Step& step : steps) {
    std::uint64_t failures = 0;
    for (std::uint64_t k = 1; step.injected; ++k) {
      const std::int64_t liveBefore = testsupport::liveBlocks();
      {
        BrowseResponseConsumer reference = before;
        std::vector<BrowseResponse> expected;
        step.run(reference, expected);

        BrowseResponseConsumer consumer = before;
        std::vector<BrowseResponse> responses;
        bool failed = false;
        {
          testsupport::AllocationFailure failure(k);
          try {
            step.run(consumer, responses);
          } catch (const std::bad_alloc&) {
            failed = true;
          }
          ASSERT_EQ(failure.happened(), failed)
              << step.name << ", allocation " << k << ": a failure must reach the caller";
        }
        if (!failed) break;  // the step needs fewer than k allocations
        ++failures;
        if (step.answers) {
          EXPECT_TRUE(isPrefixOf(responses, expected))
              << step.name << ", allocation " << k << ": responses kept are the ones appended";
        } else {
          EXPECT_EQ(before.cache().itemCount(), consumer.cache().itemCount())
              << step.name << ", allocation " << k << ": a failed step keeps the items";
        }
        {
          // Right after the failure, first by the fields of the last sort
          // that completed, the cache answers as it did before the step.
          BrowseResponseConsumer unchanged = before;
          const Fields lastSorted = before.cache().lastSortFields();
          EXPECT_EQ(probe(unchanged, lastSorted), probe(consumer, lastSorted))
              << step.name << ", allocation " << k << ": requests right after the failure";
        }
        responses.clear();
        step.run(consumer, responses);
        EXPECT_EQ(expected, responses) << step.name << ", allocation " << k << ": retried";
        EXPECT_EQ(probe(reference), probe(consumer))
            << step.name << ", allocation " << k << ": later requests";
        if (::testing::Test::HasFailure()) return;
      }
      EXPECT_EQ(liveBefore, testsupport::liveBlocks())
          << step.name << ", allocation " << k << ": blocks leaked";
    }
    if (step.injected) {
      EXPECT_GT(failures, 0u) << step.name << " allocates, so some allocation of it must fail";
    }
    step.run(before, scratch);
  }
}

}  // namespace
