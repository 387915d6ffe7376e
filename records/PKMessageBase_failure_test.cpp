// Every record operation that allocates leaves the record exactly as it was
// when an allocation fails, and leaks nothing. Each operation is run once per
// allocation that it makes, with that allocation failing.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "FailingAllocator.h"
#include "PKMessageBase.h"
#include "databrowse/BrowseRecords.h"
#include "testing/TestRecords.h"

namespace {

using records_testing::kHash;
using records_testing::Leaf;
using records_testing::Node;

constexpr short kFields[] = {1, 2, 3, 4, 5};
constexpr unsigned kHashes[] = {21, 22, 23, 24, 25};

// What can be seen of each field of `node` without changing it: whether it
// is set, and, tried on copies, whether it takes an integer and whether it
// can be marked set (true only for a sub-record or list that exists).
std::string shapeOf(const Node& node) {
  std::ostringstream shape;
  for (std::size_t i = 0; i < std::size(kFields); ++i) {
    Node probe = node;
    bool takesInteger = true;
    try {
      probe.setint64(kFields[i], 1, 7, kHash, kHashes[i]);
    } catch (const std::logic_error&) {
      takesInteger = false;
    }
    Node marked = node;
    bool marks = true;
    try {
      marked.markSet(kFields[i], kHash, kHashes[i]);
    } catch (const std::logic_error&) {
      marks = false;
    }
    shape << kFields[i] << (node.has(kFields[i], kHashes[i]) ? " set" : " unset")
          << (takesInteger ? " int" : "") << (marks ? " markable" : "") << "; ";
  }
  shape << "number " << node.number() << "; text '" << node.textView() << "'";
  return shape.str();
}

Node emptyNode() { return Node(); }

Node withText(const std::string& text) {
  Node node;
  node.setText(text);
  return node;
}

// Number, text and an existing but empty leaf: three fields.
Node withThreeFields() {
  Node node;
  node.setNumber(-5);
  node.setText("three fields");
  node.leaf();
  return node;
}

// The same fields as withThreeFields, compact: a copy.
Node compactThreeFields() { return Node(withThreeFields()); }

// A compact node with room for 2 more bytes inside it.
Node nearlyFull() { return withText(std::string(50, 'f')); }

// A compact node whose text does not fit inside it.
Node outOfLine() {
  Node node;
  node.setText(std::string(80, 'o'));
  node.setNumber(3);
  return node;
}

// A compact node with a set leaf and a branch holding a leaf.
Node compactWithSubRecords() {
  Node node;
  node.leaf().setValue(4);
  node.branch().leaf().setValue(5);
  node.branch().setLabel(std::string(60, 'b'));
  return Node(node);
}

Node withEverything() {
  Node node;
  node.setNumber(1);
  node.setText("every kind of field");
  node.leaf().setValue(2);
  node.leaves().resize(2);
  node.leaves()[1].setValue(3);
  node.codes() = {4, 5};
  return node;
}

using Make = std::function<Node()>;
using Change = std::function<void(Node&)>;

class StrongGuaranteeTest : public ::testing::Test {
 protected:
  struct Outcome {
    bool failed;  // the k-th allocation happened, and failed
    bool threw;   // std::bad_alloc came out of the change
  };

