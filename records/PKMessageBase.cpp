// The operations of a record, over either form of its storage: the compact
// form (CompactForm.h, which pictures the three forms) and the full form
// (FullForm.h). Each finds its field with one lookup (Field in Fields.h) and
// only writes differ by form.

#include "PKMessageBase.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "CompactForm.h"
#include "Fields.h"
#include "FullForm.h"
#include "RecordAccess.h"
#include "RecordChecks.h"
#include "RecordTypes.h"

using pk_detail::Access;
using pk_detail::Box;
using pk_detail::Entry;
using pk_detail::Field;
using pk_detail::FieldHeader;
using pk_detail::Kind;
using pk_detail::RecordType;
using pk_detail::Storage;
using pk_detail::TypePair;

namespace {

using Form = Storage::Form;

// The field of `record` addressed by these constants, both hashes checked.
// Inlined: reading a field is hot (sort keys), and the field stays in
// registers.
[[gnu::always_inline]] inline Field lookUp(const PKMessageBase& record, short fieldNumber,
                                           unsigned long recordHash, unsigned long fieldHash) {
  const TypePair owner = Access::typePair(record);
  pk_detail::checkFamily(fieldNumber, recordHash, owner);
  return Field::find(pk_detail::fieldsOf(record), fieldNumber, fieldHash, owner);
}

// Whether a new box of a sub-record of `kind` can live in the compact
// encoding: a sub-record whose class has an index.
bool boxableInCompact(const Box& box, Kind kind) {
  return kind == Kind::kRecord && box.recordTypeIndex() >= 0;
}

// The box of `field`, which exists, after checking that it holds `kind`. A
// compact sub-record moves into a box of its own that the encoding refers
// to; one whose class has no index moves the record to its full form. A
// box's C++ type is checked by the caller (typedBox, findObject), but a
// compact sub-record has no box until then, so its class must be `type`
// (when given) before anything changes.
Box& existingBox(const PKMessageBase& record, const Field& field, short fieldNumber, Kind kind,
                 const RecordType* type) {
  field.expect(kind);
  if (field.isFull()) return *field.entry()->payload.box;
  if (type != nullptr) field.expectRecord(*type);
  if (field.compact().isBoxed()) return *field.compact().box();
  Storage& storage = Access::storage(record);
  const pk_detail::CompactField& compact = field.compact();
  std::unique_ptr<Box> made(pk_detail::recordTypeAt(compact.typeIndex()).makeBox());
  if (boxableInCompact(*made, kind)) {
    pk_detail::setCompact(Access::storage(*made->record()), compact.bytes());
    const FieldHeader header =
        FieldHeader::boxed(compact.number, compact.hashValue(), compact.markedSet(), made.get());
    pk_detail::replaceCompact(storage, field.begin(), field.end(), header.bytes(), {});
    pk_detail::markHoldsBoxes(storage);
    return *made.release();
  }
  pk_detail::promote(storage, 0);
  const Field promoted =
      Field::at(pk_detail::fieldsOf(record), fieldNumber, Access::typePair(record));
  return *promoted.entry()->payload.box;
}

void checkAssignable(TypePair to, TypePair from) {
  if (to.family != from.family || to.typeNumber != from.typeNumber) {
    throw std::logic_error("cannot assign a record of type " + pk_detail::recordName(from) +
                           " to one of type " + pk_detail::recordName(to));
  }
}

}  // namespace

PKMessageBase::PKMessageBase(int family, int typeNumber)
    : family_(family), typeNumber_(typeNumber), storage_{} {}

void PKMessageBase::copyHeap(const PKMessageBase& other) {
  storage_ = Storage{};
  pk_detail::copyStorage(storage_, other);
}

void PKMessageBase::releaseHeap() noexcept { pk_detail::releaseStorage(storage_); }

std::size_t PKMessageBase::ownedHeapBytes() const noexcept {
  if (storage_.form() == Form::kFull) return pk_detail::blockHeapBytes(*storage_.full.block);
  const std::size_t boxes = storage_.holdsBoxes() ? pk_detail::compactBoxBytes(storage_) : 0;
  if (storage_.form() == Form::kOutOfLine) return storage_.outOfLine.capacity + boxes;
  return boxes;
}

PKMessageBase& PKMessageBase::operator=(const PKMessageBase& other) {
  checkAssignable(Access::typePair(*this), Access::typePair(other));
  if (this != &other) *this = PKMessageBase(other);
  return *this;
}

