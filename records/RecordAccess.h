// The storage code's way into the private parts of a record.
#pragma once

#include "PKMessageBase.h"
#include "RecordChecks.h"

namespace pk_detail {

struct Access {
  // Mutable in every record: findObject may change how a const record is
  // stored, never its value.
  static Storage& storage(const PKMessageBase& record) { return record.storage_; }
  static TypePair typePair(const PKMessageBase& record) {
    return {record.family_, record.typeNumber_};
  }
};

}  // namespace pk_detail
