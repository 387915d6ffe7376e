#include "FullForm.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "CompactForm.h"
#include "RecordAccess.h"
#include "RecordChecks.h"
#include "RecordTypes.h"

namespace pk_detail {
namespace {

// Room for the first fields of a full record; most records have at most three.
constexpr std::uint32_t kFirstCapacity = 3;

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

// Replaces the block of `s` by a repacked one that takes its boxes over.
void regrow(Storage& s, std::uint32_t capacity, std::uint32_t textCapacity,
            std::uint32_t emptied = kNoEntry) {
  Block* grown = repack(*s.full.block, capacity, textCapacity, false, emptied);
  freeBlock(s.full.block);
  s.full.block = grown;
}

// The full-form entry of a compact field, its text copied into `block`.
Entry entryOf(const CompactField& field, Block& block) {
  Entry entry{field.number, field.kind(), field.markedSet(), field.hashValue(), {0}};
  switch (entry.kind) {
    case Kind::kInteger:
      entry.payload.integer = field.integer();
      break;
    case Kind::kText: {
      const std::string_view text = field.bytes();
      const auto length = static_cast<std::uint32_t>(text.size());
      if (length != 0) std::memcpy(block.text() + block.textUsed, text.data(), length);
      entry.payload.text = {block.textUsed, length};
      block.textUsed += length;
      break;
    }
    default: {
      // A boxed sub-record's box is taken over once nothing can fail.
      if (field.isBoxed()) break;
      std::unique_ptr<Box> box(recordTypeAt(field.typeIndex()).makeBox());
      setCompact(Access::storage(*box->record()), field.bytes());
      entry.payload.box = box.release();
      break;
    }
  }
  return entry;
}

}  // namespace

std::size_t blockHeapBytes(const Block& block) noexcept {
  std::size_t bytes = sizeof(Block) + block.capacity * sizeof(Entry) + block.textCapacity;
  for (std::uint32_t i = 0; i < block.count; ++i) {
    const Entry& entry = block.entries()[i];
    if (holdsBox(entry.kind)) bytes += entry.payload.box->heapBytes();
  }
  return bytes;
}

Block* cloneBlock(const Block& block) {
  return repack(block, block.count, static_cast<std::uint32_t>(liveTextBytes(block)), true);
}

void freeBlockAndBoxes(Block* block) noexcept {
  deleteBoxes(*block, block->count);
  freeBlock(block);
}

void promote(Storage& s, std::uint32_t spare) {
  const std::string_view encoding = compactBytes(s);
  std::uint32_t count = 0;
  std::uint64_t textBytes = 0;
  anyCompact(encoding, [&](const CompactField& field) {
    ++count;
    if (field.kind() == Kind::kText) textBytes += field.bytes().size();
    return false;
  });
  Block* block = allocateBlock(std::max(count + spare, kFirstCapacity), checkedCount(textBytes));
  try {
    anyCompact(encoding, [&](const CompactField& field) {
      block->entries()[block->count] = entryOf(field, *block);
      ++block->count;
      return false;
    });
  } catch (...) {
    freeBlockAndBoxes(block);
    throw;
  }
  if (s.holdsBoxes()) {
    Entry* entry = block->entries();
    anyCompact(encoding, [&](const CompactField& field) {
      if (field.isBoxed()) entry->payload.box = field.box();
      ++entry;
      return false;
    });
  }
  if (s.form() == Storage::Form::kOutOfLine) ::operator delete(s.outOfLine.data);
  s.full = Storage::Full{Storage::kFull, block};
}

Entry& insertEntry(Storage& s, short number, std::uint32_t hash, Kind kind) {
  Block*& block = s.full.block;
  if (block->count == block->capacity) {
    regrow(s, grownCapacity(*block), static_cast<std::uint32_t>(liveTextBytes(*block)));
  }
  Entry& entry = block->entries()[block->count++];
  entry = Entry{number, kind, false, hash, {0}};
  return entry;
}

void setEntryText(Storage& s, std::uint32_t index, short number, std::uint32_t hash,
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
    regrow(s, capacity, checkedCount(liveTextBytes(*block) - dropped + length), index);
  }
  if (index == kNoEntry) {
    index = block->count++;
    block->entries()[index] = Entry{number, Kind::kText, true, hash, {0}};
  }
  std::memcpy(block->text() + block->textUsed, value.data(), length);
  block->entries()[index].payload.text = {block->textUsed, length};
  block->textUsed += length;
}

}  // namespace pk_detail
