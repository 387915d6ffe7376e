// PKMessageBase: the base of every message record.
//
// A record is a value: it owns its fields, and a copy holds deep, independent
// copies of all of them (sub-records and lists included). Fields are addressed
// by field number together with the constants that the record classes pass
// (storage index, record hash, field hash, and for a sub-record its type
// pair). A field holds one kind of value for its life: an integer (signed 64
// bits), a text, a sub-record, a list of records or a list of 4-byte values.
//
// Presence: a new record has no field set. An integer or text field is set
// once a value is stored in it. A sub-record or list always exists when read
// (an unset one reads empty) and reading it never makes it count as set; it
// counts as set once it holds something (a set field, an entry), once a value
// was stored into it with setObjectAccessor, or once markSet was called on it.
//
// Misuse, such as touching a field as another kind than it holds, asking a
// sub-record or list for another element type than it holds, or passing the
// constants of another record, throws std::logic_error; it never corrupts
// memory.
//
// Storage: a record keeps all its fields in one allocation (none until a field
// is first accessed): fixed-size entries followed by the bytes of its texts.
// A sub-record or list is a separate object that the entry owns, so
// references to it stay valid while other fields are added. Copying a record
// of integers and texts costs one allocation.
//
// Thread safety: none. A record serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeinfo>
#include <vector>

class PKMessageBase;

namespace pk_detail {

// Owner of a sub-record or a list, copied deeply through clone().
class Box {
 public:
  virtual ~Box() = default;
  virtual Box* clone() const = 0;  // a new copy; the caller owns it
  virtual bool hasContent() const = 0;
  virtual bool equals(const Box& other) const = 0;
};

enum class Kind : std::uint8_t { kInteger, kText, kRecord, kRecordList, kValueList };

const char* kindName(Kind kind);

template <class T>
class RecordBox final : public Box {
 public:
  RecordBox() = default;
  Box* clone() const override { return new RecordBox(*this); }
  bool hasContent() const override { return value_.hasAnyFieldSet(); }
  bool equals(const Box& other) const override {
    auto* same = dynamic_cast<const RecordBox*>(&other);
    return same && same->value_ == value_;
  }
  T& value() { return value_; }
  const T& value() const { return value_; }

 private:
  T value_;
};

template <class T>
class ListBox final : public Box {
 public:
  ListBox() = default;
  Box* clone() const override { return new ListBox(*this); }
  bool hasContent() const override { return !value_.empty(); }
  bool equals(const Box& other) const override {
    auto* same = dynamic_cast<const ListBox*>(&other);
    return same && same->value_ == value_;
  }
  std::vector<T>& value() { return value_; }

 private:
  std::vector<T> value_;
};

struct Block;  // a record's fields, in one allocation
struct Entry;  // one field of a Block

}  // namespace pk_detail

class PKMessageBase {
 public:
  // An empty record of the given type pair: no field set.
  PKMessageBase(int family, int typeNumber);
  PKMessageBase(const PKMessageBase& other);
  PKMessageBase(PKMessageBase&& other) noexcept;
  ~PKMessageBase();

  // Whole-record assignment: afterwards this record holds deep copies of the
  // other's fields. Assigning a record of another type pair throws.
  PKMessageBase& operator=(const PKMessageBase& other);
  PKMessageBase& operator=(PKMessageBase&& other);

  int family() const { return family_; }
  int typeNumber() const { return typeNumber_; }

  // Deep equality: same type pair, the same fields with the same presence and
  // values.
  bool operator==(const PKMessageBase& other) const;

  // True when any field of this record counts as set.
  bool hasAnyFieldSet() const;

  // The sub-record field, created empty (none of its fields set) when absent.
  // T is the record class of the sub-record, of type pair family/typeNumber.
  // The pointer is never null and stays valid while the field lives, that is,
  // until this record is assigned to or destroyed. Neither flag changes what
  // counts as set; the second one says whether the caller means to write.
  template <class T>
  T* getObjectAccessor(bool, bool forWrite, short fieldNumber, short storageIndex,
                       unsigned long recordHash, unsigned int fieldHash, int family,
                       int typeNumber);

  // The sub-record field when it exists, else null; unlike getObjectAccessor
  // it never creates the field.
  template <class T>
  const T* findObject(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) const;

  // Sets the sub-record field to a copy of *value, which stays unchanged; the
  // field counts as set afterwards.
  template <class T>
  void setObjectAccessor(T const* value, short fieldNumber, short storageIndex,
                         unsigned long recordHash, unsigned int fieldHash);

  // The list-of-records field, created empty when absent. Never null; valid
  // while the field lives.
  template <class T>
  std::vector<T>* getlistobject(short fieldNumber, short storageIndex, unsigned long recordHash,
                                unsigned int fieldHash, bool forWrite);

  // The list of 4-byte values, as a vector of E (a 4-byte enumeration or
  // integer), created empty when absent. Never null; valid while the field
  // lives.
  template <class E>
  std::vector<E>* getlistint(short fieldNumber, short storageIndex, unsigned long recordHash,
                             unsigned int fieldHash, bool forWrite);

