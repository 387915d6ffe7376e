// Field storage, presence and misuse of the message base, through a small
// record of its own so that every kind of field is exercised directly.
#include "PKMessageBase.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned long kHash = (100ul << 24) | 77;  // family 100 in the top byte

class Leaf : public PKMessageBase {
 public:
  Leaf() : PKMessageBase(100, 7) {}
  long long value() const { return getint64(1, kHash, 11); }
  void setValue(long long v) { setint64(1, 1, v, kHash, 11); }
};

class OtherLeaf : public PKMessageBase {
 public:
  OtherLeaf() : PKMessageBase(100, 8) {}
};

class Node : public PKMessageBase {
 public:
  Node() : PKMessageBase(100, 9) {}
  long long number() const { return getint64(1, kHash, 21); }
  void setNumber(long long v) { setint64(1, 1, v, kHash, 21); }
  std::string text() { return getstring(2, 2, kHash, 22); }
  void setText(const std::string& v) { setstring(2, 2, v, kHash, 22); }
  Leaf& leaf() { return *getObjectAccessor<Leaf>(true, false, 3, 3, kHash, 23, 100, 7); }
  void setLeaf(const Leaf& v) { setObjectAccessor<Leaf>(&v, 3, 3, kHash, 23); }
  std::vector<Leaf>& leaves() { return *getlistobject<Leaf>(4, 4, kHash, 24, true); }
  std::vector<int>& codes() { return *getlistint<int>(5, 5, kHash, 25, false); }
  bool has(short field, unsigned int hash) const { return isSet(field, kHash, hash); }
};

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
