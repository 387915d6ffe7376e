// The full form of a record's storage
//
// The fields as fixed-size entries in one allocation, sub-records and lists
// in boxes of their own, so that pointers to them survive every change of
// the record but its assignment or destruction.
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
// Every change builds what it needs (a grown block, the boxes of the full
// form) before it touches the record, so a failed allocation leaves the
// record as it was.
#pragma once

#include <cstdint>
#include <limits>
#include <string_view>

#include "PKMessageBase.h"

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

// Sub-records and lists live in boxes; integers and texts in the entry.
inline bool holdsBox(Kind kind) { return kind != Kind::kInteger && kind != Kind::kText; }

// The entry of field `number`, or null.
inline Entry* findEntry(Block& block, short number) {
  Entry* const end = block.entries() + block.count;
  for (Entry* entry = block.entries(); entry != end; ++entry) {
    if (entry->number == number) return entry;
  }
  return nullptr;
}

inline std::string_view textOf(const Block& block, const Entry& entry) {
  if (entry.payload.text.length == 0) return {};
  return {block.text() + entry.payload.text.offset, entry.payload.text.length};
}

// Heap bytes of the block and of every box in it.
std::size_t blockHeapBytes(const Block& block) noexcept;

// A copy of `block` with copies of its boxes, its texts packed.
Block* cloneBlock(const Block& block);

// Frees the block and every box in it.
void freeBlockAndBoxes(Block* block) noexcept;

// Moves compact storage to the full form, with room for `spare` more
// entries. Builds the block and every box first; frees the compact bytes
// only once nothing can fail. Boxed sub-records keep their boxes, so
// pointers to them stay valid.
void promote(Storage& s, std::uint32_t spare);

// Appends a new entry to full storage, unset and with an empty payload,
// growing the block when it is full; returns it.
Entry& insertEntry(Storage& s, short number, std::uint32_t hash, Kind kind);

inline constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();

// Sets the text of entry `index` (kNoEntry: a new entry) of full storage.
// Whatever the block must grow by is allocated before any entry or text
// changes.
void setEntryText(Storage& s, std::uint32_t index, short number, std::uint32_t hash,
                  std::string_view value);

}  // namespace pk_detail
