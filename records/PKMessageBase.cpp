// Field storage
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
// `capacity` bytes. Full, the fields are entries of a block (below).
//
// Compact fields, in the order they were added:
//
//   field   := tag number hash payload
//   tag     := u8  bits 0-1  kind: 0 integer, 1 text, 2 sub-record
//                  bits 2-3  bytes of the hash - 1
//                  bits 4-7  integer: bytes of the value, 0..8
//                            text: its length 0..14, or 15: a length follows
//                            sub-record: bit 4 marked set; bits 5-7 the body's
//                            length 0..6, or 7: a length follows
//   number  := the field number, zigzag, as LEB128 (1-3 bytes)
//   hash    := the field hash, little-endian, in as few bytes as hold it
//   payload := integer: its low bytes, little-endian; read back sign-extended
//            | text: [length as LEB128] the bytes
//            | sub-record: class index u8, [length as LEB128], body
//   body    := the sub-record's own compact fields
//
// A BrowseData item (name, number, flags holding a flag) takes 21 bytes plus
// its name and the bytes of its number and flag, one more for a name of 15
// bytes or more and one more for a flag of 2 bytes or more: a name of 22
// bytes fits inline with any number and a flag of -32768..32767, a name of
// 25 bytes with flag 0.
// Integer and text fields exist in the compact form only once set; a
// sub-record exists once accessed and carries its own presence bit.
//
// The full form: the fields as fixed-size entries in one allocation,
// sub-records and lists in boxes of their own.
//
//   | Block header | Entry 0 | Entry 1 | ... | Entry capacity-1 | text bytes ... |
//     count, capacity, textUsed, textCapacity
//
//   Entry (16 bytes): number (i16) | kind (u8) | markedSet (u8) | field hash (u32)
//                     payload (8): integer value
//                                | text: offset (u32) and length (u32) into the text bytes
//                                | owned Box* of a sub-record or list
//
// A text that grows is appended to the text bytes; the bytes that it left
// behind are dropped when the block is next repacked (copy or growth), which
// also packs every text and sizes the copy exactly.
//
// Every change builds what it needs (a longer buffer, a grown block, the
// boxes of the full form) before it touches the record, so a failed
// allocation leaves the record as it was.

#include "PKMessageBase.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <utility>

namespace pk_detail {

struct TextRef {
  std::uint32_t offset;
  std::uint32_t length;
};

struct Entry {
  std::int16_t number;
  Kind kind;
  bool markedSet;
  std::uint32_t hash;
  union {
    std::int64_t integer;
    TextRef text;
    Box* box;
  } payload;
};
static_assert(sizeof(Entry) == 16);

struct Block {
  std::uint32_t count;
  std::uint32_t capacity;
  std::uint32_t textUsed;
  std::uint32_t textCapacity;

  Entry* entries() { return reinterpret_cast<Entry*>(this + 1); }
  const Entry* entries() const { return reinterpret_cast<const Entry*>(this + 1); }
  char* text() { return reinterpret_cast<char*>(entries() + capacity); }
  const char* text() const { return reinterpret_cast<const char*>(entries() + capacity); }
};
static_assert(sizeof(Block) % alignof(Entry) == 0);

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

namespace {

constexpr int kMaxRecordTypes = 255;  // indexes fit the one byte of the encoding
std::atomic<const RecordType*> registeredTypes[kMaxRecordTypes];
std::atomic<int> registeredCount{0};

}  // namespace

int registerRecordType(const RecordType& type) noexcept {
  const int index = registeredCount.fetch_add(1, std::memory_order_relaxed);
  if (index >= kMaxRecordTypes) return -1;
  registeredTypes[index].store(&type, std::memory_order_release);
  return index;
}

}  // namespace pk_detail

