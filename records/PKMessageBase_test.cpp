// Field storage, presence and misuse of the message base, through a small
// record of its own so that every kind of field is exercised directly.
#include "PKMessageBase.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "TestSeed.h"
#include "testing/TestRecords.h"

namespace {

using records_testing::kHash;
using records_testing::Leaf;
using records_testing::Node;
using records_testing::OtherLeaf;

TEST(PresenceTest, NewRecordHasNothingSetAndReadsEmpty) {
  Node node;
  EXPECT_FALSE(node.hasAnyFieldSet());
  EXPECT_EQ(0, node.number());
  EXPECT_EQ("", node.text());
  EXPECT_EQ(0, node.leaf().value());
  EXPECT_TRUE(node.leaves().empty());
  EXPECT_TRUE(node.codes().empty());
  for (auto [field, hash] : {std::pair{1, 21u}, {2, 22u}, {3, 23u}, {4, 24u}, {5, 25u}}) {
    EXPECT_FALSE(node.has(static_cast<short>(field), hash)) << "field " << field;
  }
}

TEST(PresenceTest, StoredValuesAndContentMakeFieldsSet) {
  Node node;
  node.setNumber(0);
  node.setText("");
  EXPECT_TRUE(node.has(1, 21));
  EXPECT_TRUE(node.has(2, 22));

  node.leaf().setValue(5);  // written through the sub-record
  EXPECT_TRUE(node.has(3, 23));

  node.leaves().emplace_back();  // an entry counts, even an empty one
  EXPECT_TRUE(node.has(4, 24));
  node.codes().push_back(3);
  EXPECT_TRUE(node.has(5, 25));
}

TEST(PresenceTest, EmptySubRecordAndListCountOnlyWhenMarkedOrStored) {
  Node node;
  node.codes();
  EXPECT_FALSE(node.has(5, 25));
  node.markSet(5, kHash, 25);
  EXPECT_TRUE(node.has(5, 25));
  EXPECT_TRUE(node.codes().empty());

  node.setLeaf(Leaf());  // storing an empty sub-record makes it present
  EXPECT_TRUE(node.has(3, 23));

  Node copy = node;
  EXPECT_TRUE(copy.has(5, 25));
  EXPECT_TRUE(copy.has(3, 23));
}

TEST(PresenceTest, FindObjectNeverCreatesTheSubRecord) {
  Node node;
  EXPECT_EQ(nullptr, node.findObject<Leaf>(3, kHash, 23));
  node.leaf().setValue(6);
  const Leaf* found = node.findObject<Leaf>(3, kHash, 23);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ(6, found->value());
  EXPECT_THROW(node.findObject<OtherLeaf>(3, kHash, 23), std::logic_error);
  node.setNumber(1);
  EXPECT_THROW(node.findObject<Leaf>(1, kHash, 21), std::logic_error);
}

TEST(PresenceTest, OnlyReadFieldsDoNotChangeEquality) {
  Node read;
  read.leaf();
  read.leaves();
  read.text();
  EXPECT_EQ(Node(), read);
  read.setText("x");
  EXPECT_NE(Node(), read);
}

TEST(CopyTest, CopiesAndAssignmentsAreDeepAndIndependent) {
  Node source;
  source.setText("a rather long text that does not fit a small buffer");
  source.leaf().setValue(1);
  source.leaves().resize(2);
  source.leaves()[1].setValue(42);
  source.codes() = {1, 2};

  Node copy(source);
  Node assigned;
  assigned.setNumber(99);
  assigned = source;
  EXPECT_EQ(source, copy);
  EXPECT_EQ(source, assigned);
  EXPECT_FALSE(assigned.has(1, 21)) << "assignment replaces every field";

  source.setText("changed");
  source.leaf().setValue(2);
  source.leaves()[1].setValue(43);
  source.codes().push_back(3);
  for (Node* target : {&copy, &assigned}) {
    EXPECT_EQ("a rather long text that does not fit a small buffer", target->text());
    EXPECT_EQ(1, target->leaf().value());
    ASSERT_EQ(2u, target->leaves().size());
    EXPECT_EQ(42, target->leaves()[1].value());
    EXPECT_EQ((std::vector<int>{1, 2}), target->codes());
  }
}

TEST(CopyTest, SelfAssignmentKeepsFields) {
  Node node;
  node.setText("kept");
  node.leaves().emplace_back().setValue(3);
  Node& alias = node;
  node = alias;
  EXPECT_EQ("kept", node.text());
  EXPECT_EQ(3, node.leaves().at(0).value());
}

TEST(CopyTest, SubRecordAndListReferencesStayValidWhileFieldsAreAdded) {
  Node node;
  Leaf& leaf = node.leaf();
  std::vector<Leaf>& leaves = node.leaves();
  node.setNumber(1);
  node.setText("more fields");
  node.codes();
  leaf.setValue(8);
  leaves.emplace_back();
  EXPECT_EQ(8, node.leaf().value());
  EXPECT_EQ(1u, node.leaves().size());
}

TEST(StorageTest, TextsSurviveGrowingShrinkingAndNewFields) {
  Node node;
  node.setText("short");
  node.setNumber(1);
  node.setText("a text long enough to need more room than the first one had");
  node.leaf().setValue(2);
  node.setText("tiny");
  node.codes().push_back(4);
  node.setText(node.text() + node.text());
  EXPECT_EQ("tinytiny", node.text());
  EXPECT_EQ(1, node.number());
  EXPECT_EQ(2, node.leaf().value());

  std::string bytes(1000, '\0');
  bytes[999] = 'z';
  node.setText(bytes);
  Node copy = node;
  node.setText("");
  EXPECT_EQ(bytes, copy.text());
  EXPECT_EQ("", node.text());
  EXPECT_TRUE(node.has(2, 22)) << "an empty text that was stored is set";
  EXPECT_EQ(std::string_view(bytes), copy.getstringview(2, kHash, 22));
}

// ---- Storage forms ------------------------------------------------------

using Form = PKMessageBase::StorageForm;

const char* formName(Form form) {
  switch (form) {
    case Form::kInline:
      return "inline";
    case Form::kOutOfLine:
      return "out-of-line";
    case Form::kFull:
      return "full";
  }
  return "unknown";
}

std::string patternText(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

class StorageFormTest : public ::testing::Test {
 protected:
  static std::string form(const PKMessageBase& record) { return formName(record.storageForm()); }

  static Node withText(const std::string& text) {
    Node node;
    node.setText(text);
    return node;
  }

  // The same fields in the full form: asking for a list moves the node
  // there (the list stays unset and empty, so it does not count).
  static Node promoted(Node node) {
    node.codes();
    return node;
  }

  // The same fields with a boxed sub-record: asking for the leaf boxes it
  // (the leaf stays unset, so it does not count).
  static Node withBoxedLeaf(Node node) {
    node.leaf();
    return node;
  }
};

TEST_F(StorageFormTest, IntegersTextsAndSubRecordsStayCompactUntilAListIsAskedFor) {
  Node node;
  EXPECT_EQ("inline", form(node));
  node.setNumber(-7);
  node.setText("a few bytes");
  EXPECT_EQ("inline", form(node));
  EXPECT_EQ(-7, node.number());
  EXPECT_EQ("a few bytes", node.text());
  EXPECT_EQ(0, node.leafValue());
  EXPECT_FALSE(node.has(3, 23));
  EXPECT_EQ("inline", form(node)) << "reads never change the form";

  node.leaf().setValue(3);
  EXPECT_EQ("inline", form(node)) << "a sub-record asked for by pointer is boxed";
  EXPECT_GT(node.heapBytes(), 0u) << "the box counts";
  EXPECT_EQ(-7, node.number());
  EXPECT_EQ("a few bytes", node.text());
  EXPECT_EQ(3, node.leafValue());
  const Node copy = node;
  EXPECT_EQ("inline", form(copy)) << "a copy without lists is compact";
  EXPECT_EQ(0u, copy.heapBytes()) << "the copy holds the leaf in its encoding";
  EXPECT_EQ(node, copy);
  EXPECT_EQ(3, copy.leafValue());
  node.codes();
  EXPECT_EQ("full", form(node)) << "a list moves the record to its full form";
  EXPECT_EQ(3, node.leafValue());
}

// The pointer to a boxed sub-record stays valid while the record grows out
// of line, moves, and moves to its full form; copies taken on the way hold
// the values of their time.
TEST_F(StorageFormTest, PointersToBoxedSubRecordsSurviveEveryChangeOfForm) {
  Node node;
  node.setNumber(1);
  Leaf& leaf = node.leaf();
  leaf.setValue(5);
  EXPECT_EQ(&leaf, &node.leaf());
  node.setText(patternText(300));
  ASSERT_EQ("out-of-line", form(node));
  leaf.setValue(6);
  const Node grown = node;
  EXPECT_EQ("out-of-line", form(grown));
  Node moved = std::move(node);
  leaf.setValue(7);
  EXPECT_EQ(7, moved.leafValue());
  EXPECT_EQ(&leaf, moved.findObject<Leaf>(3, kHash, 23));
  moved.setLeafValue(8);
  EXPECT_EQ(8, leaf.value()) << "setsubint64 writes into the box";
  moved.codes().push_back(1);
  ASSERT_EQ("full", form(moved));
  leaf.setValue(9);
  EXPECT_EQ(9, moved.leafValue());
  EXPECT_EQ(6, grown.leafValue());
  EXPECT_EQ(patternText(300), grown.textView());
  EXPECT_EQ(1, grown.number());
}

TEST_F(StorageFormTest, HeapBytesCountWhatTheRecordOwnsInEveryForm) {
  Node node;
  node.setText("short");
  EXPECT_EQ(0u, node.heapBytes()) << "inline: nothing on the heap";

  const std::string longText = patternText(1000);
  node.setText(longText);
  ASSERT_EQ("out-of-line", form(node));
  EXPECT_GE(node.heapBytes(), longText.size());
  EXPECT_LT(node.heapBytes(), 3 * longText.size()) << "grown by at most doubling";

  Node listed = withText(longText);
  for (int i = 0; i < 1000; ++i) listed.leaves().emplace_back().setValue(i);
  ASSERT_EQ("full", form(listed));
  const std::size_t withLeaves = listed.heapBytes();
  EXPECT_GE(withLeaves, longText.size() + 1000 * sizeof(Leaf));
  listed.codes().resize(1000);
  EXPECT_GE(listed.heapBytes(), withLeaves + 1000 * sizeof(int)) << "every list counts";
  EXPECT_EQ("full", form(listed)) << "measuring changes no form";
}

TEST_F(StorageFormTest, RecordsWithListsAreCopiedInTheFullForm) {
  Node node;
  node.codes();
  EXPECT_EQ("full", form(node));
  EXPECT_EQ("full", form(Node(node))) << "even an empty, unset list is kept";
  node.leaves().emplace_back().setValue(4);
  Node copy = node;
  EXPECT_EQ("full", form(copy));
  EXPECT_EQ("inline", form(copy.leaves()[0])) << "the entries are compact copies";
  EXPECT_EQ(node, copy);
}

// Node's text field (number 2, hash 22) takes 3 bytes of header, and one
// more from 15 bytes of text on: 51 bytes of text fill the 55 inline bytes.
TEST_F(StorageFormTest, TextsUpToTheInlineCapacityStayInsideTheRecord) {
  constexpr std::size_t kLongestInline = 51;
  for (std::size_t length = 0; length <= 70; ++length) {
    const std::string text = patternText(length);
    Node node = withText(text);
    const char* expected = length <= kLongestInline ? "inline" : "out-of-line";
    EXPECT_EQ(expected, form(node)) << "length " << length;
    EXPECT_EQ(text, node.text()) << "length " << length;
    const Node copy = node;
    EXPECT_EQ(expected, form(copy)) << "length " << length;
    EXPECT_EQ(node, copy) << "length " << length;
    // A boxed leaf takes 11 bytes: tag, number, hash and the box's address.
    const Node boxed = withBoxedLeaf(node);
    EXPECT_EQ(length + 11 <= kLongestInline ? "inline" : "out-of-line", form(boxed))
        << "length " << length;
    EXPECT_EQ(node, boxed) << "length " << length;
    // Copied, the leaf is 4 bytes: tag, number, hash and class index (its
    // empty body's length is in the tag).
    EXPECT_EQ(length + 4 <= kLongestInline ? "inline" : "out-of-line", form(Node(boxed)))
        << "a copy of the boxed form, length " << length;
  }
}

TEST_F(StorageFormTest, FieldsChangeSizeInPlaceAcrossTheInlineCapacity) {
  Node node;
  node.setText(patternText(10));
  node.setNumber(1);  // after the text: moves whenever the text changes size
  for (std::size_t length : {51u, 52u, 51u, 0u, 200u, 3u, 52u}) {
    node.setText(patternText(length));
    EXPECT_EQ(patternText(length), node.text()) << "length " << length;
    EXPECT_EQ(1, node.number()) << "length " << length;
  }
  EXPECT_EQ("out-of-line", form(node)) << "a record that grew keeps its block";
  node.setText("short");
  EXPECT_EQ("out-of-line", form(node));
  EXPECT_EQ("inline", form(Node(node))) << "its copy fits inside";

  const long long values[] = {
      0, 1, -1, 127, 128, -128, -129, 32767, 32768, INT32_MIN - 1LL, INT64_MAX, INT64_MIN, 0};
  for (long long value : values) {
    node.setNumber(value);
    EXPECT_EQ(value, node.number());
    EXPECT_EQ("short", node.text()) << "value " << value;
    EXPECT_EQ(value, Node(node).number());
    EXPECT_EQ(value, promoted(node).number());
  }
}

TEST_F(StorageFormTest, TextsAreBytesOfAnyValueAndLength) {
  std::string everyByte;
  for (int b = 0; b < 256; ++b) everyByte += static_cast<char>(b);
  const std::string withNuls("\0a\0\0b\0", 6);
  for (const std::string& text : {withNuls, everyByte, std::string(1 << 20, '\0'), patternText(127),
                                  patternText(128), patternText(16383), patternText(16384)}) {
    Node node = withText(text);
    node.setNumber(5);
    EXPECT_EQ(text, node.text());
    EXPECT_EQ(text, Node(node).text());
    const Node full = promoted(node);
    EXPECT_EQ(text, Node(full).textView());
    EXPECT_EQ(5, Node(full).number());
    EXPECT_EQ(node, full);
    EXPECT_NE(withText(text + 'x'), node);
  }
}

TEST_F(StorageFormTest, FieldNumbersAndHashesOfEverySizeAreKeptAndChecked) {
  const short numbers[] = {0, 1, 63, 64, 127, 128, 8191, 8192, 32767, -1, -64, -65, -32768};
  const unsigned hashes[] = {0u, 255u, 256u, 65535u, 65536u, 16777215u, 16777216u, 4294967295u};
  Node node;
  std::size_t i = 0;
  for (short number : numbers) {
    const unsigned hash = hashes[i++ % std::size(hashes)];
    const short field = static_cast<short>(number + (number >= 1 && number <= 6 ? 100 : 0));
    node.setint64(field, 0, field * 3LL, kHash, hash);
    node.setstring(static_cast<short>(field ^ 0x4000), 0, std::to_string(field), kHash, hash);
  }
  for (const Node& record : {node, Node(node), promoted(node), Node(promoted(node))}) {
    i = 0;
    for (short number : numbers) {
      const unsigned hash = hashes[i++ % std::size(hashes)];
      const short field = static_cast<short>(number + (number >= 1 && number <= 6 ? 100 : 0));
      EXPECT_EQ(field * 3LL, record.getint64(field, kHash, hash)) << form(record) << " " << field;
      EXPECT_EQ(std::to_string(field),
                record.getstringview(static_cast<short>(field ^ 0x4000), kHash, hash));
      EXPECT_THROW(record.getint64(field, kHash, hash ^ 1), std::logic_error) << field;
    }
  }
}

TEST_F(StorageFormTest, SubRecordsOfCopiesAreCompactAndPromotedOnDemand) {
  Node source;
  source.setText("with a branch");
  source.branch().setLabel("label");
  source.branch().leaf().setValue(-9);
  source.leaf();  // accessed, never set

  Node copy = source;
  EXPECT_EQ("inline", form(copy));
  EXPECT_EQ(source, copy);
  EXPECT_FALSE(copy.has(3, 23));
  EXPECT_TRUE(copy.has(6, 26));
  EXPECT_EQ(0, copy.leafValue());
  EXPECT_EQ("inline", form(copy));

  Leaf& leaf = copy.branch().leaf();
  EXPECT_EQ("inline", form(copy)) << "the branch is boxed, and its leaf in the branch";
  EXPECT_EQ(-9, leaf.value());
  EXPECT_EQ("label", copy.branch().label());
  leaf.setValue(10);
  EXPECT_EQ(10, copy.branch().leaf().value());
  EXPECT_EQ(-9, source.branch().leaf().value()) << "copies are independent";
  EXPECT_NE(source, copy);

  copy.markSet(3, kHash, 23);  // the accessed leaf came along in the copy
  EXPECT_TRUE(copy.has(3, 23));
}

TEST_F(StorageFormTest, MarkedEmptySubRecordsStayPresentInCompactCopies) {
  Node source;
  source.leaf();
  source.markSet(3, kHash, 23);
  const Node copy = source;
  EXPECT_EQ("inline", form(copy));
  EXPECT_TRUE(copy.has(3, 23));
  EXPECT_EQ(source, copy);

  Node unmarked;
  unmarked.leaf();
  Node compact = unmarked;
  EXPECT_FALSE(compact.has(3, 23));
  EXPECT_EQ(Node(), compact);
  compact.markSet(3, kHash, 23);
  EXPECT_EQ("inline", form(compact)) << "marking needs no pointer";
  EXPECT_TRUE(compact.has(3, 23));
  EXPECT_NE(Node(), compact);
}

TEST_F(StorageFormTest, EqualityIgnoresTheFormAndTheOrderOfFields) {
  Node first;
  first.setNumber(1);
  first.setText(patternText(80));
  Node second;
  second.setText(patternText(80));
  second.setNumber(1);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first, promoted(second));
  EXPECT_EQ(promoted(first), Node(promoted(second)));
  second.setNumber(2);
  EXPECT_NE(first, second);
  EXPECT_NE(promoted(first), second);
}

TEST_F(StorageFormTest, AssignmentBetweenFormsReplacesEverything) {
  const Node sources[] = {Node(), withText("inline"), withText(patternText(90)),
                          promoted(withText("full"))};
  for (const Node& source : sources) {
    for (const Node& start : sources) {
      Node target = start;
      target = source;
      EXPECT_EQ(source, target) << form(source) << " onto " << form(start);
      EXPECT_EQ(source.textView(), target.textView());
    }
  }
}

TEST_F(StorageFormTest, PointersStayValidWhileTheRecordMovesInAGrowingVector) {
  std::vector<Node> nodes(1);
  Leaf* leaf = &nodes[0].leaf();
  std::vector<int>* codes = &nodes[0].codes();
  for (int i = 0; i < 100; ++i) nodes.push_back(withText(patternText(static_cast<std::size_t>(i))));
  leaf->setValue(77);
  codes->push_back(5);
  EXPECT_EQ(77, nodes[0].leaf().value());
  EXPECT_EQ(std::vector<int>{5}, nodes[0].codes());
  EXPECT_EQ(patternText(99), nodes[100].text());
}

TEST_F(StorageFormTest, FindObjectBoxesOnlyWhenTheSubRecordExists) {
  Node node = withText("no leaf");
  EXPECT_EQ(nullptr, node.findObject<Leaf>(3, kHash, 23));
  EXPECT_EQ("inline", form(node));
  Node withLeaf;
  withLeaf.leaf().setValue(6);
  Node compact = withLeaf;
  const Leaf* found = compact.findObject<Leaf>(3, kHash, 23);
  ASSERT_NE(nullptr, found);
  EXPECT_EQ("inline", form(compact)) << "the leaf is boxed";
  EXPECT_GT(compact.heapBytes(), 0u);
  EXPECT_EQ(6, found->value());
  EXPECT_EQ(found, compact.findObject<Leaf>(3, kHash, 23));
}

TEST_F(StorageFormTest, SubRecordIntegersAreReadWithoutChangingAnything) {
  Node node;
  node.leaf().setValue(INT64_MIN);
  for (const Node& record : {node, Node(node)}) {
    const std::string before = form(record);
    EXPECT_EQ(INT64_MIN, record.leafValue());
    EXPECT_EQ(0, record.getsubint64<Leaf>(3, kHash, 23, 2, kHash, 12)) << "absent sub-field";
    EXPECT_THROW(record.getsubint64<OtherLeaf>(3, kHash, 23, 1, kHash, 11), std::logic_error);
    EXPECT_THROW(record.getsubint64<Leaf>(3, kHash, 23, 1, kHash, 99), std::logic_error);
    EXPECT_THROW(record.getsubint64<Leaf>(3, kHash, 23, 1, (101ul << 24) | 77, 11),
                 std::logic_error);
    EXPECT_THROW(record.getsubint64<Leaf>(3, kHash, 99, 1, kHash, 11), std::logic_error);
    EXPECT_EQ(before, form(record));
  }
  Node text = withText("t");
  EXPECT_THROW(text.getsubint64<Leaf>(2, kHash, 22, 1, kHash, 11), std::logic_error);
  EXPECT_EQ(0, Node().leafValue());
}

// Random changes to a node and its copies, compared with a map of what each
// field should hold.
TEST(StorageModelTest, RandomChangesMatchAReferenceModel) {
  const testsupport::TestSeed seed(141421);
  std::mt19937 random(seed.value());
  auto below = [&](unsigned bound) { return static_cast<unsigned>(random() % bound); };

  struct Model {
    std::map<short, long long> integers;
    std::map<short, std::string> texts;
  };
  // Fields 10..17 hold integers, 20..27 texts; field f has hash 1000 + f.
  auto expectMatches = [](const Node& node, const Model& model, int step) {
    for (short f = 10; f < 18; ++f) {
      const auto found = model.integers.find(f);
      EXPECT_EQ(found == model.integers.end() ? 0 : found->second,
                node.getint64(f, kHash, 1000u + f))
          << "step " << step << ", field " << f;
      EXPECT_EQ(found != model.integers.end(), node.isSet(f, kHash, 1000u + f)) << "step " << step;
    }
    for (short f = 20; f < 28; ++f) {
      const auto found = model.texts.find(f);
      EXPECT_EQ(found == model.texts.end() ? "" : found->second,
                node.getstringview(f, kHash, 1000u + f))
          << "step " << step << ", field " << f;
    }
  };

  Node node;
  Model model;
  for (int step = 0; step < 3000; ++step) {
    switch (below(8)) {
      case 0:
      case 1:
      case 2: {
        const auto f = static_cast<short>(10 + below(8));
        const std::uint64_t bits = (std::uint64_t{random()} << 32 | random()) >> below(64);
        const auto value = static_cast<long long>(below(2) == 0 ? bits : ~bits);
        node.setint64(f, 0, value, kHash, 1000u + f);
        model.integers[f] = value;
        break;
      }
      case 3:
      case 4:
      case 5: {
        const auto f = static_cast<short>(20 + below(8));
        std::string text(below(4) == 0 ? below(300) : below(20), '\0');
        for (char& c : text) c = static_cast<char>(below(256));
        node.setstring(f, 0, text, kHash, 1000u + f);
        model.texts[f] = text;
        break;
      }
      case 6:
        node = Node(node);  // back to the compact form
        break;
      default:
        if (below(4) == 0) node.leaf();  // to the full form
        break;
    }
    expectMatches(node, model, step);
    if (step % 100 == 0) {
      Node rebuilt;  // the same values, added in another order
      for (auto it = model.texts.rbegin(); it != model.texts.rend(); ++it) {
        rebuilt.setstring(it->first, 0, it->second, kHash, 1000u + it->first);
      }
      for (const auto& [f, value] : model.integers) rebuilt.setint64(f, 0, value, kHash, 1000u + f);
      EXPECT_EQ(rebuilt, node) << "step " << step;
    }
    if (HasFailure()) return;
  }
  const Node copy = node;
  EXPECT_EQ(node, copy);
  expectMatches(copy, model, -1);
}

// ---- Misuse -------------------------------------------------------------

TEST(MisuseTest, AnotherKindThanTheFieldHoldsThrows) {
  Node node;
  node.setNumber(4);
  EXPECT_THROW(node.getstring(1, 1, kHash, 21), std::logic_error);
  EXPECT_THROW(node.getlistint<int>(1, 1, kHash, 21, false), std::logic_error);
  EXPECT_THROW((node.getObjectAccessor<Leaf>(true, true, 1, 1, kHash, 21, 100, 7)),
               std::logic_error);
  node.text();
  node.setText("t");
  EXPECT_THROW(node.setint64(2, 2, 1, kHash, 22), std::logic_error);
  EXPECT_EQ(4, node.number()) << "a refused access changes nothing";
  EXPECT_EQ("t", node.text());
}

TEST(MisuseTest, AnotherElementOrSubRecordTypeThrows) {
  Node node;
  node.leaves().emplace_back();
  EXPECT_THROW(node.getlistobject<OtherLeaf>(4, 4, kHash, 24, false), std::logic_error);
  node.codes();
  EXPECT_THROW(node.getlistint<unsigned>(5, 5, kHash, 25, false), std::logic_error);
  node.leaf();
  EXPECT_THROW((node.getObjectAccessor<OtherLeaf>(true, false, 3, 3, kHash, 23, 100, 8)),
               std::logic_error);
  EXPECT_THROW((node.getObjectAccessor<Leaf>(true, false, 3, 3, kHash, 23, 100, 99)),
               std::logic_error);
  EXPECT_EQ(1u, node.leaves().size());
}

TEST(MisuseTest, ConstantsOfAnotherFieldOrRecordThrow) {
  Node node;
  node.setNumber(1);
  EXPECT_THROW(node.getint64(1, kHash, 999), std::logic_error);
  EXPECT_THROW(node.isSet(1, kHash, 999), std::logic_error);
  EXPECT_THROW(node.getint64(1, (101ul << 24) | 77, 21), std::logic_error);
  EXPECT_THROW(node.markSet(3, kHash, 23), std::logic_error) << "never accessed";
  EXPECT_THROW(node.markSet(1, kHash, 21), std::logic_error) << "an integer";
}

TEST(MisuseTest, RefusedAccessesChangeNothingInAnyForm) {
  Node compact;
  compact.setNumber(4);
  compact.setText("t");
  Node full = compact;
  full.leaf();
  for (Node* node : {&compact, &full}) {
    const Node before = *node;
    const auto form = node->storageForm();
    EXPECT_THROW(node->setstring(1, 1, "x", kHash, 21), std::logic_error);
    EXPECT_THROW(node->setint64(2, 2, 1, kHash, 22), std::logic_error);
    EXPECT_THROW(node->setint64(1, 1, 1, kHash, 999), std::logic_error);
    EXPECT_THROW(node->getlistint<int>(2, 2, kHash, 22, false), std::logic_error);
    EXPECT_THROW((node->getObjectAccessor<Leaf>(true, true, 1, 1, kHash, 21, 100, 7)),
                 std::logic_error);
    EXPECT_THROW(node->setint64(1, 1, 1, (101ul << 24) | 77, 21), std::logic_error);
    EXPECT_THROW(node->markSet(2, kHash, 22), std::logic_error);
    EXPECT_EQ(before, *node);
    EXPECT_EQ(form, node->storageForm());
  }
}

TEST(MisuseTest, ASubRecordOfTheWrongTypePairIsNeverCreated) {
  Node node;
  EXPECT_THROW((node.getObjectAccessor<Leaf>(true, false, 3, 3, kHash, 23, 100, 99)),
               std::logic_error);
  EXPECT_THROW(node.markSet(3, kHash, 23), std::logic_error) << "the field does not exist";
  EXPECT_EQ(PKMessageBase::StorageForm::kInline, node.storageForm());

  Node withLeaf;
  withLeaf.leaf().setValue(1);
  Node compact = withLeaf;
  EXPECT_THROW((compact.getObjectAccessor<OtherLeaf>(true, false, 3, 3, kHash, 23, 100, 8)),
               std::logic_error);
  EXPECT_THROW(compact.findObject<OtherLeaf>(3, kHash, 23), std::logic_error);
  EXPECT_EQ(PKMessageBase::StorageForm::kInline, compact.storageForm());
  EXPECT_EQ(withLeaf, compact);
}

TEST(MisuseTest, AssigningARecordOfAnotherTypeThrows) {
  Leaf leaf;
  leaf.setValue(1);
  OtherLeaf other;
  PKMessageBase& base = leaf;
  EXPECT_THROW(base = other, std::logic_error);
  EXPECT_EQ(1, leaf.value());
}

TEST(MisuseTest, StoringANullSubRecordThrows) {
  Node node;
  EXPECT_THROW(node.setObjectAccessor<Leaf>(nullptr, 3, 3, kHash, 23), std::logic_error);
  EXPECT_FALSE(node.has(3, 23));
}

}  // namespace