  // The text, or the empty text when unset.
  std::string getstring(short fieldNumber, short storageIndex, unsigned long recordHash,
                        unsigned int fieldHash);
  // The same text without a copy; the view is valid until the record changes.
  std::string_view getstringview(short fieldNumber, unsigned long recordHash,
                                 unsigned int fieldHash) const;
  void setstring(short fieldNumber, short storageIndex, std::string const& value,
                 unsigned long recordHash, unsigned int fieldHash);

  // The integer, or 0 when unset.
  long long getint64(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) const;
  void setint64(short fieldNumber, short storageIndex, long long value, unsigned long recordHash,
                unsigned int fieldHash);

  // True when the field counts as set (see the presence rules above). For a
  // list, true does not mean that it has entries.
  bool isSet(short fieldNumber, unsigned long recordHash, unsigned long fieldHash) const;

  // Makes a sub-record or list field that exists count as set even while it
  // is empty (a list given as [] stays present). Throws when the field was
  // never accessed or holds an integer or a text.
  void markSet(short fieldNumber, unsigned long recordHash, unsigned int fieldHash);

 private:
  using Box = pk_detail::Box;
  using Kind = pk_detail::Kind;
  using Entry = pk_detail::Entry;

  const Entry* findAny(short fieldNumber, unsigned long recordHash, unsigned long fieldHash) const;
  const Entry* find(short fieldNumber, unsigned long recordHash, unsigned long fieldHash,
                    Kind kind) const;
  Entry* find(short fieldNumber, unsigned long recordHash, unsigned long fieldHash, Kind kind);
  // Appends a new, unset field and returns its index.
  std::size_t insert(short fieldNumber, unsigned int fieldHash, Kind kind);
  Entry& entryAt(std::size_t index);
  // The box of a sub-record or list field, or null when absent.
  const Box* findBox(short fieldNumber, unsigned long recordHash, unsigned int fieldHash,
                     Kind kind) const;
  // The box of a sub-record or list field, created with `make` when absent.
  Box& box(short fieldNumber, unsigned long recordHash, unsigned int fieldHash, Kind kind,
           Box* (*make)());
  void setText(std::size_t index, std::string_view value);
  std::string_view textOf(const Entry& entry) const;
  [[noreturn]] void throwBoxType(short fieldNumber, const std::type_info& wanted) const;

  template <class BoxT>
  BoxT& typedBox(short fieldNumber, unsigned long recordHash, unsigned int fieldHash, Kind kind);

  std::int32_t family_;
  std::int32_t typeNumber_;
  pk_detail::Block* block_ = nullptr;  // null while no field was ever accessed
};

template <class BoxT>
BoxT& PKMessageBase::typedBox(short fieldNumber, unsigned long recordHash, unsigned int fieldHash,
                              Kind kind) {
  Box& found = box(fieldNumber, recordHash, fieldHash, kind, []() -> Box* { return new BoxT(); });
  auto* typed = dynamic_cast<BoxT*>(&found);
  if (typed == nullptr) throwBoxType(fieldNumber, typeid(BoxT));
  return *typed;
}

template <class T>
T* PKMessageBase::getObjectAccessor(bool, bool, short fieldNumber, short, unsigned long recordHash,
                                    unsigned int fieldHash, int family, int typeNumber) {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a sub-record is a record");
  T& record =
      typedBox<pk_detail::RecordBox<T>>(fieldNumber, recordHash, fieldHash, Kind::kRecord).value();
  if (record.family() != family || record.typeNumber() != typeNumber) {
    throwBoxType(fieldNumber, typeid(T));
  }
  return &record;
}

template <class T>
const T* PKMessageBase::findObject(short fieldNumber, unsigned long recordHash,
                                   unsigned int fieldHash) const {
  const Box* found = findBox(fieldNumber, recordHash, fieldHash, Kind::kRecord);
  if (found == nullptr) return nullptr;
  auto* typed = dynamic_cast<const pk_detail::RecordBox<T>*>(found);
  if (typed == nullptr) throwBoxType(fieldNumber, typeid(T));
  return &typed->value();
}

template <class T>
void PKMessageBase::setObjectAccessor(T const* value, short fieldNumber, short storageIndex,
                                      unsigned long recordHash, unsigned int fieldHash) {
  if (value == nullptr) throw std::logic_error("setObjectAccessor: null sub-record");
  T copy = *value;
  T* target = getObjectAccessor<T>(true, true, fieldNumber, storageIndex, recordHash, fieldHash,
                                   copy.family(), copy.typeNumber());
  *target = std::move(copy);
  markSet(fieldNumber, recordHash, fieldHash);
}

template <class T>
std::vector<T>* PKMessageBase::getlistobject(short fieldNumber, short, unsigned long recordHash,
                                             unsigned int fieldHash, bool) {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a list of records holds records");
  return &typedBox<pk_detail::ListBox<T>>(fieldNumber, recordHash, fieldHash, Kind::kRecordList)
              .value();
}

template <class E>
std::vector<E>* PKMessageBase::getlistint(short fieldNumber, short, unsigned long recordHash,
                                          unsigned int fieldHash, bool) {
  static_assert(sizeof(E) == 4 && (std::is_enum_v<E> || std::is_integral_v<E>),
                "a value list holds 4-byte values");
  return &typedBox<pk_detail::ListBox<E>>(fieldNumber, recordHash, fieldHash, Kind::kValueList)
              .value();
}