PKMessageBase& PKMessageBase::operator=(PKMessageBase&& other) {
  checkAssignable(Access::typePair(*this), Access::typePair(other));
  if (this == &other) return *this;
  // `other` may live inside this record (a sub-record of it): keep this
  // record's storage alive until `other`'s is taken.
  PKMessageBase old(std::move(*this));
  storage_ = other.storage_;
  other.storage_ = Storage{};
  return *this;
}

bool PKMessageBase::operator==(const PKMessageBase& other) const {
  if (family_ != other.family_ || typeNumber_ != other.typeNumber_) return false;
  return pk_detail::sameFields(pk_detail::fieldsOf(*this), pk_detail::fieldsOf(other),
                               Access::typePair(*this));
}

bool PKMessageBase::hasAnyFieldSet() const { return pk_detail::anySet(pk_detail::fieldsOf(*this)); }

PKMessageBase::StorageForm PKMessageBase::storageForm() const {
  switch (storage_.form()) {
    case Form::kInline:
      return StorageForm::kInline;
    case Form::kOutOfLine:
      return StorageForm::kOutOfLine;
    case Form::kFull:
      break;
  }
  return StorageForm::kFull;
}

// ---- Integers and texts -----------------------------------------------------

std::string PKMessageBase::getstring(short fieldNumber, short, unsigned long recordHash,
                                     unsigned int fieldHash) {
  return std::string(getstringview(fieldNumber, recordHash, fieldHash));
}

std::string_view PKMessageBase::getstringview(short fieldNumber, unsigned long recordHash,
                                              unsigned int fieldHash) const {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (!field) return {};
  field.expect(Kind::kText);
  return field.text();
}

void PKMessageBase::setstring(short fieldNumber, short, std::string const& value,
                              unsigned long recordHash, unsigned int fieldHash) {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (field) field.expect(Kind::kText);
  if (field.isFull()) {
    pk_detail::setEntryText(storage_, field.index(), fieldNumber, fieldHash, value);
    return;
  }
  const FieldHeader header =
      FieldHeader::text(fieldNumber, fieldHash, pk_detail::checkedCount(value.size()));
  pk_detail::replaceCompact(storage_, field.begin(), field.end(), header.bytes(), value);
}

long long PKMessageBase::getint64(short fieldNumber, unsigned long recordHash,
                                  unsigned int fieldHash) const {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (!field) return 0;
  field.expect(Kind::kInteger);
  return field.integer();
}

void PKMessageBase::setint64(short fieldNumber, short, long long value, unsigned long recordHash,
                             unsigned int fieldHash) {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (field) field.expect(Kind::kInteger);
  if (field.isFull()) {
    Entry* entry = field
                       ? field.entry()
                       : &pk_detail::insertEntry(storage_, fieldNumber, fieldHash, Kind::kInteger);
    entry->payload.integer = value;
    entry->markedSet = true;
    return;
  }
  const FieldHeader header = FieldHeader::integer(fieldNumber, fieldHash, value);
  pk_detail::replaceCompact(storage_, field.begin(), field.end(), header.bytes(), {});
}

// ---- Integers of sub-records ------------------------------------------------

long long PKMessageBase::subint64(const RecordType& type, short fieldNumber,
                                  unsigned long recordHash, unsigned int fieldHash,
                                  short subFieldNumber, unsigned long subRecordHash,
                                  unsigned int subFieldHash) const {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (!field) return 0;
  field.expectRecord(type);
  const TypePair subType{type.family, type.typeNumber};
  pk_detail::checkFamily(subFieldNumber, subRecordHash, subType);
  const Field sub = Field::find(field.subFields(), subFieldNumber, subFieldHash, subType);
  if (!sub) return 0;
  sub.expect(Kind::kInteger);
  return sub.integer();
}

bool PKMessageBase::setCompactSubint64(const RecordType& type, int typeIndex, short fieldNumber,
                                       unsigned long recordHash, unsigned int fieldHash,
                                       short subFieldNumber, unsigned long subRecordHash,
                                       unsigned int subFieldHash, long long value) {
  const TypePair owner = Access::typePair(*this);
  pk_detail::checkFamily(fieldNumber, recordHash, owner);
  if (storage_.form() == Form::kFull || typeIndex < 0) return false;
  const TypePair subType{type.family, type.typeNumber};
  pk_detail::checkFamily(subFieldNumber, subRecordHash, subType);
  const Field field = Field::find(pk_detail::fieldsOf(*this), fieldNumber, fieldHash, owner);
  const FieldHeader integer = FieldHeader::integer(subFieldNumber, subFieldHash, value);
  // The sub-record's new body, built before the record changes.
  std::string body;
  bool markedSet = false;
  if (field) {
    field.expectRecord(type);
    if (field.compact().isBoxed()) {
      field.compact().box()->record()->setint64(subFieldNumber, 0, value, subRecordHash,
                                                subFieldHash);
      return true;
    }
    markedSet = field.compact().markedSet();
    const pk_detail::Fields old = field.subFields();
    const Field sub = Field::find(old, subFieldNumber, subFieldHash, subType);
    if (sub) sub.expect(Kind::kInteger);
    body.reserve(old.compact.size() - (sub.end() - sub.begin()) + integer.bytes().size());
    body.append(old.compact.substr(0, sub.begin()))
        .append(integer.bytes())
        .append(old.compact.substr(sub.end()));
  } else {
    body.assign(integer.bytes());
  }
  const FieldHeader header = FieldHeader::record(fieldNumber, fieldHash, markedSet,
                                                 static_cast<std::uint8_t>(typeIndex), body.size());
  pk_detail::replaceCompact(storage_, field.begin(), field.end(), header.bytes(), body);
  return true;
}