namespace {

using pk_detail::Block;
using pk_detail::Box;
using pk_detail::Entry;
using pk_detail::Kind;
using pk_detail::RecordType;
using pk_detail::Storage;

// Every record hash holds the family of its record in its top 8 bits (of 32).
constexpr int kRecordHashFamilyShift = 24;

// Room for the first fields of a full record; most records have at most three.
constexpr std::uint32_t kFirstCapacity = 3;

constexpr std::uint64_t kMaxBlockCount = std::numeric_limits<std::uint32_t>::max();

// ---- Errors -----------------------------------------------------------------

std::string recordName(int family, int typeNumber) {
  return std::to_string(family) + "/" + std::to_string(typeNumber);
}

std::string fieldName(short fieldNumber, int family, int typeNumber) {
  return "field " + std::to_string(fieldNumber) + " of record " + recordName(family, typeNumber);
}

// The checks run on every access; their messages are built out of line.
[[noreturn, gnu::noinline, gnu::cold]] void throwFamily(short fieldNumber, unsigned long recordHash,
                                                        int family, int typeNumber) {
  throw std::logic_error("field " + std::to_string(fieldNumber) + " addressed with record hash " +
                         std::to_string(recordHash) + ", which is not of family " +
                         std::to_string(family) + " (record " + recordName(family, typeNumber) +
                         ")");
}

[[noreturn, gnu::noinline, gnu::cold]] void throwHash(short fieldNumber, unsigned long given,
                                                      std::uint32_t stored, int family,
                                                      int typeNumber) {
  throw std::logic_error(fieldName(fieldNumber, family, typeNumber) +
                         " addressed with field hash " + std::to_string(given) +
                         ", but it was created with " + std::to_string(stored));
}

[[noreturn, gnu::noinline, gnu::cold]] void throwKind(short fieldNumber, Kind held, Kind wanted,
                                                      int family, int typeNumber) {
  throw std::logic_error(fieldName(fieldNumber, family, typeNumber) + " holds " +
                         pk_detail::kindName(held) + ", not " + pk_detail::kindName(wanted));
}

inline void checkFamily(short fieldNumber, unsigned long recordHash, int family, int typeNumber) {
  if ((recordHash >> kRecordHashFamilyShift) != static_cast<unsigned long>(family)) [[unlikely]] {
    throwFamily(fieldNumber, recordHash, family, typeNumber);
  }
}

inline void checkHash(short fieldNumber, unsigned long given, std::uint32_t stored, int family,
                      int typeNumber) {
  if (given != stored) [[unlikely]]
    throwHash(fieldNumber, given, stored, family, typeNumber);
}

inline void checkKind(short fieldNumber, Kind held, Kind wanted, int family, int typeNumber) {
  if (held != wanted) [[unlikely]]
    throwKind(fieldNumber, held, wanted, family, typeNumber);
}

[[noreturn]] void throwWrongType(short fieldNumber, int family, int typeNumber,
                                 const char* wanted) {
  throw std::logic_error(fieldName(fieldNumber, family, typeNumber) +
                         " holds another element or sub-record type than " + wanted);
}

std::uint32_t checkedCount(std::uint64_t count) {
  if (count > kMaxBlockCount) throw std::length_error("record fields exceed 4 GiB");
  return static_cast<std::uint32_t>(count);
}

bool sameType(const RecordType& a, const RecordType& b) { return &a == &b || *a.type == *b.type; }

const RecordType& recordTypeAt(std::uint8_t index) {
  const RecordType* type = index < pk_detail::kMaxRecordTypes
                               ? pk_detail::registeredTypes[index].load(std::memory_order_acquire)
                               : nullptr;
  if (type == nullptr) throw std::logic_error("compact record names an unknown sub-record class");
  return *type;
}

// ---- Compact encoding -------------------------------------------------------

constexpr std::uint8_t kTagInteger = 0;
constexpr std::uint8_t kTagText = 1;
constexpr std::uint8_t kTagRecord = 2;
constexpr unsigned kTextLengthFollows = 15;
constexpr unsigned kBodyLengthFollows = 7;
constexpr std::uint8_t kMarkedSetBit = 0x10;
constexpr std::size_t kMaxFieldHeader = 16;

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
std::uint64_t loadLittleEndian(const char* p, unsigned count) {
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
const char* readLeb128(const char* p, std::uint64_t& value) {
  value = 0;
  for (int shift = 0;; shift += 7) {
    const auto b = static_cast<std::uint8_t>(*p++);
    value |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) return p;
  }
}

// One field of a compact encoding, which this file alone writes: its tag and
// number decoded, the rest read on demand.
struct CompactRef {
  const char* start;    // the tag
  const char* hash;     // the hash bytes
  const char* payload;  // what follows the hash
  std::uint8_t tag;
  std::int16_t number;