  static Outcome runFailing(Node& node, const Change& change, std::uint64_t k) {
    testsupport::AllocationFailure failure(k);
    bool threw = false;
    try {
      change(node);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    return {failure.happened(), threw};
  }

  // Runs `change` on a fresh `make()` with its k-th allocation failing, for
  // k = 1, 2, ... until a run meets no failure, and checks after each failed
  // run that bad_alloc came through and that the record is as it was. Each k
  // first runs once without any check, to see that every block is freed once
  // the record is gone. Returns the number of allocations that the change
  // made.
  std::uint64_t expectUnchangedOnFailure(const Make& make, const Change& change) {
    for (std::uint64_t k = 1;; ++k) {
      const std::int64_t blocks = testsupport::liveBlocks();
      {
        Node node = make();
        runFailing(node, change, k);
      }
      const std::int64_t leaked = testsupport::liveBlocks() - blocks;

      Node node = make();
      const Node before = node;
      const PKMessageBase::StorageForm form = node.storageForm();
      const Outcome outcome = runFailing(node, change, k);
      EXPECT_EQ(0, leaked) << "blocks leaked when allocation " << k << " failed";
      if (!outcome.failed) return k - 1;
      EXPECT_TRUE(outcome.threw) << "allocation " << k << " failed silently";
      EXPECT_EQ(before, node) << "allocation " << k << " failed";
      EXPECT_EQ(shapeOf(before), shapeOf(node)) << "allocation " << k << " failed";
      EXPECT_EQ(form, node.storageForm()) << "allocation " << k << " failed";
    }
  }
};

// Records in every form, and at the edges of their room.
const Make kStarts[] = {emptyNode,          [] { return withText("short"); },
                        nearlyFull,         outOfLine,
                        compactThreeFields, compactWithSubRecords,
                        withThreeFields,    withEverything};

TEST_F(StrongGuaranteeTest, SetStringKeepsTheOldTextWhenItCannotGrow) {
  std::uint64_t allocations = 0;
  const std::string longer(200, 'g');
  for (const Make& make : kStarts) {
    allocations += expectUnchangedOnFailure(make, [&](Node& node) { node.setText(longer); });
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.setText("tiny"); });
    allocations +=
        expectUnchangedOnFailure(make, [](Node& node) { node.setText(std::string(48, 'm')); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, SetInt64AddsTheFieldOrNothing) {
  std::uint64_t allocations = 0;
  for (const Make& make : kStarts) {
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.setNumber(INT64_MIN); });
    allocations += expectUnchangedOnFailure(
        make, [](Node& node) { node.setint64(40, 0, INT64_MAX, kHash, 40); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, CreatingOrReachingASubRecordOrListAddsItOrNothing) {
  std::uint64_t allocations = 0;
  for (const Make& make : kStarts) {
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.leaf(); });
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.branch(); });
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.leaves(); });
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.codes(); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, SetSubInt64StoresTheValueOrNothing) {
  std::uint64_t allocations = 0;
  for (const Make& make : kStarts) {
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.setLeafValue(INT64_MIN); });
    allocations += expectUnchangedOnFailure(make, [](Node& node) { node.setLeafValue(0); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, FindObjectKeepsTheFormWhenItCannotConvert) {
  std::uint64_t allocations = 0;
  for (const Make& make : kStarts) {
    allocations +=
        expectUnchangedOnFailure(make, [](Node& node) { node.findObject<Leaf>(3, kHash, 23); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, SetObjectAccessorStoresTheCopyOrNothing) {
  std::uint64_t allocations = 0;
  Leaf leaf;
  leaf.setValue(12);
  for (const Make& make : kStarts) {
    allocations += expectUnchangedOnFailure(make, [&](Node& node) { node.setLeaf(leaf); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, AssignmentReplacesEverythingOrNothing) {
  std::uint64_t allocations = 0;
  for (const Make& source : kStarts) {
    const Node from = source();
    const Node fullFrom = [&] {
      Node node = source();
      node.leaf();
      return node;
    }();
    for (const Make& make : kStarts) {
      allocations += expectUnchangedOnFailure(make, [&](Node& node) { node = from; });
      allocations += expectUnchangedOnFailure(make, [&](Node& node) { node = fullFrom; });
    }
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

TEST_F(StrongGuaranteeTest, FailedCopiesLeakNothing) {
  std::uint64_t allocations = 0;
  for (const Make& make : kStarts) {
    allocations += expectUnchangedOnFailure(make, [](Node& node) { Node copy(node); });
  }
  EXPECT_GT(allocations, 0u) << "no allocation was failed";
}

// ---- What copies cost ------------------------------------------------------

// An item as the service builds it (its flags reached by pointer, so in the
// full form), with a name of `length` bytes.
databrowse::BrowseData item(std::size_t length, long long number, long long flag) {
  databrowse::BrowseData built;
  built.setName(std::string(length, 'x'));
  built.setNumber(number);
  built.flags(true).setFlag(flag);
  return built;
}

TEST(CopyCostTest, ItemsWithNamesUpTo40BytesCopyInOneAllocationAtMost) {
  for (std::size_t length = 0; length <= 40; ++length) {
    const databrowse::BrowseData source = item(length, INT64_MIN, -1);
    std::optional<databrowse::BrowseData> copy;
    std::optional<databrowse::BrowseData> second;
    testsupport::AllocationTally copying;
    copy.emplace(source);
    const std::uint64_t fromFull = copying.allocations();
    testsupport::AllocationTally copyingAgain;
    second.emplace(*copy);
    const std::uint64_t fromCopy = copyingAgain.allocations();
    testsupport::AllocationTally destroying;
    copy.reset();
    const std::int64_t freed = destroying.blocksFreed();

    EXPECT_LE(fromFull, 1u) << "name " << length;
    EXPECT_EQ(fromFull, fromCopy) << "name " << length;
    EXPECT_EQ(static_cast<std::int64_t>(fromFull), freed) << "name " << length;
    if (length <= 22) {
      EXPECT_EQ(0u, fromFull) << "name " << length;
    }
    EXPECT_EQ(source, *second);
  }
}

TEST(CopyCostTest, ReadingSortKeysNeverAllocates) {
  const databrowse::BrowseData full = item(30, 5, 1);
  const databrowse::BrowseData compact = full;
  for (const databrowse::BrowseData* record : {&full, &compact}) {
    testsupport::AllocationTally tally;
    long long sum = static_cast<long long>(record->nameView().size()) + record->number() +
                    record->flagValue() +
                    databrowse::isSet(*record, databrowse::BrowseData::kFlags);
    EXPECT_EQ(37, sum);
    EXPECT_EQ(0u, tally.allocations());
  }
}

}  // namespace
