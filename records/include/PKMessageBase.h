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
// Thread safety: none. A record serves one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <variant>
#include <vector>

class PKMessageBase;

namespace pk_detail {

// Type-erased owner of a sub-record or a list, copied deeply through clone().
class Box {
 public:
  virtual ~Box() = default;
  virtual std::unique_ptr<Box> clone() const = 0;
  virtual bool hasContent() const = 0;
  virtual bool equals(const Box& other) const = 0;
};

// A Box that copies its content when the owning field is copied.
class BoxPtr {
 public:
  explicit BoxPtr(std::unique_ptr<Box> box) : box_(std::move(box)) {}
  BoxPtr(const BoxPtr& other) : box_(other.box_->clone()) {}
  BoxPtr(BoxPtr&&) noexcept = default;
  BoxPtr& operator=(const BoxPtr& other) {
    box_ = other.box_->clone();
    return *this;
  }
  BoxPtr& operator=(BoxPtr&&) noexcept = default;
  Box& get() const { return *box_; }
  bool operator==(const BoxPtr& other) const { return box_->equals(*other.box_); }

 private:
  std::unique_ptr<Box> box_;
};

enum class Kind : std::uint8_t { kInteger, kText, kRecord, kRecordList, kValueList };

const char* kindName(Kind kind);

struct Field {
  std::int16_t number;
  Kind kind;
  bool markedSet;
  std::uint32_t hash;
  std::variant<std::int64_t, std::string, BoxPtr> value;
};

template <class T>
class RecordBox final : public Box {
 public:
  explicit RecordBox(T value) : value_(std::move(value)) {}
  std::unique_ptr<Box> clone() const override { return std::make_unique<RecordBox>(value_); }
  bool hasContent() const override { return value_.hasAnyFieldSet(); }
  bool equals(const Box& other) const override {
    auto* same = dynamic_cast<const RecordBox*>(&other);
    return same && same->value_ == value_;
  }
  T& value() { return value_; }

 private:
  T value_;
};

template <class T>
class ListBox final : public Box {
 public:
  ListBox() = default;
  explicit ListBox(std::vector<T> value) : value_(std::move(value)) {}
  std::unique_ptr<Box> clone() const override { return std::make_unique<ListBox>(value_); }
  bool hasContent() const override { return !value_.empty(); }
  bool equals(const Box& other) const override {
    auto* same = dynamic_cast<const ListBox*>(&other);
    return same && same->value_ == value_;
  }
  std::vector<T>& value() { return value_; }

 private:
  std::vector<T> value_;
};

}  // namespace pk_detail

class PKMessageBase {
 public:
  // An empty record of the given type pair: no field set.
  PKMessageBase(int family, int typeNumber);
  PKMessageBase(const PKMessageBase&) = default;
  PKMessageBase(PKMessageBase&&) noexcept = default;
  ~PKMessageBase() = default;

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
  using Field = pk_detail::Field;
  using Kind = pk_detail::Kind;

  void checkRecordHash(unsigned long recordHash, short fieldNumber) const;
  const Field* findAnyKind(short fieldNumber, unsigned long recordHash,
                           unsigned long fieldHash) const;
  const Field* find(short fieldNumber, unsigned long recordHash, unsigned long fieldHash,
                    Kind kind) const;
  Field* find(short fieldNumber, unsigned long recordHash, unsigned long fieldHash, Kind kind);
  Field& insert(short fieldNumber, unsigned int fieldHash, Kind kind,
                std::variant<std::int64_t, std::string, pk_detail::BoxPtr> value);
  [[noreturn]] void throwBoxType(short fieldNumber, const std::type_info& wanted) const;

  template <class BoxT>
  BoxT& boxOf(Field& field);

  std::int32_t family_;
  std::int32_t typeNumber_;
  std::vector<Field> fields_;
};

template <class BoxT>
BoxT& PKMessageBase::boxOf(Field& field) {
  auto* box = dynamic_cast<BoxT*>(&std::get<pk_detail::BoxPtr>(field.value).get());
  if (box == nullptr) throwBoxType(field.number, typeid(BoxT));
  return *box;
}

template <class T>
T* PKMessageBase::getObjectAccessor(bool, bool, short fieldNumber, short, unsigned long recordHash,
                                    unsigned int fieldHash, int family, int typeNumber) {
  static_assert(std::is_base_of_v<PKMessageBase, T>, "a sub-record is a record");
  Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kRecord);
  if (field == nullptr) {
    field = &insert(fieldNumber, fieldHash, Kind::kRecord,
                    pk_detail::BoxPtr(std::make_unique<pk_detail::RecordBox<T>>(T())));
  }
  T& record = boxOf<pk_detail::RecordBox<T>>(*field).value();
  if (record.family() != family || record.typeNumber() != typeNumber) {
    throwBoxType(fieldNumber, typeid(T));
  }
  return &record;
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
  Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kRecordList);
  if (field == nullptr) {
    field = &insert(fieldNumber, fieldHash, Kind::kRecordList,
                    pk_detail::BoxPtr(std::make_unique<pk_detail::ListBox<T>>()));
  }
  return &boxOf<pk_detail::ListBox<T>>(*field).value();
}

template <class E>
std::vector<E>* PKMessageBase::getlistint(short fieldNumber, short, unsigned long recordHash,
                                          unsigned int fieldHash, bool) {
  static_assert(sizeof(E) == 4 && (std::is_enum_v<E> || std::is_integral_v<E>),
                "a value list holds 4-byte values");
  Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kValueList);
  if (field == nullptr) {
    field = &insert(fieldNumber, fieldHash, Kind::kValueList,
                    pk_detail::BoxPtr(std::make_unique<pk_detail::ListBox<E>>()));
  }
  return &boxOf<pk_detail::ListBox<E>>(*field).value();
}
