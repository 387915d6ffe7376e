// Small records of the records' own tests: every kind of field, addressed
// directly through the message base.
#pragma once

#include <string>
#include <vector>

#include "PKMessageBase.h"

namespace records_testing {

inline constexpr unsigned long kHash = (100ul << 24) | 77;  // family 100 in the top byte

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

// A sub-record that holds a sub-record. Fields: 1 leaf, 2 label.
class Branch : public PKMessageBase {
 public:
  Branch() : PKMessageBase(100, 10) {}
  Leaf& leaf() { return *getObjectAccessor<Leaf>(true, false, 1, 1, kHash, 31, 100, 7); }
  std::string_view label() const { return getstringview(2, kHash, 32); }
  void setLabel(const std::string& v) { setstring(2, 2, v, kHash, 32); }
};

// Fields: 1 number, 2 text, 3 leaf, 4 leaves, 5 codes, 6 branch.
class Node : public PKMessageBase {
 public:
  Node() : PKMessageBase(100, 9) {}
  long long number() const { return getint64(1, kHash, 21); }
  void setNumber(long long v) { setint64(1, 1, v, kHash, 21); }
  std::string text() { return getstring(2, 2, kHash, 22); }
  std::string_view textView() const { return getstringview(2, kHash, 22); }
  void setText(const std::string& v) { setstring(2, 2, v, kHash, 22); }
  Leaf& leaf() { return *getObjectAccessor<Leaf>(true, false, 3, 3, kHash, 23, 100, 7); }
  void setLeaf(const Leaf& v) { setObjectAccessor<Leaf>(&v, 3, 3, kHash, 23); }
  std::vector<Leaf>& leaves() { return *getlistobject<Leaf>(4, 4, kHash, 24, true); }
  std::vector<int>& codes() { return *getlistint<int>(5, 5, kHash, 25, false); }
  Branch& branch() { return *getObjectAccessor<Branch>(true, false, 6, 6, kHash, 26, 100, 10); }
  // The leaf's value without creating the leaf or changing the storage form.
  long long leafValue() const { return getsubint64<Leaf>(3, kHash, 23, 1, kHash, 11); }
  // Sets the leaf's value, keeping a compact record compact.
  void setLeafValue(long long v) { setsubint64<Leaf>(3, 3, kHash, 23, 1, 1, kHash, 11, v); }
  bool has(short field, unsigned int hash) const { return isSet(field, kHash, hash); }
};

}  // namespace records_testing