  static CompactRef read(const char* p) {
    CompactRef ref;
    ref.start = p;
    ref.tag = static_cast<std::uint8_t>(p[0]);
    std::uint64_t zigzag = static_cast<std::uint8_t>(p[1]);
    const char* hash = p + 2;
    if (zigzag >= 0x80) [[unlikely]]
      hash = readLeb128(p + 1, zigzag);
    ref.number = static_cast<std::int16_t>((zigzag >> 1) ^ (0 - (zigzag & 1)));
    ref.hash = hash;
    ref.payload = hash + ref.hashBytes();
    return ref;
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
  bool markedSet() const { return (tag & 3) != kTagRecord || (tag & kMarkedSetBit) != 0; }

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
    const std::string_view b = bytes();
    return b.data() + b.size();
  }
};

// The compact field `fieldNumber` of `encoding` into `found`, its hash
// checked; false when absent.
inline bool findCompact(std::string_view encoding, short fieldNumber, unsigned long fieldHash,
                        int family, int typeNumber, CompactRef& found) {
  const char* end = encoding.data() + encoding.size();
  for (const char* p = encoding.data(); p < end;) {
    const CompactRef ref = CompactRef::read(p);
    if (ref.number == fieldNumber) {
      checkHash(fieldNumber, fieldHash, ref.hashValue(), family, typeNumber);
      found = ref;
      return true;
    }
    p = ref.end();
  }
  return false;
}

// Calls visit(field) for each field of `encoding` until it returns true;
// returns whether one did.
template <class Visit>
bool anyCompact(std::string_view encoding, Visit visit) {
  const char* end = encoding.data() + encoding.size();
  for (const char* p = encoding.data(); p < end;) {
    const CompactRef ref = CompactRef::read(p);
    if (visit(ref)) return true;
    p = ref.end();
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

  // tag 1, number 3, hash 4, then at most 8 integer bytes or 6 bytes of
  // class index and length
  char bytes_[kMaxFieldHeader];
  std::size_t size_ = 0;
};

// ---- Full-form blocks -------------------------------------------------------

bool holdsBox(Kind kind) { return kind != Kind::kInteger && kind != Kind::kText; }

Block* allocateBlock(std::uint32_t capacity, std::uint32_t textCapacity) {
  void* memory = ::operator new(sizeof(Block) + capacity * sizeof(Entry) + textCapacity);
  return new (memory) Block{0, capacity, 0, textCapacity};
}

void freeBlock(Block* block) { ::operator delete(block); }

// Deletes the boxes of the first `count` entries of `block`.
void deleteBoxes(Block& block, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    const Entry& entry = block.entries()[i];
    if (holdsBox(entry.kind)) delete entry.payload.box;
  }
}

std::uint64_t liveTextBytes(const Block& block) {
  std::uint64_t bytes = 0;
  for (std::uint32_t i = 0; i < block.count; ++i) {
    if (block.entries()[i].kind == Kind::kText) bytes += block.entries()[i].payload.text.length;
  }
  return bytes;
}

constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();

std::uint32_t grownCapacity(const Block& block) {
  return std::max(checkedCount(std::uint64_t{block.capacity} * 2), kFirstCapacity);
}

// A new block holding the entries of `from`, with room for `capacity` entries
// and `textCapacity` text bytes, its texts packed; the text of entry
// `emptied` is left out (it reads empty). With `cloneBoxes` every box is
// copied; otherwise the new block takes the box pointers over and `from` must
// be freed without deleting them. `from` is left untouched.
Block* repack(const Block& from, std::uint32_t capacity, std::uint32_t textCapacity,
              bool cloneBoxes, std::uint32_t emptied = kNoEntry) {
  Block* to = allocateBlock(capacity, textCapacity);
  try {
    for (std::uint32_t i = 0; i < from.count; ++i) {
      Entry entry = from.entries()[i];
      if (entry.kind == Kind::kText) {
        if (i == emptied) entry.payload.text.length = 0;
        std::memcpy(to->text() + to->textUsed, from.text() + entry.payload.text.offset,
                    entry.payload.text.length);
        entry.payload.text.offset = to->textUsed;
        to->textUsed += entry.payload.text.length;
      } else if (holdsBox(entry.kind) && cloneBoxes) {
        entry.payload.box = entry.payload.box->clone();
      }
      to->entries()[to->count++] = entry;
    }
  } catch (...) {
    if (cloneBoxes) deleteBoxes(*to, to->count);
    freeBlock(to);
    throw;
  }
  return to;
}

// ---- Fields of either form --------------------------------------------------

// The fields of a record or of a compact sub-record: a block, or a compact
// encoding.
struct Fields {
  const Block* block = nullptr;  // the full form when not null
  std::string_view compact;
};

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

}  // namespace

namespace pk_detail {

// The storage code that needs the private parts of a record.
struct Access {
  static Storage& storage(const PKMessageBase& record) { return record.storage_; }

  static bool isCompact(const Storage& s) { return s.inlined.used != Storage::kFull; }
  static bool isInline(const Storage& s) { return s.inlined.used <= Storage::kInlineCapacity; }

  static std::string_view compact(const Storage& s) {
    if (isInline(s)) return {s.inlined.bytes, s.inlined.used};
    return {s.outOfLine.data, s.outOfLine.size};
  }

  static Fields fields(const PKMessageBase& record) {
    const Storage& s = storage(record);
    if (isCompact(s)) return Fields{nullptr, compact(s)};
    return Fields{s.full.block, {}};
  }

  // Frees what the storage owns and leaves it empty inline.
  static void release(Storage& s) noexcept {
    if (s.inlined.used == Storage::kOutOfLine) {
      ::operator delete(s.outOfLine.data);
    } else if (s.inlined.used == Storage::kFull) {
      deleteBoxes(*s.full.block, s.full.block->count);
      freeBlock(s.full.block);
    }
    s = Storage{};
  }

  // Puts `encoding` into empty storage: inline when it fits, else into one
  // block of its exact size.
  static void setCompact(Storage& s, std::string_view encoding) {
    if (encoding.size() <= Storage::kInlineCapacity) {
      s.inlined.used = static_cast<std::uint8_t>(encoding.size());
      if (!encoding.empty()) std::memcpy(s.inlined.bytes, encoding.data(), encoding.size());
      return;
    }
    const std::uint32_t size = checkedCount(encoding.size());
    char* data = static_cast<char*>(::operator new(size));
    std::memcpy(data, encoding.data(), size);
    s.outOfLine = Storage::OutOfLine{Storage::kOutOfLine, size, data, size};
  }

