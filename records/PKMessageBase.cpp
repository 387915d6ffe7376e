// Field storage
//
// A record's fields live in one allocation, the block:
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

#include "PKMessageBase.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
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

}  // namespace pk_detail

namespace {

using pk_detail::Block;
using pk_detail::Box;
using pk_detail::Entry;
using pk_detail::Kind;

// Every record hash holds the family of its record in its top 8 bits (of 32).
constexpr int kRecordHashFamilyShift = 24;

// Room for the first fields of a record; most records have at most three.
constexpr std::uint32_t kFirstCapacity = 3;

constexpr std::uint64_t kMaxBlockCount = std::numeric_limits<std::uint32_t>::max();

bool holdsBox(Kind kind) { return kind != Kind::kInteger && kind != Kind::kText; }

bool countsAsSet(const Entry& entry) {
  return entry.markedSet || (holdsBox(entry.kind) && entry.payload.box->hasContent());
}

std::string recordName(int family, int typeNumber) {
  return std::to_string(family) + "/" + std::to_string(typeNumber);
}

std::uint32_t checkedCount(std::uint64_t count) {
  if (count > kMaxBlockCount) throw std::length_error("record fields exceed 4 GiB");
  return static_cast<std::uint32_t>(count);
}

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

// A new block holding the entries of `from`, with room for `capacity` entries
// and `textCapacity` text bytes, its texts packed. With `cloneBoxes` every box
// is copied; otherwise the new block takes the box pointers over and `from`
// must be freed without deleting them.
Block* repack(const Block& from, std::uint32_t capacity, std::uint32_t textCapacity,
              bool cloneBoxes) {
  Block* to = allocateBlock(capacity, textCapacity);
  try {
    for (std::uint32_t i = 0; i < from.count; ++i) {
      Entry entry = from.entries()[i];
      if (entry.kind == Kind::kText) {
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

}  // namespace

PKMessageBase::PKMessageBase(int family, int typeNumber)
    : family_(family), typeNumber_(typeNumber) {}

PKMessageBase::PKMessageBase(const PKMessageBase& other)
    : family_(other.family_), typeNumber_(other.typeNumber_) {
  if (other.block_ != nullptr && other.block_->count > 0) {
    block_ = repack(*other.block_, other.block_->count,
                    static_cast<std::uint32_t>(liveTextBytes(*other.block_)), true);
  }
}

PKMessageBase::PKMessageBase(PKMessageBase&& other) noexcept
    : family_(other.family_), typeNumber_(other.typeNumber_), block_(other.block_) {
  other.block_ = nullptr;
}

PKMessageBase::~PKMessageBase() {
  if (block_ == nullptr) return;
  deleteBoxes(*block_, block_->count);
  freeBlock(block_);
}

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
  if (this == &other) return *this;
  PKMessageBase old(std::move(*this));
  block_ = other.block_;
  other.block_ = nullptr;
  return *this;
}

bool PKMessageBase::operator==(const PKMessageBase& other) const {
  if (family_ != other.family_ || typeNumber_ != other.typeNumber_) return false;
  const std::uint32_t count = block_ ? block_->count : 0;
  const std::uint32_t otherCount = other.block_ ? other.block_->count : 0;
  const Entry* begin = count ? block_->entries() : nullptr;
  const Entry* otherBegin = otherCount ? other.block_->entries() : nullptr;
  // Fields that were only read (present but unset and empty) do not count.
  if (std::count_if(begin, begin + count, countsAsSet) !=
      std::count_if(otherBegin, otherBegin + otherCount, countsAsSet)) {
    return false;
  }
  for (const Entry* entry = begin; entry != begin + count; ++entry) {
    if (!countsAsSet(*entry)) continue;
    const Entry* match = std::find_if(otherBegin, otherBegin + otherCount,
                                      [&](const Entry& e) { return e.number == entry->number; });
    if (match == otherBegin + otherCount || !countsAsSet(*match) || match->kind != entry->kind) {
      return false;
    }
    switch (entry->kind) {
      case Kind::kInteger:
        if (entry->payload.integer != match->payload.integer) return false;
        break;
      case Kind::kText:
        if (textOf(*entry) != other.textOf(*match)) return false;
        break;
      default:
        if (!entry->payload.box->equals(*match->payload.box)) return false;
    }
  }
  return true;
}

bool PKMessageBase::hasAnyFieldSet() const {
  if (block_ == nullptr) return false;
  return std::any_of(block_->entries(), block_->entries() + block_->count, countsAsSet);
}

std::string PKMessageBase::getstring(short fieldNumber, short, unsigned long recordHash,
                                     unsigned int fieldHash) {
  return std::string(getstringview(fieldNumber, recordHash, fieldHash));
}

std::string_view PKMessageBase::getstringview(short fieldNumber, unsigned long recordHash,
                                              unsigned int fieldHash) const {
  const Entry* entry = find(fieldNumber, recordHash, fieldHash, Kind::kText);
  return entry ? textOf(*entry) : std::string_view();
}

void PKMessageBase::setstring(short fieldNumber, short, std::string const& value,
                              unsigned long recordHash, unsigned int fieldHash) {
  const Entry* entry = find(fieldNumber, recordHash, fieldHash, Kind::kText);
  const std::size_t index = entry ? static_cast<std::size_t>(entry - block_->entries())
                                  : insert(fieldNumber, fieldHash, Kind::kText);
  setText(index, value);
  entryAt(index).markedSet = true;
}

long long PKMessageBase::getint64(short fieldNumber, unsigned long recordHash,
                                  unsigned int fieldHash) const {
  const Entry* entry = find(fieldNumber, recordHash, fieldHash, Kind::kInteger);
  return entry ? entry->payload.integer : 0;
}

void PKMessageBase::setint64(short fieldNumber, short, long long value, unsigned long recordHash,
                             unsigned int fieldHash) {
  Entry* entry = find(fieldNumber, recordHash, fieldHash, Kind::kInteger);
  if (entry == nullptr) entry = &entryAt(insert(fieldNumber, fieldHash, Kind::kInteger));
  entry->payload.integer = value;
  entry->markedSet = true;
}

bool PKMessageBase::isSet(short fieldNumber, unsigned long recordHash,
                          unsigned long fieldHash) const {
  const Entry* entry = findAny(fieldNumber, recordHash, fieldHash);
  return entry != nullptr && countsAsSet(*entry);
}

void PKMessageBase::markSet(short fieldNumber, unsigned long recordHash, unsigned int fieldHash) {
  auto* entry = const_cast<Entry*>(findAny(fieldNumber, recordHash, fieldHash));
  if (entry == nullptr) {
    throw std::logic_error("markSet: field " + std::to_string(fieldNumber) + " of record " +
                           recordName(family_, typeNumber_) + " was never accessed");
  }
  if (!holdsBox(entry->kind)) {
    throw std::logic_error("markSet: field " + std::to_string(fieldNumber) + " of record " +
                           recordName(family_, typeNumber_) + " holds " +
                           pk_detail::kindName(entry->kind));
  }
  entry->markedSet = true;
}

const pk_detail::Box* PKMessageBase::findBox(short fieldNumber, unsigned long recordHash,
                                             unsigned int fieldHash, Kind kind) const {
  const Entry* entry = find(fieldNumber, recordHash, fieldHash, kind);
  return entry ? entry->payload.box : nullptr;
}

pk_detail::Box& PKMessageBase::box(short fieldNumber, unsigned long recordHash,
                                   unsigned int fieldHash, Kind kind, Box* (*make)()) {
  if (Entry* entry = find(fieldNumber, recordHash, fieldHash, kind)) return *entry->payload.box;
  std::unique_ptr<Box> made(make());
  Entry& entry = entryAt(insert(fieldNumber, fieldHash, kind));
  entry.payload.box = made.release();
  return *entry.payload.box;
}

const PKMessageBase::Entry* PKMessageBase::findAny(short fieldNumber, unsigned long recordHash,
                                                   unsigned long fieldHash) const {
  if ((recordHash >> kRecordHashFamilyShift) != static_cast<unsigned long>(family_)) {
    throw std::logic_error("field " + std::to_string(fieldNumber) + " addressed with record hash " +
                           std::to_string(recordHash) + ", which is not of family " +
                           std::to_string(family_) + " (record " +
                           recordName(family_, typeNumber_) + ")");
  }
  if (block_ == nullptr) return nullptr;
  const Entry* end = block_->entries() + block_->count;
  for (const Entry* entry = block_->entries(); entry != end; ++entry) {
    if (entry->number != fieldNumber) continue;
    if (entry->hash != fieldHash) {
      throw std::logic_error("field " + std::to_string(fieldNumber) + " of record " +
                             recordName(family_, typeNumber_) + " addressed with field hash " +
                             std::to_string(fieldHash) + ", but it was created with " +
                             std::to_string(entry->hash));
    }
    return entry;
  }
  return nullptr;
}

const PKMessageBase::Entry* PKMessageBase::find(short fieldNumber, unsigned long recordHash,
                                                unsigned long fieldHash, Kind kind) const {
  const Entry* entry = findAny(fieldNumber, recordHash, fieldHash);
  if (entry != nullptr && entry->kind != kind) {
    throw std::logic_error("field " + std::to_string(fieldNumber) + " of record " +
                           recordName(family_, typeNumber_) + " holds " +
                           pk_detail::kindName(entry->kind) + ", not " + pk_detail::kindName(kind));
  }
  return entry;
}

PKMessageBase::Entry* PKMessageBase::find(short fieldNumber, unsigned long recordHash,
                                          unsigned long fieldHash, Kind kind) {
  return const_cast<Entry*>(std::as_const(*this).find(fieldNumber, recordHash, fieldHash, kind));
}

PKMessageBase::Entry& PKMessageBase::entryAt(std::size_t index) { return block_->entries()[index]; }

std::size_t PKMessageBase::insert(short fieldNumber, unsigned int fieldHash, Kind kind) {
  if (block_ == nullptr) {
    block_ = allocateBlock(kFirstCapacity, 0);
  } else if (block_->count == block_->capacity) {
    Block* grown = repack(*block_, checkedCount(std::uint64_t{block_->capacity} * 2),
                          static_cast<std::uint32_t>(liveTextBytes(*block_)), false);
    freeBlock(block_);
    block_ = grown;
  }
  Entry& entry = block_->entries()[block_->count];
  entry = Entry{fieldNumber, kind, false, fieldHash, {0}};
  return block_->count++;
}

void PKMessageBase::setText(std::size_t index, std::string_view value) {
  const std::uint32_t length = checkedCount(value.size());
  pk_detail::TextRef& text = entryAt(index).payload.text;
  if (length <= text.length) {  // shrinks or keeps its size: rewrite in place
    std::memmove(block_->text() + text.offset, value.data(), length);
    text.length = length;
    return;
  }
  if (block_->textCapacity - block_->textUsed < length) {
    // Repack without this field's old bytes, with room to append the new
    // ones; `value` may view those old bytes, so it is copied first.
    const std::string copy(value);
    const std::uint64_t live = liveTextBytes(*block_) - text.length;
    text.length = 0;
    Block* grown = repack(*block_, block_->capacity, checkedCount(live + length), false);
    freeBlock(block_);
    block_ = grown;
    setText(index, copy);
    return;
  }
  std::memcpy(block_->text() + block_->textUsed, value.data(), length);
  text = {block_->textUsed, length};
  block_->textUsed += length;
}

std::string_view PKMessageBase::textOf(const Entry& entry) const {
  if (entry.payload.text.length == 0) return {};
  return {block_->text() + entry.payload.text.offset, entry.payload.text.length};
}

void PKMessageBase::throwBoxType(short fieldNumber, const std::type_info& wanted) const {
  throw std::logic_error("field " + std::to_string(fieldNumber) + " of record " +
                         recordName(family_, typeNumber_) +
                         " holds another element or sub-record type than " + wanted.name());
}
