// The compact form of a record's storage
//
// A record is its type pair and 56 bytes of storage, whose first byte tells
// one of three forms:
//
//   byte 0       4            8      9    12     16      24         28    64
//        | family | typeNumber | used | compact fields ...                 |  inline
//        | family | typeNumber | 0xFE | .. | size | data* | capacity | ..  |  out-of-line
//        | family | typeNumber | 0xFF | ....... | Block* | ............... |  full
//
// Inline, `used` (0..55) bytes of compact fields follow the form byte.
// Out-of-line, the compact fields are `size` bytes in one heap block of
// `capacity` bytes. Full, the fields are entries of a block (FullForm.h).
//
// Compact fields, in the order they were added:
//
//   field   := tag number hash payload
//   tag     := u8  bits 0-1  kind: 0 integer, 1 text, 2 sub-record,
//                            3 sub-record in a heap object (a box)
//                  bits 2-3  bytes of the hash - 1
//                  bits 4-7  integer: bytes of the value, 0..8
//                            text: its length 0..14, or 15: a length follows
//                            sub-record: bit 4 marked set; bits 5-7 the body's
//                            length 0..6, or 7: a length follows
//                            boxed sub-record: bit 4 marked set
//   number  := the field number, zigzag, as LEB128 (1-3 bytes)
//   hash    := the field hash, little-endian, in as few bytes as hold it
//   payload := integer: its low bytes, little-endian; read back sign-extended
//            | text: [length as LEB128] the bytes
//            | sub-record: class index u8, [length as LEB128], body
//            | boxed sub-record: the Box* that the record owns, 8 bytes
//   body    := the sub-record's own compact fields
//
// A BrowseData item (name, number, flags holding a flag) takes 21 bytes plus
// its name and the bytes of its number and flag, one more for a name of 15
// bytes or more and one more for a flag of 2 bytes or more: a name of 22
// bytes fits inline with any number and a flag of -32768..32767, a name of
// 25 bytes with flag 0.
// Integer and text fields exist in the compact form only once set; a
// sub-record exists once accessed and carries its own presence bit. A
// sub-record is boxed once a pointer to it was handed out; a copy takes it
// back into the encoding.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "PKMessageBase.h"
#include "RecordChecks.h"

namespace pk_detail {

inline constexpr std::uint8_t kTagInteger = 0;
inline constexpr std::uint8_t kTagText = 1;
inline constexpr std::uint8_t kTagRecord = 2;
inline constexpr std::uint8_t kTagBoxed = 3;
inline constexpr unsigned kTextLengthFollows = 15;
inline constexpr unsigned kBodyLengthFollows = 7;
inline constexpr std::uint8_t kMarkedSetBit = 0x10;
// tag 1, number 3, hash 4, then at most 8 integer bytes or 6 bytes of class
// index and length
inline constexpr std::size_t kMaxFieldHeader = 16;

// The bytes of `value` in the opposite order, for hosts that are not
// little-endian.
template <class T>
T swapped(T value) {
  T result = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    result = static_cast<T>(result << 8 | ((value >> (8 * i)) & 0xFF));
  return result;
}

template <class T>
T loadLittleEndian(const char* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  if constexpr (std::endian::native != std::endian::little) value = swapped(value);
  return value;
}

// Reads `count` (0..8) bytes with loads of fixed sizes, none past them.
inline std::uint64_t loadLittleEndian(const char* p, unsigned count) {
  using U8 = std::uint8_t;
  using U16 = std::uint16_t;
  using U32 = std::uint32_t;
  switch (count) {
    case 0:
      return 0;
    case 1:
      return loadLittleEndian<U8>(p);
    case 2:
      return loadLittleEndian<U16>(p);
    case 3:
      return loadLittleEndian<U16>(p) | std::uint64_t{loadLittleEndian<U8>(p + 2)} << 16;
    case 4:
      return loadLittleEndian<U32>(p);
    case 5:
      return loadLittleEndian<U32>(p) | std::uint64_t{loadLittleEndian<U8>(p + 4)} << 32;
    case 6:
      return loadLittleEndian<U32>(p) | std::uint64_t{loadLittleEndian<U16>(p + 4)} << 32;
    case 7:
      return loadLittleEndian<U32>(p) | std::uint64_t{loadLittleEndian<U16>(p + 4)} << 32 |
             std::uint64_t{loadLittleEndian<U8>(p + 6)} << 48;
    default:
      return loadLittleEndian<std::uint64_t>(p);
  }
}

// Reads a LEB128 number at `p`; returns where it ends.
inline const char* readLeb128(const char* p, std::uint64_t& value) {
  value = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<std::uint8_t>(*p++);
    value |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) return p;
  }
}

// One field of a compact encoding, which only FieldHeader writes: its tag and
// number decoded, the rest read on demand.
struct CompactField {
  const char* start;    // the tag
  const char* hash;     // the hash bytes
  const char* payload;  // what follows the hash
  std::uint8_t tag;
  std::int16_t number;