  // Replaces the bytes [begin, end) of the compact encoding with `header`
  // and `payload`, in place when they fit, else in a new, larger block.
  static void replaceCompact(Storage& s, std::size_t begin, std::size_t end,
                             std::string_view header, std::string_view payload) {
    const std::string_view old = compact(s);
    const std::uint32_t size =
        checkedCount(std::uint64_t{old.size()} - (end - begin) + header.size() + payload.size());
    const std::uint32_t capacity =
        isInline(s) ? std::uint32_t{Storage::kInlineCapacity} : s.outOfLine.capacity;
    const std::size_t tail = old.size() - end;
    if (size <= capacity) {
      char* data = isInline(s) ? s.inlined.bytes : s.outOfLine.data;
      std::memmove(data + begin + header.size() + payload.size(), data + end, tail);
      std::memcpy(data + begin, header.data(), header.size());
      if (!payload.empty())
        std::memcpy(data + begin + header.size(), payload.data(), payload.size());
      if (isInline(s)) {
        s.inlined.used = static_cast<std::uint8_t>(size);
      } else {
        s.outOfLine.size = size;
      }
      return;
    }
    // Room for as much again, so that a record built field by field copies
    // its bytes a logarithmic number of times.
    const auto grown = static_cast<std::uint32_t>(std::min<std::uint64_t>(
        std::max<std::uint64_t>(size, 2 * std::uint64_t{capacity}), kMaxBlockCount));
    char* data = static_cast<char*>(::operator new(grown));
    std::memcpy(data, old.data(), begin);
    std::memcpy(data + begin, header.data(), header.size());
    if (!payload.empty()) std::memcpy(data + begin + header.size(), payload.data(), payload.size());
    std::memcpy(data + begin + header.size() + payload.size(), old.data() + end, tail);
    if (!isInline(s)) ::operator delete(s.outOfLine.data);
    s.outOfLine = Storage::OutOfLine{Storage::kOutOfLine, size, data, grown};
  }

  // The full-form entry `fieldNumber`, checking its hash; null when absent.
  static const Entry* findEntry(const Block& block, short fieldNumber, unsigned long fieldHash,
                                int family, int typeNumber) {
    const Entry* end = block.entries() + block.count;
    for (const Entry* entry = block.entries(); entry != end; ++entry) {
      if (entry->number != fieldNumber) continue;
      checkHash(fieldNumber, fieldHash, entry->hash, family, typeNumber);
      return entry;
    }
    return nullptr;
  }

  static Entry* findEntry(Block& block, short fieldNumber, unsigned long fieldHash, int family,
                          int typeNumber) {
    return const_cast<Entry*>(
        findEntry(std::as_const(block), fieldNumber, fieldHash, family, typeNumber));
  }

  // Moves compact storage to the full form, with room for `spare` more
  // entries. Builds the block and every box first; frees the compact bytes
  // only once nothing can fail.
  static void promote(Storage& s, std::uint32_t spare) {
    const std::string_view encoding = compact(s);
    std::uint32_t count = 0;
    std::uint64_t textBytes = 0;
    anyCompact(encoding, [&](const CompactRef& field) {
      ++count;
      if (field.kind() == Kind::kText) textBytes += field.bytes().size();
      return false;
    });
    Block* block = allocateBlock(std::max(count + spare, kFirstCapacity), checkedCount(textBytes));
    try {
      anyCompact(encoding, [&](const CompactRef& field) {
        Entry entry{field.number, field.kind(), field.markedSet(), field.hashValue(), {0}};
        switch (entry.kind) {
          case Kind::kInteger:
            entry.payload.integer = field.integer();
            break;
          case Kind::kText: {
            const std::string_view text = field.bytes();
            const auto length = static_cast<std::uint32_t>(text.size());
            if (length != 0) std::memcpy(block->text() + block->textUsed, text.data(), length);
            entry.payload.text = {block->textUsed, length};
            block->textUsed += length;
            break;
          }
          default: {
            std::unique_ptr<Box> box(recordTypeAt(field.typeIndex()).makeBox());
            setCompact(storage(*box->record()), field.bytes());
            entry.payload.box = box.release();
            break;
          }
        }
        block->entries()[block->count++] = entry;
        return false;
      });
    } catch (...) {
      deleteBoxes(*block, block->count);
      freeBlock(block);
      throw;
    }
    if (!isInline(s)) ::operator delete(s.outOfLine.data);
    s.full = Storage::Full{Storage::kFull, block};
  }

  // Appends a new entry, unset and with an empty payload, growing the block
  // when it is full; returns it.
  static Entry& insert(Storage& s, short fieldNumber, unsigned int fieldHash, Kind kind) {
    Block*& block = s.full.block;
    if (block->count == block->capacity) {
      Block* grown = repack(*block, grownCapacity(*block),
                            static_cast<std::uint32_t>(liveTextBytes(*block)), false);
      freeBlock(block);
      block = grown;
    }
    Entry& entry = block->entries()[block->count++];
    entry = Entry{fieldNumber, kind, false, fieldHash, {0}};
    return entry;
  }

  // Sets the text of entry `index` (kNoEntry: a new entry) of a full-form
  // record. Whatever the block must grow by is allocated before any entry or
  // text changes.
  static void setText(Storage& s, std::uint32_t index, short fieldNumber, unsigned int fieldHash,
                      std::string_view value) {
    Block*& block = s.full.block;
    const std::uint32_t length = checkedCount(value.size());
    if (index != kNoEntry && length <= block->entries()[index].payload.text.length) {
      Entry& entry = block->entries()[index];
      if (length != 0) std::memcpy(block->text() + entry.payload.text.offset, value.data(), length);
      entry.payload.text.length = length;
      return;
    }
    const bool roomForEntry = index != kNoEntry || block->count < block->capacity;
    if (!roomForEntry || block->textCapacity - block->textUsed < length) {
      const std::uint64_t dropped =
          index == kNoEntry ? 0 : block->entries()[index].payload.text.length;
      const std::uint32_t capacity = roomForEntry ? block->capacity : grownCapacity(*block);
      Block* grown = repack(*block, capacity,
                            checkedCount(liveTextBytes(*block) - dropped + length), false, index);
      freeBlock(block);
      block = grown;
    }
    if (index == kNoEntry) {
      index = block->count++;
      block->entries()[index] = Entry{fieldNumber, Kind::kText, true, fieldHash, {0}};
    }
    std::memcpy(block->text() + block->textUsed, value.data(), length);
    block->entries()[index].payload.text = {block->textUsed, length};
    block->textUsed += length;
  }

