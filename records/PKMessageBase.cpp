#include "PKMessageBase.h"

#include <algorithm>
#include <string>
#include <utility>

namespace pk_detail {

const char* kindName(Kind kind) {
  switch (kind) {
    case Kind::kInteger:
      return "an integer";
    case Kind::kText:
      return "a text";
    case Kind::kRecord:
      return "a sub-record";
    case Kind::kRecordList:
      return "a list of records";
    case Kind::kValueList:
      return "a list of 4-byte values";
  }
  return "an unknown kind";
}

}  // namespace pk_detail

namespace {

using pk_detail::BoxPtr;
using pk_detail::Field;

// Every record hash holds the family of its record in its top 8 bits (of 32).
constexpr int kRecordHashFamilyShift = 24;

bool fieldCountsAsSet(const Field& field) {
  if (field.markedSet) return true;
  if (const auto* box = std::get_if<BoxPtr>(&field.value)) return box->get().hasContent();
  return false;
}

std::string recordName(int family, int typeNumber) {
  return std::to_string(family) + "/" + std::to_string(typeNumber);
}

}  // namespace

PKMessageBase::PKMessageBase(int family, int typeNumber)
    : family_(family), typeNumber_(typeNumber) {}

PKMessageBase& PKMessageBase::operator=(const PKMessageBase& other) {
  if (this != &other) *this = PKMessageBase(other);
  return *this;
}

PKMessageBase& PKMessageBase::operator=(PKMessageBase&& other) {
  if (family_ != other.family_ || typeNumber_ != other.typeNumber_) {
    throw std::logic_error("cannot assign a record of type " +
                           recordName(other.family_, other.typeNumber_) + " to one of type " +
                           recordName(family_, typeNumber_));
  }
  fields_ = std::move(other.fields_);
  return *this;
}

bool PKMessageBase::operator==(const PKMessageBase& other) const {
  if (family_ != other.family_ || typeNumber_ != other.typeNumber_) return false;
  // Fields that were only read (present but unset and empty) do not count.
  if (std::count_if(fields_.begin(), fields_.end(), fieldCountsAsSet) !=
      std::count_if(other.fields_.begin(), other.fields_.end(), fieldCountsAsSet)) {
    return false;
  }
  for (const Field& field : fields_) {
    if (!fieldCountsAsSet(field)) continue;
    auto match = std::find_if(other.fields_.begin(), other.fields_.end(),
                              [&](const Field& f) { return f.number == field.number; });
    if (match == other.fields_.end() || !fieldCountsAsSet(*match) ||
        match->kind != field.kind || !(field.value == match->value)) {
      return false;
    }
  }
  return true;
}

bool PKMessageBase::hasAnyFieldSet() const {
  return std::any_of(fields_.begin(), fields_.end(), fieldCountsAsSet);
}

std::string PKMessageBase::getstring(short fieldNumber, short, unsigned long recordHash,
                                     unsigned int fieldHash) {
  const Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kText);
  return field ? std::get<std::string>(field->value) : std::string();
}

void PKMessageBase::setstring(short fieldNumber, short, std::string const& value,
                              unsigned long recordHash, unsigned int fieldHash) {
  Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kText);
  if (field == nullptr) {
    field = &insert(fieldNumber, fieldHash, Kind::kText, value);
  } else {
    std::get<std::string>(field->value) = value;
  }
  field->markedSet = true;
}

long long PKMessageBase::getint64(short fieldNumber, unsigned long recordHash,
                                  unsigned int fieldHash) const {
  const Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kInteger);
  return field ? std::get<std::int64_t>(field->value) : 0;
}

void PKMessageBase::setint64(short fieldNumber, short, long long value, unsigned long recordHash,
                             unsigned int fieldHash) {
  Field* field = find(fieldNumber, recordHash, fieldHash, Kind::kInteger);
  if (field == nullptr) {
    field = &insert(fieldNumber, fieldHash, Kind::kInteger, std::int64_t{value});
  } else {
    std::get<std::int64_t>(field->value) = value;
  }
  field->markedSet = true;
}

bool PKMessageBase::isSet(short fieldNumber, unsigned long recordHash,
                          unsigned long fieldHash) const {
  const Field* field = findAnyKind(fieldNumber, recordHash, fieldHash);
  return field != nullptr && fieldCountsAsSet(*field);
}

void PKMessageBase::markSet(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) {
  auto* field = const_cast<Field*>(findAnyKind(fieldNumber, recordHash, fieldHash));
  if (field == nullptr) {
    throw std::logic_error("markSet: field " + std::to_string(fieldNumber) + " of record " +
                           recordName(family_, typeNumber_) + " was never accessed");
  }
  if (!std::holds_alternative<BoxPtr>(field->value)) {
    throw std::logic_error("markSet: field " + std::to_string(fieldNumber) + " of record " +
                           recordName(family_, typeNumber_) + " holds " +
                           pk_detail::kindName(field->kind));
  }
  field->markedSet = true;
}

void PKMessageBase::checkRecordHash(unsigned long recordHash, short fieldNumber) const {
  if ((recordHash >> kRecordHashFamilyShift) != static_cast<unsigned long>(family_)) {
    throw std::logic_error("field " + std::to_string(fieldNumber) + " addressed with record hash " +
                           std::to_string(recordHash) + ", which is not of family " +
                           std::to_string(family_) + " (record " +
                           recordName(family_, typeNumber_) + ")");
  }
}

const PKMessageBase::Field* PKMessageBase::findAnyKind(short fieldNumber,
                                                       unsigned long recordHash,
                                                       unsigned long fieldHash) const {
  checkRecordHash(recordHash, fieldNumber);
  for (const Field& field : fields_) {
    if (field.number != fieldNumber) continue;
    if (field.hash != fieldHash) {
      throw std::logic_error("field " + std::to_string(fieldNumber) + " of record " +
                             recordName(family_, typeNumber_) + " addressed with field hash " +
                             std::to_string(fieldHash) + ", but it was created with " +
                             std::to_string(field.hash));
    }
    return &field;
  }
  return nullptr;
}

const PKMessageBase::Field* PKMessageBase::find(short fieldNumber, unsigned long recordHash,
                                                unsigned long fieldHash, Kind kind) const {
  const Field* field = findAnyKind(fieldNumber, recordHash, fieldHash);
  if (field != nullptr && field->kind != kind) {
    throw std::logic_error("field " + std::to_string(fieldNumber) + " of record " +
                           recordName(family_, typeNumber_) + " holds " +
                           pk_detail::kindName(field->kind) + ", not " +
                           pk_detail::kindName(kind));
  }
  return field;
}

PKMessageBase::Field* PKMessageBase::find(short fieldNumber, unsigned long recordHash,
                                          unsigned long fieldHash, Kind kind) {
  return const_cast<Field*>(std::as_const(*this).find(fieldNumber, recordHash, fieldHash, kind));
}

PKMessageBase::Field& PKMessageBase::insert(short fieldNumber, unsigned int fieldHash, Kind kind,
                                            std::variant<std::int64_t, std::string, BoxPtr> value) {
  fields_.push_back(Field{fieldNumber, kind, false, fieldHash, std::move(value)});
  return fields_.back();
}

void PKMessageBase::throwBoxType(short fieldNumber, const std::type_info& wanted) const {
  throw std::logic_error("field " + std::to_string(fieldNumber) + " of record " +
                         recordName(family_, typeNumber_) +
                         " holds another element or sub-record type than " + wanted.name());
}
