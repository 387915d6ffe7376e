// The fields of a record in either form: the one lookup of a field that
// every operation makes, and the walks, comparisons and copies of whole
// records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "CompactForm.h"
#include "FullForm.h"
#include "PKMessageBase.h"
#include "RecordAccess.h"
#include "RecordChecks.h"
#include "RecordTypes.h"

namespace pk_detail {

// The fields of a record or of a compact sub-record: a block, or a compact
// encoding.
struct Fields {
  Block* block = nullptr;  // the full form when not null
  std::string_view compact;
  bool boxes = false;  // the compact encoding refers to boxed sub-records
};

inline Fields fieldsOf(const PKMessageBase& record) {
  Storage& s = Access::storage(record);
  if (s.form() == Storage::Form::kFull) return Fields{s.full.block, {}};
  return Fields{nullptr, compactBytes(s), s.holdsBoxes()};
}

// One field of either form, for the operations that read whole records.
struct FieldView {
  std::int16_t number = 0;
  Kind kind = Kind::kInteger;
  bool markedSet = false;
  std::int64_t integer = 0;
  std::string_view text;
  Fields sub;  // a sub-record's fields
  const RecordType* subType = nullptr;
  const Box* box = nullptr;  // a list
};

FieldView view(const Block& block, const Entry& entry);
FieldView view(const CompactField& field);
bool countsAsSet(const FieldView& field);

// A field looked up by number in either form, or its absence. Valid until
// the record changes.
class Field {
 public:
  // Field `number` of `of`, the fields of a record of type pair `owner`.
  static Field at(const Fields& of, short number, TypePair owner) {
    Field field(of, number, owner);
    if (of.block != nullptr) {
      field.entry_ = findEntry(*of.block, number);
    } else {
      field.compact_ = findCompact(of.compact, number);
    }
    return field;
  }

  // The same, and throws when the field exists with another hash.
  static Field find(const Fields& of, short number, unsigned long fieldHash, TypePair owner) {
    const Field field = at(of, number, owner);
    if (field) checkHash(number, fieldHash, field.hash(), owner);
    return field;
  }

  explicit operator bool() const { return entry_ != nullptr || compact_.start != nullptr; }
  bool isFull() const { return of_.block != nullptr; }

  // What follows requires the field to exist.
  Kind kind() const { return isFull() ? entry_->kind : compact().kind(); }
  std::uint32_t hash() const { return isFull() ? entry_->hash : compact().hashValue(); }
  std::int64_t integer() const { return isFull() ? entry_->payload.integer : compact().integer(); }
  std::string_view text() const {
    return isFull() ? textOf(*of_.block, *entry_) : compact().bytes();
  }
  // The class and the fields of a sub-record.
  const RecordType& recordType() const {
    if (isFull()) return *entry_->payload.box->recordType();
    if (compact_.isBoxed()) return *compact_.box()->recordType();
    return recordTypeAt(compact_.typeIndex());
  }
  Fields subFields() const {
    if (isFull()) return fieldsOf(*entry_->payload.box->record());
    if (compact_.isBoxed()) return fieldsOf(*compact_.box()->record());
    return Fields{nullptr, compact_.bytes()};
  }
  FieldView view() const {
    return isFull() ? pk_detail::view(*of_.block, *entry_) : pk_detail::view(compact());
  }

  // See the presence rules in PKMessageBase.h.
  bool countsAsSet() const {
    const bool marked = isFull() ? entry_->markedSet : compact_.markedSet();
    return marked || pk_detail::countsAsSet(view());
  }

  // Throws unless the field holds `wanted`.
  void expect(Kind wanted) const { checkKind(number_, kind(), wanted, owner_); }
  // Throws unless the field holds a sub-record of class `type`.
  void expectRecord(const RecordType& type) const {
    expect(Kind::kRecord);
    if (!sameType(recordType(), type)) throwWrongType(number_, owner_, type.type->name());
  }

  // Full form: the entry, and its index (kNoEntry when absent).
  Entry* entry() const { return entry_; }
  std::uint32_t index() const {
    return entry_ ? static_cast<std::uint32_t>(entry_ - of_.block->entries()) : kNoEntry;
  }
  // Compact form: the field itself, and its bytes in the encoding, or where
  // a new field is appended when absent.
  const CompactField& compact() const { return compact_; }
  std::size_t begin() const {
    return compact_.start ? static_cast<std::size_t>(compact_.start - of_.compact.data())
                          : of_.compact.size();
  }
  std::size_t end() const {
    return compact_.start ? static_cast<std::size_t>(compact_.end() - of_.compact.data())
                          : of_.compact.size();
  }

 private:
  Field(const Fields& of, short number, TypePair owner)
      : of_(of), compact_{}, owner_(owner), number_(number) {}

  Fields of_;
  CompactField compact_;    // the field in the compact form (start null: absent)
  Entry* entry_ = nullptr;  // its entry in the full form
  TypePair owner_;
  short number_;
};

// Calls visit(field) for each field until it returns true; returns whether
// one did.
template <class Visit>
bool anyField(const Fields& of, Visit visit) {
  if (of.block != nullptr) {
    for (std::uint32_t i = 0; i < of.block->count; ++i) {
      if (visit(view(*of.block, of.block->entries()[i]))) return true;
    }
    return false;
  }
  return anyCompact(of.compact, [&](const CompactField& field) { return visit(view(field)); });
}

bool anySet(const Fields& of);

// The same set fields with the same values; fields that were only read
// (present but unset and empty) do not count. `owner` is the type pair of
// the records.
bool sameFields(const Fields& a, const Fields& b, TypePair owner);

// Copies `from` into empty storage: compact when it can be (no list, every
// sub-record class with an index), else as a full block whose boxes are
// cloned.
void copyStorage(Storage& to, const PKMessageBase& from);

// Heap bytes of the boxed sub-records of compact storage.
std::size_t compactBoxBytes(const Storage& s) noexcept;

// Frees what the storage owns and leaves it empty inline.
void releaseStorage(Storage& s) noexcept;

}  // namespace pk_detail