  static std::string_view textOf(const Block& block, const Entry& entry) {
    if (entry.payload.text.length == 0) return {};
    return {block.text() + entry.payload.text.offset, entry.payload.text.length};
  }

  // ---- Whole records ----

  static FieldView view(const Block& block, const Entry& entry) {
    FieldView field;
    field.number = entry.number;
    field.kind = entry.kind;
    field.markedSet = entry.markedSet;
    switch (entry.kind) {
      case Kind::kInteger:
        field.integer = entry.payload.integer;
        break;
      case Kind::kText:
        field.text = textOf(block, entry);
        break;
      case Kind::kRecord:
        field.sub = fields(*entry.payload.box->record());
        field.subType = entry.payload.box->recordType();
        break;
      default:
        field.box = entry.payload.box;
    }
    return field;
  }

  static FieldView view(const CompactRef& compactField) {
    FieldView field;
    field.number = compactField.number;
    field.kind = compactField.kind();
    field.markedSet = compactField.markedSet();
    switch (field.kind) {
      case Kind::kInteger:
        field.integer = compactField.integer();
        break;
      case Kind::kText:
        field.text = compactField.bytes();
        break;
      default:
        field.sub = Fields{nullptr, compactField.bytes()};
        field.subType = &recordTypeAt(compactField.typeIndex());
        break;
    }
    return field;
  }

  // Calls visit(field) for each field until it returns true; returns whether
  // one did.
  template <class Visit>
  static bool anyField(const Fields& of, Visit visit) {
    if (of.block != nullptr) {
      for (std::uint32_t i = 0; i < of.block->count; ++i) {
        if (visit(view(*of.block, of.block->entries()[i]))) return true;
      }
      return false;
    }
    return anyCompact(of.compact, [&](const CompactRef& field) { return visit(view(field)); });
  }

  static bool countsAsSet(const FieldView& field) {
    if (field.markedSet) return true;
    if (field.kind == Kind::kRecord) return anySet(field.sub);
    return field.box != nullptr && field.box->hasContent();
  }

  static bool anySet(const Fields& of) {
    return anyField(of, [](const FieldView& field) { return countsAsSet(field); });
  }

  static std::optional<FieldView> find(const Fields& of, std::int16_t number) {
    std::optional<FieldView> found;
    anyField(of, [&](const FieldView& field) {
      if (field.number == number) found = field;
      return found.has_value();
    });
    return found;
  }

  static bool sameValue(const FieldView& a, const FieldView& b) {
    switch (a.kind) {
      case Kind::kInteger:
        return a.integer == b.integer;
      case Kind::kText:
        return a.text == b.text;
      case Kind::kRecord:
        return sameType(*a.subType, *b.subType) && sameFields(a.sub, b.sub);
      default:
        return a.box->equals(*b.box);
    }
  }

  // The same set fields with the same values; fields that were only read
  // (present but unset and empty) do not count.
  static bool sameFields(const Fields& a, const Fields& b) {
    std::size_t setInA = 0;
    std::size_t setInB = 0;
    anyField(b, [&](const FieldView& field) {
      setInB += countsAsSet(field);
      return false;
    });
    const bool differs = anyField(a, [&](const FieldView& field) {
      if (!countsAsSet(field)) return false;
      ++setInA;
      const std::optional<FieldView> match = find(b, field.number);
      return !match || !countsAsSet(*match) || match->kind != field.kind ||
             !sameValue(field, *match);
    });
    return !differs && setInA == setInB;
  }

  // ---- Copies ----

  // Where encode writes: the bytes of out[0, capacity) that a piece fits in
  // whole, while `size` counts all of them.
  struct Sink {
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

  // Appends the compact encoding of `of` to `sink`; false when the fields
  // cannot be compact (a list, or a sub-record class without an index).
  static bool encode(const Fields& of, Sink& sink) {
    if (of.block == nullptr) {
      sink.put(of.compact);
      return true;
    }
    const Block& block = *of.block;
    for (std::uint32_t i = 0; i < block.count; ++i) {
      const Entry& entry = block.entries()[i];
      switch (entry.kind) {
        case Kind::kInteger:
          sink.put(FieldHeader::integer(entry.number, entry.hash, entry.payload.integer));
          break;
        case Kind::kText:
          sink.put(FieldHeader::text(entry.number, entry.hash, entry.payload.text.length));
          sink.put(textOf(block, entry));
          break;
        case Kind::kRecord: {
          const int index = entry.payload.box->recordTypeIndex();
          if (index < 0) return false;
          const Fields body = fields(*entry.payload.box->record());
          std::uint64_t bodySize = body.compact.size();
          if (body.block != nullptr) {
            Sink measure{nullptr, 0};
            if (!encode(body, measure)) return false;
            bodySize = measure.size;
          }
          sink.put(FieldHeader::record(entry.number, entry.hash, entry.markedSet,
                                       static_cast<std::uint8_t>(index), bodySize));
          if (body.block == nullptr) {
            sink.put(body.compact);
          } else {
            encode(body, sink);
          }
          break;
        }
        default:
          return false;
      }
    }
    return true;
  }