bool PKMessageBase::setCompactRecord(const RecordType& type, int typeIndex,
                                     const PKMessageBase& value, short fieldNumber,
                                     unsigned long recordHash, unsigned int fieldHash) {
  const TypePair owner = Access::typePair(*this);
  pk_detail::checkFamily(fieldNumber, recordHash, owner);
  if (storage_.form() == Form::kFull || typeIndex < 0) return false;
  const pk_detail::Fields body = pk_detail::fieldsOf(value);
  if (body.block != nullptr || body.boxes) return false;
  const Field field = Field::find(pk_detail::fieldsOf(*this), fieldNumber, fieldHash, owner);
  if (field) {
    field.expectRecord(type);
    // A boxed sub-record may be reached through a pointer: it takes the value.
    if (field.compact().isBoxed()) return false;
  }
  const FieldHeader header = FieldHeader::record(
      fieldNumber, fieldHash, true, static_cast<std::uint8_t>(typeIndex), body.compact.size());
  pk_detail::replaceCompact(storage_, field.begin(), field.end(), header.bytes(), body.compact);
  return true;
}

// ---- Presence ---------------------------------------------------------------

bool PKMessageBase::isSet(short fieldNumber, unsigned long recordHash,
                          unsigned long fieldHash) const {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  return field && field.countsAsSet();
}

void PKMessageBase::markSet(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (!field) {
    throw std::logic_error(
        "markSet: " + pk_detail::fieldName(fieldNumber, Access::typePair(*this)) +
        " was never accessed");
  }
  if (!pk_detail::holdsBox(field.kind())) {
    throw std::logic_error(
        "markSet: " + pk_detail::fieldName(fieldNumber, Access::typePair(*this)) + " holds " +
        pk_detail::kindName(field.kind()));
  }
  if (field.isFull()) {
    field.entry()->markedSet = true;
    return;
  }
  // The encoding lies in this record's storage, which is not const.
  char* tag = const_cast<char*>(field.compact().start);
  *tag = static_cast<char>(*tag | pk_detail::kMarkedSetBit);
}

// ---- Sub-records and lists --------------------------------------------------

const pk_detail::Box* PKMessageBase::findBox(short fieldNumber, unsigned long recordHash,
                                             unsigned int fieldHash, const RecordType& type) const {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (!field) return nullptr;
  return &existingBox(*this, field, fieldNumber, Kind::kRecord, &type);
}

pk_detail::Box& PKMessageBase::box(short fieldNumber, unsigned long recordHash,
                                   unsigned int fieldHash, Kind kind, const RecordType* type,
                                   Box* (*make)()) {
  const Field field = lookUp(*this, fieldNumber, recordHash, fieldHash);
  if (field) return existingBox(*this, field, fieldNumber, kind, type);
  std::unique_ptr<Box> made(make());
  if (!field.isFull() && boxableInCompact(*made, kind)) {
    const FieldHeader header = FieldHeader::boxed(fieldNumber, fieldHash, false, made.get());
    pk_detail::replaceCompact(storage_, field.begin(), field.end(), header.bytes(), {});
    pk_detail::markHoldsBoxes(storage_);
    return *made.release();
  }
  // A record promoted here has room for the new entry, which cannot fail.
  if (!field.isFull()) pk_detail::promote(storage_, 1);
  Entry& entry = pk_detail::insertEntry(storage_, fieldNumber, fieldHash, kind);
  entry.payload.box = made.release();
  return *entry.payload.box;
}

void PKMessageBase::throwBoxType(short fieldNumber, const std::type_info& wanted) const {
  pk_detail::throwWrongType(fieldNumber, Access::typePair(*this), wanted.name());
}