  static CompactField read(const char* p) {
    CompactField field;
    field.start = p;
    field.tag = static_cast<std::uint8_t>(p[0]);
    std::uint64_t zigzag = static_cast<std::uint8_t>(p[1]);
    const char* hash = p + 2;
    if (zigzag >= 0x80) [[unlikely]]
      hash = readLeb128(p + 1, zigzag);
    field.number = static_cast<std::int16_t>((zigzag >> 1) ^ (0 - (zigzag & 1)));
    field.hash = hash;
    field.payload = hash + field.hashBytes();
    return field;
  }

  Kind kind() const {
    switch (tag & 3) {
      case kTagInteger:
        return Kind::kInteger;
      case kTagText:
        return Kind::kText;
      default:
        return Kind::kRecord;
    }
  }
  unsigned small() const { return tag >> 4; }
  unsigned hashBytes() const { return ((tag >> 2) & 3) + 1; }
  std::uint32_t hashValue() const {
    return static_cast<std::uint32_t>(loadLittleEndian(hash, hashBytes()));
  }
  // Integers and texts are set whenever they exist.
  bool markedSet() const { return (tag & 2) == 0 || (tag & kMarkedSetBit) != 0; }

  bool isBoxed() const { return (tag & 3) == kTagBoxed; }
  Box* box() const {
    Box* box;
    std::memcpy(&box, payload, sizeof box);
    return box;
  }

  std::int64_t integer() const {
    const unsigned count = small();
    if (count == 0) return 0;
    const unsigned unused = 64 - 8 * count;
    return static_cast<std::int64_t>(loadLittleEndian(payload, count) << unused) >> unused;
  }

  std::uint8_t typeIndex() const { return static_cast<std::uint8_t>(payload[0]); }

  // A text, or a sub-record's body.
  std::string_view bytes() const {
    const char* start = payload;
    std::uint64_t length = small();
    if ((tag & 3) == kTagText) {
      if (length == kTextLengthFollows) start = readLeb128(start, length);
    } else {
      ++start;  // the class index
      length >>= 1;
      if (length == kBodyLengthFollows) start = readLeb128(start, length);
    }
    return {start, static_cast<std::size_t>(length)};
  }

  const char* end() const {
    if ((tag & 3) == kTagInteger) return payload + small();
    if (isBoxed()) return payload + sizeof(Box*);
    const std::string_view b = bytes();
    return b.data() + b.size();
  }
};

// The field `number` of `encoding`; its start is null when absent.
inline CompactField findCompact(std::string_view encoding, short number) {
  const char* end = encoding.data() + encoding.size();
  for (const char* p = encoding.data(); p < end;) {
    const CompactField field = CompactField::read(p);
    if (field.number == number) return field;
    p = field.end();
  }
  return CompactField{};
}

// Calls visit(field) for each field of `encoding` until it returns true;
// returns whether one did.
template <class Visit>
bool anyCompact(std::string_view encoding, Visit visit) {
  const char* end = encoding.data() + encoding.size();
  for (const char* p = encoding.data(); p < end;) {
    const CompactField field = CompactField::read(p);
    if (visit(field)) return true;
    p = field.end();
  }
  return false;
}

// The encoding of a field up to its payload bytes (a text's or a body's).
class FieldHeader {
 public:
  static FieldHeader integer(std::int16_t number, std::uint32_t hash, std::int64_t value) {
    const unsigned bytes = integerBytes(value);
    FieldHeader header(kTagInteger, bytes, number, hash);
    header.littleEndian(static_cast<std::uint64_t>(value), bytes);
    return header;
  }

  static FieldHeader text(std::int16_t number, std::uint32_t hash, std::size_t length) {
    const bool follows = length >= kTextLengthFollows;
    FieldHeader header(kTagText, follows ? kTextLengthFollows : static_cast<unsigned>(length),
                       number, hash);
    if (follows) header.leb128(length);
    return header;
  }

  static FieldHeader record(std::int16_t number, std::uint32_t hash, bool markedSet,
                            std::uint8_t typeIndex, std::size_t bodyLength) {
    const bool follows = bodyLength >= kBodyLengthFollows;
    const unsigned small =
        (follows ? kBodyLengthFollows : static_cast<unsigned>(bodyLength)) << 1 | markedSet;
    FieldHeader header(kTagRecord, small, number, hash);
    header.put(typeIndex);
    if (follows) header.leb128(bodyLength);
    return header;
  }

  static FieldHeader boxed(std::int16_t number, std::uint32_t hash, bool markedSet, Box* box) {
    FieldHeader header(kTagBoxed, markedSet, number, hash);
    std::memcpy(header.bytes_ + header.size_, &box, sizeof box);
    header.size_ += sizeof box;
    return header;
  }

  std::string_view bytes() const { return {bytes_, size_}; }