  // Copies `from` into empty storage: compact when it can be, else as a full
  // block whose boxes are cloned.
  static void copy(Storage& to, const PKMessageBase& from) {
    const Storage& source = storage(from);
    if (isCompact(source)) {
      if (isInline(source)) {
        to = source;
      } else {
        setCompact(to, compact(source));
      }
      return;
    }
    // Encoded straight into the inline bytes; encoded again into a block of
    // the exact size when they turn out too few.
    const Fields fromFields = fields(from);
    Sink inlineSink{to.inlined.bytes, Storage::kInlineCapacity};
    if (!encode(fromFields, inlineSink)) {
      const Block& block = *source.full.block;
      to.full = Storage::Full{
          Storage::kFull,
          repack(block, block.count, static_cast<std::uint32_t>(liveTextBytes(block)), true)};
      return;
    }
    if (inlineSink.size <= Storage::kInlineCapacity) {
      to.inlined.used = static_cast<std::uint8_t>(inlineSink.size);
      return;
    }
    const std::uint32_t size = checkedCount(inlineSink.size);
    char* data = static_cast<char*>(::operator new(size));
    Sink blockSink{data, size};
    encode(fromFields, blockSink);
    to.outOfLine = Storage::OutOfLine{Storage::kOutOfLine, size, data, size};
  }
};

}  // namespace pk_detail

using pk_detail::Access;

PKMessageBase::PKMessageBase(int family, int typeNumber)
    : family_(family), typeNumber_(typeNumber), storage_{} {}

void PKMessageBase::copyHeap(const PKMessageBase& other) {
  storage_ = pk_detail::Storage{};
  Access::copy(storage_, other);
}

void PKMessageBase::releaseHeap() noexcept { Access::release(storage_); }

std::size_t PKMessageBase::ownedHeapBytes() const noexcept {
  if (storage_.inlined.used == pk_detail::Storage::kOutOfLine) return storage_.outOfLine.capacity;
  const pk_detail::Block& block = *storage_.full.block;
  std::size_t bytes =
      sizeof(pk_detail::Block) + block.capacity * sizeof(pk_detail::Entry) + block.textCapacity;
  for (std::uint32_t i = 0; i < block.count; ++i) {
    const pk_detail::Entry& entry = block.entries()[i];
    if (holdsBox(entry.kind)) bytes += entry.payload.box->heapBytes();
  }
  return bytes;
}

namespace {

void checkAssignable(int family, int typeNumber, int fromFamily, int fromTypeNumber) {
  if (family != fromFamily || typeNumber != fromTypeNumber) {
    throw std::logic_error("cannot assign a record of type " +
                           recordName(fromFamily, fromTypeNumber) + " to one of type " +
                           recordName(family, typeNumber));
  }
}

}  // namespace

PKMessageBase& PKMessageBase::operator=(const PKMessageBase& other) {
  checkAssignable(family_, typeNumber_, other.family_, other.typeNumber_);
  if (this != &other) *this = PKMessageBase(other);
  return *this;
}

PKMessageBase& PKMessageBase::operator=(PKMessageBase&& other) {
  checkAssignable(family_, typeNumber_, other.family_, other.typeNumber_);
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
  return Access::sameFields(Access::fields(*this), Access::fields(other));
}

bool PKMessageBase::hasAnyFieldSet() const { return Access::anySet(Access::fields(*this)); }

PKMessageBase::StorageForm PKMessageBase::storageForm() const {
  if (Access::isInline(storage_)) return StorageForm::kInline;
  return Access::isCompact(storage_) ? StorageForm::kOutOfLine : StorageForm::kFull;
}

std::string PKMessageBase::getstring(short fieldNumber, short, unsigned long recordHash,
                                     unsigned int fieldHash) {
  return std::string(getstringview(fieldNumber, recordHash, fieldHash));
}

std::string_view PKMessageBase::getstringview(short fieldNumber, unsigned long recordHash,
                                              unsigned int fieldHash) const {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    CompactRef field;
    if (!findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                     field)) {
      return {};
    }
    checkKind(fieldNumber, field.kind(), Kind::kText, family_, typeNumber_);
    return field.bytes();
  }
  const Block& block = *storage_.full.block;
  const Entry* entry = Access::findEntry(block, fieldNumber, fieldHash, family_, typeNumber_);
  if (entry == nullptr) return {};
  checkKind(fieldNumber, entry->kind, Kind::kText, family_, typeNumber_);
  return Access::textOf(block, *entry);
}

