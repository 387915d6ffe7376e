// The checks that every field access makes, and the errors they raise.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

#include "PKMessageBase.h"

namespace pk_detail {

// The type pair of the record that a field belongs to, named in errors.
struct TypePair {
  int family;
  int typeNumber;
};

// Every record hash holds the family of its record in its top 8 bits (of 32).
inline constexpr int kRecordHashFamilyShift = 24;

std::string recordName(TypePair record);
std::string fieldName(short fieldNumber, TypePair record);

// The checks run on every access; their messages are built out of line.
[[noreturn, gnu::noinline, gnu::cold]] void throwFamily(short fieldNumber, unsigned long recordHash,
                                                        TypePair record);
[[noreturn, gnu::noinline, gnu::cold]] void throwHash(short fieldNumber, unsigned long given,
                                                      std::uint32_t stored, TypePair record);
[[noreturn, gnu::noinline, gnu::cold]] void throwKind(short fieldNumber, Kind held, Kind wanted,
                                                      TypePair record);
[[noreturn]] void throwWrongType(short fieldNumber, TypePair record, const char* wanted);

inline void checkFamily(short fieldNumber, unsigned long recordHash, TypePair record) {
  if ((recordHash >> kRecordHashFamilyShift) != static_cast<unsigned long>(record.family))
      [[unlikely]] {
    throwFamily(fieldNumber, recordHash, record);
  }
}

inline void checkHash(short fieldNumber, unsigned long given, std::uint32_t stored,
                      TypePair record) {
  if (given != stored) [[unlikely]]
    throwHash(fieldNumber, given, stored, record);
}

inline void checkKind(short fieldNumber, Kind held, Kind wanted, TypePair record) {
  if (held != wanted) [[unlikely]]
    throwKind(fieldNumber, held, wanted, record);
}

// Sizes and counts of the storage are 32-bit.
inline constexpr std::uint64_t kMaxBlockCount = std::numeric_limits<std::uint32_t>::max();

[[noreturn, gnu::noinline, gnu::cold]] void throwTooLarge();

// `count` as a 32-bit count; throws std::length_error when it does not fit.
inline std::uint32_t checkedCount(std::uint64_t count) {
  if (count > kMaxBlockCount) [[unlikely]]
    throwTooLarge();
  return static_cast<std::uint32_t>(count);
}

}  // namespace pk_detail