 private:
  FieldHeader(std::uint8_t tag, unsigned small, std::int16_t number, std::uint32_t hash) {
    const auto hashBytes = std::max(1u, (static_cast<unsigned>(std::bit_width(hash)) + 7) / 8);
    put(static_cast<std::uint8_t>(tag | (hashBytes - 1) << 2 | small << 4));
    const auto n = static_cast<std::uint16_t>(number);
    leb128(static_cast<std::uint16_t>((n << 1) ^ (0 - (n >> 15))));
    littleEndian(hash, hashBytes);
  }

  // The fewest bytes whose sign extension gives `value` back: its bits
  // without the leading copies of the sign bit, and one sign bit.
  static unsigned integerBytes(std::int64_t value) {
    if (value == 0) return 0;
    const auto magnitude = static_cast<std::uint64_t>(value < 0 ? ~value : value);
    return (static_cast<unsigned>(std::bit_width(magnitude)) + 8) / 8;
  }

  void put(std::uint8_t b) { bytes_[size_++] = static_cast<char>(b); }
  void leb128(std::uint64_t value) {
    while (value >= 0x80) {
      put(static_cast<std::uint8_t>(value | 0x80));
      value >>= 7;
    }
    put(static_cast<std::uint8_t>(value));
  }
  // Stores all 8 bytes, of which `count` are kept: bytes_ has room for them
  // wherever a header puts a hash or an integer.
  void littleEndian(std::uint64_t value, unsigned count) {
    if constexpr (std::endian::native != std::endian::little) value = swapped(value);
    std::memcpy(bytes_ + size_, &value, sizeof value);
    size_ += count;
  }

  char bytes_[kMaxFieldHeader];
  std::size_t size_ = 0;
};

// Where an encoding is written: the bytes of out[0, capacity) that a piece
// fits in whole, while `size` counts all of them. A sink of capacity 0
// measures an encoding; one as large as that writes it.
struct CompactSink {
  char* out;
  std::uint64_t capacity;
  std::uint64_t size = 0;

  void put(std::string_view bytes) {
    if (size + bytes.size() <= capacity && !bytes.empty()) {
      std::memcpy(out + size, bytes.data(), bytes.size());
    }
    size += bytes.size();
  }

  // A header, copied whole (a fixed-size copy) when there is room for it.
  void put(const FieldHeader& header) {
    const std::string_view bytes = header.bytes();
    if (size + kMaxFieldHeader <= capacity) {
      std::memcpy(out + size, bytes.data(), kMaxFieldHeader);
      size += bytes.size();
      return;
    }
    put(bytes);
  }
};

// ---- The encoding in a record's storage ------------------------------------

// The compact fields of inline or out-of-line storage.
inline std::string_view compactBytes(const Storage& s) {
  if (s.form() == Storage::Form::kInline) return {s.inlined.bytes, s.inlineSize()};
  return {s.outOfLine.data, s.outOfLine.size};
}

// Marks compact storage as referring to boxed sub-records.
inline void markHoldsBoxes(Storage& s) {
  if (s.form() == Storage::Form::kInline) {
    s.inlined.used |= Storage::kBoxesBit;
  } else {
    s.outOfLine.form = Storage::kOutOfLineWithBoxes;
  }
}

// Puts `encoding`, which holds no boxed sub-record, into empty storage: inline when it fits, else
// into one block of its exact size.
void setCompact(Storage& s, std::string_view encoding);

// replaceCompact when the new encoding, of `size` bytes, does not fit.
void replaceCompactInNewBlock(Storage& s, std::size_t begin, std::size_t end,
                              std::string_view header, std::string_view payload,
                              std::uint32_t size);

// Replaces the bytes [begin, end) of the compact fields of `s` with `header`
// and `payload`, in place when they fit, else in a new, larger block; with
// begin = end = the encoding's size, appends a field. Leaves `s` as it was
// when the allocation fails. Inline: every write of an integer or text of a
// compact record comes here.
inline void replaceCompact(Storage& s, std::size_t begin, std::size_t end, std::string_view header,
                           std::string_view payload) {
  const std::string_view old = compactBytes(s);
  const bool isInline = s.form() == Storage::Form::kInline;
  const std::uint32_t size =
      checkedCount(std::uint64_t{old.size()} - (end - begin) + header.size() + payload.size());
  const std::uint32_t capacity =
      isInline ? std::uint32_t{Storage::kInlineCapacity} : s.outOfLine.capacity;
  if (size > capacity) return replaceCompactInNewBlock(s, begin, end, header, payload, size);
  char* data = isInline ? s.inlined.bytes : s.outOfLine.data;
  std::memmove(data + begin + header.size() + payload.size(), data + end, old.size() - end);
  std::memcpy(data + begin, header.data(), header.size());
  if (!payload.empty()) std::memcpy(data + begin + header.size(), payload.data(), payload.size());
  if (isInline) {
    s.inlined.used = static_cast<std::uint8_t>(size | (s.inlined.used & Storage::kBoxesBit));
  } else {
    s.outOfLine.size = size;
  }
}

}  // namespace pk_detail