void PKMessageBase::setstring(short fieldNumber, short, std::string const& value,
                              unsigned long recordHash, unsigned int fieldHash) {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    const std::string_view encoding = Access::compact(storage_);
    CompactRef field;
    std::size_t begin = encoding.size();  // appended when absent
    std::size_t end = begin;
    if (findCompact(encoding, fieldNumber, fieldHash, family_, typeNumber_, field)) {
      checkKind(fieldNumber, field.kind(), Kind::kText, family_, typeNumber_);
      begin = static_cast<std::size_t>(field.start - encoding.data());
      end = static_cast<std::size_t>(field.end() - encoding.data());
    }
    const FieldHeader header =
        FieldHeader::text(fieldNumber, fieldHash, checkedCount(value.size()));
    Access::replaceCompact(storage_, begin, end, header.bytes(), value);
    return;
  }
  Block& block = *storage_.full.block;
  const Entry* entry = Access::findEntry(block, fieldNumber, fieldHash, family_, typeNumber_);
  if (entry != nullptr) checkKind(fieldNumber, entry->kind, Kind::kText, family_, typeNumber_);
  const std::uint32_t index =
      entry ? static_cast<std::uint32_t>(entry - block.entries()) : kNoEntry;
  Access::setText(storage_, index, fieldNumber, fieldHash, value);
}

long long PKMessageBase::getint64(short fieldNumber, unsigned long recordHash,
                                  unsigned int fieldHash) const {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    CompactRef field;
    if (!findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                     field)) {
      return 0;
    }
    checkKind(fieldNumber, field.kind(), Kind::kInteger, family_, typeNumber_);
    return field.integer();
  }
  const Entry* entry =
      Access::findEntry(*storage_.full.block, fieldNumber, fieldHash, family_, typeNumber_);
  if (entry == nullptr) return 0;
  checkKind(fieldNumber, entry->kind, Kind::kInteger, family_, typeNumber_);
  return entry->payload.integer;
}

void PKMessageBase::setint64(short fieldNumber, short, long long value, unsigned long recordHash,
                             unsigned int fieldHash) {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    const std::string_view encoding = Access::compact(storage_);
    CompactRef field;
    std::size_t begin = encoding.size();  // appended when absent
    std::size_t end = begin;
    if (findCompact(encoding, fieldNumber, fieldHash, family_, typeNumber_, field)) {
      checkKind(fieldNumber, field.kind(), Kind::kInteger, family_, typeNumber_);
      begin = static_cast<std::size_t>(field.start - encoding.data());
      end = static_cast<std::size_t>(field.end() - encoding.data());
    }
    const FieldHeader header = FieldHeader::integer(fieldNumber, fieldHash, value);
    Access::replaceCompact(storage_, begin, end, header.bytes(), {});
    return;
  }
  Entry* entry =
      Access::findEntry(*storage_.full.block, fieldNumber, fieldHash, family_, typeNumber_);
  if (entry != nullptr) checkKind(fieldNumber, entry->kind, Kind::kInteger, family_, typeNumber_);
  if (entry == nullptr) entry = &Access::insert(storage_, fieldNumber, fieldHash, Kind::kInteger);
  entry->payload.integer = value;
  entry->markedSet = true;
}

bool PKMessageBase::setCompactSubint64(const RecordType& type, int typeIndex, short fieldNumber,
                                       unsigned long recordHash, unsigned int fieldHash,
                                       short subFieldNumber, unsigned long subRecordHash,
                                       unsigned int subFieldHash, long long value) {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (!Access::isCompact(storage_) || typeIndex < 0) return false;
  checkFamily(subFieldNumber, subRecordHash, type.family, type.typeNumber);
  const std::string_view encoding = Access::compact(storage_);
  const FieldHeader integer = FieldHeader::integer(subFieldNumber, subFieldHash, value);
  // The sub-record's new body, built before the record changes.
  std::string body;
  bool markedSet = false;
  std::size_t begin = encoding.size();  // appended when absent
  std::size_t end = begin;
  CompactRef field;
  if (findCompact(encoding, fieldNumber, fieldHash, family_, typeNumber_, field)) {
    checkKind(fieldNumber, field.kind(), Kind::kRecord, family_, typeNumber_);
    if (!sameType(recordTypeAt(field.typeIndex()), type)) throwBoxType(fieldNumber, *type.type);
    markedSet = field.markedSet();
    begin = static_cast<std::size_t>(field.start - encoding.data());
    end = static_cast<std::size_t>(field.end() - encoding.data());
    const std::string_view old = field.bytes();
    CompactRef sub;
    if (findCompact(old, subFieldNumber, subFieldHash, type.family, type.typeNumber, sub)) {
      checkKind(subFieldNumber, sub.kind(), Kind::kInteger, type.family, type.typeNumber);
      const auto subBegin = static_cast<std::size_t>(sub.start - old.data());
      const auto subEnd = static_cast<std::size_t>(sub.end() - old.data());
      body.reserve(old.size() - (subEnd - subBegin) + integer.bytes().size());
      body.append(old.substr(0, subBegin)).append(integer.bytes()).append(old.substr(subEnd));
    } else {
      body.reserve(old.size() + integer.bytes().size());
      body.append(old).append(integer.bytes());
    }
  } else {
    body.assign(integer.bytes());
  }
  const FieldHeader header = FieldHeader::record(fieldNumber, fieldHash, markedSet,
                                                 static_cast<std::uint8_t>(typeIndex), body.size());
  Access::replaceCompact(storage_, begin, end, header.bytes(), body);
  return true;
}

