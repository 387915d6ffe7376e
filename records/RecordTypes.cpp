#include "RecordTypes.h"

#include <stdexcept>

namespace pk_detail {

std::atomic<const RecordType*> registeredTypes[kMaxRecordTypes];

namespace {
std::atomic<int> registeredCount{0};
}  // namespace

int registerRecordType(const RecordType& type) noexcept {
  const int index = registeredCount.fetch_add(1, std::memory_order_relaxed);
  if (index >= kMaxRecordTypes) return -1;
  registeredTypes[index].store(&type, std::memory_order_release);
  return index;
}

void throwUnknownRecordType() {
  throw std::logic_error("compact record names an unknown sub-record class");
}

}  // namespace pk_detail
