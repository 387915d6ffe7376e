// How the key sorter encodes a key, and how it reads encoded bytes back.
//
// Every key is encoded once, field by field as it is added, into bytes whose
// memcmp order (then length: a shorter prefix first) is the key order:
//
//   u16 field   2 bytes, big-endian                    0x1234 -> 12 34
//   u64 field   8 bytes, big-endian                    5      -> 00 .. 00 05
//   text field  bytes with A-Z folded to a-z,          "Ab"   -> 61 62 00 00
//               each 00 escaped as 00 FF,              "a\0"  -> 61 00 FF 00 00
//               terminated by 00 00                    ""     -> 00 00
//
// The terminator 00 00 sorts below any text byte (01..FF) and below an escaped
// NUL (00 FF), so a text sorts before every longer text it is a prefix of, and
// the bytes after it (the next field) only decide between equal texts. Numeric
// fields have a fixed width, so the fields of one key line up with the same
// fields of the other keys.
//
// A stored key is split in two. Its first 8 bytes go into its 12-byte Key in
// the key array, the only array that the sort moves; the rest goes into its
// record, which never moves:
//
//   Key:     | prefix: bytes 0-7 (big-endian, zero-padded) | record offset (u32) |
//   record:  | value (valueSize bytes) | key length (LEB128) | key bytes 8.. |
//
// Records lie back to back in insertion order in 1 MiB slots of the record
// arena, so the record offset also breaks ties between equal keys. Nothing is
// stored twice: for the common keys of a browse (a name of about 11 bytes and
// a number) a key costs 12 + 4 + 1 + 13 bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace I2::detail {

// Bytes of a key held in Key's prefix.
constexpr std::uint64_t kPrefixBytes = 8;

// One stored key as the sorter orders it: 8 bytes of its encoded form, and the
// offset of its record, which holds the value, the key's length and the rest
// of its bytes. Records lie in insertion order, so the offset also breaks
// ties between equal keys.
struct Key {
  // 8 encoded bytes as a big-endian number, held as bytes so that a Key takes
  // 12 bytes; zero-padded past the key's end. Taken from the start of the key
  // when it is stored; a sort may reload it from further on.
  unsigned char prefixBytes[kPrefixBytes] = {};
  std::uint32_t record = 0;

  std::uint64_t prefix() const {
    std::uint64_t value;
    std::memcpy(&value, prefixBytes, sizeof value);
    return value;
  }
  void setPrefix(std::uint64_t value) { std::memcpy(prefixBytes, &value, sizeof value); }
};
static_assert(sizeof(Key) == 12);

// The order of keys whose prefixes differ, and of equal keys: prefix, then
// record offset (insertion order).
inline bool PrefixThenRecordLess(const Key& a, const Key& b) {
  return a.prefix() != b.prefix() ? a.prefix() < b.prefix() : a.record < b.record;
}

// The native number of 8 bytes held big-endian, and back: one byte swap on a
// little-endian machine, its own inverse.
inline std::uint64_t FromBigEndian(std::uint64_t raw) {
  if constexpr (std::endian::native == std::endian::big) {
    return raw;
  } else {
    return __builtin_bswap64(raw);
  }
}
inline std::uint64_t ToBigEndian(std::uint64_t value) { return FromBigEndian(value); }

// The 8 bytes at `bytes` as a big-endian number, with every byte from
// `count` on (when count < 8) cleared. Always reads 8 bytes, which the zero
// tail of the current key and the padding of every record block keep inside
// the buffer.
inline std::uint64_t LoadMasked(const unsigned char* bytes, std::uint64_t count) {
  std::uint64_t raw;
  std::memcpy(&raw, bytes, kPrefixBytes);
  std::uint64_t const value = FromBigEndian(raw);
  return count >= kPrefixBytes ? value : value & ~(~std::uint64_t{0} >> (8 * count));
}

// The key length in a record, as LEB128: 7 bits a byte, low bits first.
inline std::size_t VarintSize(std::uint64_t value) {
  std::size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

inline unsigned char* PutVarint(unsigned char* out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) *out++ = static_cast<unsigned char>(value | 0x80);
  *out++ = static_cast<unsigned char>(value);
  return out;
}

inline const unsigned char* GetVarint(const unsigned char* in, std::uint64_t& value) {
  if (*in < 0x80) {
    value = *in;
    return in + 1;
  }
  value = 0;
  for (unsigned shift = 0;; shift += 7) {
    value |= std::uint64_t{*in & 0x7Fu} << shift;
    if (*in++ < 0x80) return in;
  }
}

// Copies `count` bytes in whole 8-byte words: reads and writes up to 7 bytes
// past them, which the zero tail of the current key and the padding or free
// room of a record block allow.
inline void CopyWords(unsigned char* out, const unsigned char* in, std::size_t count) {
  for (std::size_t i = 0; i < count; i += 8) std::memcpy(out + i, in + i, 8);
}

// Most bytes that EncodeText writes for a text of `length` bytes.
constexpr std::size_t EncodedTextBound(std::size_t length) { return 2 * length + 2; }

// Encodes the text [in, in + length) at `out` (room for
// EncodedTextBound(length) bytes) and returns the number of bytes written.
std::size_t EncodeText(const unsigned char* in, std::size_t length, unsigned char* out);

// Writes a u16 and a u64 field.
inline void EncodeU16(unsigned short value, unsigned char* out) {
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}
inline void EncodeU64(std::uint64_t value, unsigned char* out) {
  std::uint64_t const bigEndian = ToBigEndian(value);
  std::memcpy(out, &bigEndian, sizeof bigEndian);
}

}  // namespace I2::detail
