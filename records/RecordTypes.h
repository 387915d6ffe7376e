// The process-wide table of sub-record classes, which lets a compact
// sub-record name its class in one byte.
#pragma once

#include <atomic>
#include <cstdint>

#include "PKMessageBase.h"

namespace pk_detail {

// Indexes fit the one byte of the encoding.
inline constexpr int kMaxRecordTypes = 255;

// Filled by registerRecordType; an entry once set never changes.
extern std::atomic<const RecordType*> registeredTypes[kMaxRecordTypes];

[[noreturn, gnu::noinline, gnu::cold]] void throwUnknownRecordType();

// The class entered at `index`; throws std::logic_error when there is none.
inline const RecordType& recordTypeAt(std::uint8_t index) {
  const RecordType* type =
      index < kMaxRecordTypes ? registeredTypes[index].load(std::memory_order_acquire) : nullptr;
  if (type == nullptr) [[unlikely]]
    throwUnknownRecordType();
  return *type;
}

inline bool sameType(const RecordType& a, const RecordType& b) {
  return &a == &b || *a.type == *b.type;
}

}  // namespace pk_detail
