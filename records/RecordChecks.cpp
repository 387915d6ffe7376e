#include "RecordChecks.h"

#include <stdexcept>

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

std::string recordName(TypePair record) {
  return std::to_string(record.family) + "/" + std::to_string(record.typeNumber);
}

std::string fieldName(short fieldNumber, TypePair record) {
  return "field " + std::to_string(fieldNumber) + " of record " + recordName(record);
}

void throwFamily(short fieldNumber, unsigned long recordHash, TypePair record) {
  throw std::logic_error("field " + std::to_string(fieldNumber) + " addressed with record hash " +
                         std::to_string(recordHash) + ", which is not of family " +
                         std::to_string(record.family) + " (record " + recordName(record) + ")");
}

void throwHash(short fieldNumber, unsigned long given, std::uint32_t stored, TypePair record) {
  throw std::logic_error(fieldName(fieldNumber, record) + " addressed with field hash " +
                         std::to_string(given) + ", but it was created with " +
                         std::to_string(stored));
}

void throwKind(short fieldNumber, Kind held, Kind wanted, TypePair record) {
  throw std::logic_error(fieldName(fieldNumber, record) + " holds " + kindName(held) + ", not " +
                         kindName(wanted));
}

void throwWrongType(short fieldNumber, TypePair record, const char* wanted) {
  throw std::logic_error(fieldName(fieldNumber, record) +
                         " holds another element or sub-record type than " + wanted);
}

void throwTooLarge() { throw std::length_error("record fields exceed 4 GiB"); }

}  // namespace pk_detail