long long PKMessageBase::subint64(const RecordType& type, short fieldNumber,
                                  unsigned long recordHash, unsigned int fieldHash,
                                  short subFieldNumber, unsigned long subRecordHash,
                                  unsigned int subFieldHash) const {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (!Access::isCompact(storage_)) {
    const Entry* entry =
        Access::findEntry(*storage_.full.block, fieldNumber, fieldHash, family_, typeNumber_);
    if (entry == nullptr) return 0;
    checkKind(fieldNumber, entry->kind, Kind::kRecord, family_, typeNumber_);
    const Box& box = *entry->payload.box;
    if (!sameType(*box.recordType(), type)) throwBoxType(fieldNumber, *type.type);
    return box.record()->getint64(subFieldNumber, subRecordHash, subFieldHash);
  }
  CompactRef field;
  if (!findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                   field)) {
    return 0;
  }
  checkKind(fieldNumber, field.kind(), Kind::kRecord, family_, typeNumber_);
  if (!sameType(recordTypeAt(field.typeIndex()), type)) throwBoxType(fieldNumber, *type.type);
  checkFamily(subFieldNumber, subRecordHash, type.family, type.typeNumber);
  CompactRef sub;
  if (!findCompact(field.bytes(), subFieldNumber, subFieldHash, type.family, type.typeNumber,
                   sub)) {
    return 0;
  }
  checkKind(subFieldNumber, sub.kind(), Kind::kInteger, type.family, type.typeNumber);
  return sub.integer();
}

bool PKMessageBase::isSet(short fieldNumber, unsigned long recordHash,
                          unsigned long fieldHash) const {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    CompactRef field;
    return findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                       field) &&
           Access::countsAsSet(Access::view(field));
  }
  const Block& block = *storage_.full.block;
  const Entry* entry = Access::findEntry(block, fieldNumber, fieldHash, family_, typeNumber_);
  return entry != nullptr && Access::countsAsSet(Access::view(block, *entry));
}

void PKMessageBase::markSet(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  std::optional<Kind> kind;
  if (Access::isCompact(storage_)) {
    CompactRef field;
    if (findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                    field)) {
      kind = field.kind();
    }
    if (kind == Kind::kRecord) {
      // The encoding lies in this record's storage, which is not const.
      char* tag = const_cast<char*>(field.start);
      *tag = static_cast<char>(*tag | kMarkedSetBit);
      return;
    }
  } else {
    Entry* entry =
        Access::findEntry(*storage_.full.block, fieldNumber, fieldHash, family_, typeNumber_);
    if (entry) kind = entry->kind;
    if (entry && holdsBox(entry->kind)) {
      entry->markedSet = true;
      return;
    }
  }
  if (!kind) {
    throw std::logic_error("markSet: " + fieldName(fieldNumber, family_, typeNumber_) +
                           " was never accessed");
  }
  throw std::logic_error("markSet: " + fieldName(fieldNumber, family_, typeNumber_) + " holds " +
                         pk_detail::kindName(*kind));
}

const pk_detail::Box* PKMessageBase::findBox(short fieldNumber, unsigned long recordHash,
                                             unsigned int fieldHash, const RecordType& type) const {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    CompactRef field;
    if (!findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                     field)) {
      return nullptr;
    }
    checkKind(fieldNumber, field.kind(), Kind::kRecord, family_, typeNumber_);
    if (!sameType(recordTypeAt(field.typeIndex()), type)) throwBoxType(fieldNumber, *type.type);
    Access::promote(storage_, 0);
  }
  const Entry* entry =
      Access::findEntry(*storage_.full.block, fieldNumber, fieldHash, family_, typeNumber_);
  if (entry == nullptr) return nullptr;
  checkKind(fieldNumber, entry->kind, Kind::kRecord, family_, typeNumber_);
  return entry->payload.box;
}

pk_detail::Box& PKMessageBase::box(short fieldNumber, unsigned long recordHash,
                                   unsigned int fieldHash, Kind kind, const RecordType* type,
                                   Box* (*make)()) {
  checkFamily(fieldNumber, recordHash, family_, typeNumber_);
  if (Access::isCompact(storage_)) {
    CompactRef field;
    if (!findCompact(Access::compact(storage_), fieldNumber, fieldHash, family_, typeNumber_,
                     field)) {
      std::unique_ptr<Box> made(make());
      Access::promote(storage_, 1);
      Entry& entry = Access::insert(storage_, fieldNumber, fieldHash, kind);  // has room
      entry.payload.box = made.release();
      return *entry.payload.box;
    }
    checkKind(fieldNumber, field.kind(), kind, family_, typeNumber_);
    if (type != nullptr && !sameType(recordTypeAt(field.typeIndex()), *type)) {
      throwBoxType(fieldNumber, *type->type);
    }
    Access::promote(storage_, 0);
  }
  if (Entry* entry =
          Access::findEntry(*storage_.full.block, fieldNumber, fieldHash, family_, typeNumber_)) {
    checkKind(fieldNumber, entry->kind, kind, family_, typeNumber_);
    return *entry->payload.box;
  }
  std::unique_ptr<Box> made(make());
  Entry& entry = Access::insert(storage_, fieldNumber, fieldHash, kind);
  entry.payload.box = made.release();
  return *entry.payload.box;
}

void PKMessageBase::throwBoxType(short fieldNumber, const std::type_info& wanted) const {
  throwWrongType(fieldNumber, family_, typeNumber_, wanted.name());
}
