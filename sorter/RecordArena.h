// The record storage of the key sorter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "PodBuffer.h"

namespace I2::detail {

// Storage of the stored keys' records (value bytes, key length, and the key
// bytes past the first 8) in blocks of whole slots of kSlotBytes, addressed
// by one 32-bit offset. A record never spans two blocks; a record longer than
// a slot gets a block of several slots. Past the first slot, a new block
// takes up to 8 slots at once, as many as the records still to
// come are expected to fill, and offers its whole 2 MiB pages to the kernel
// for huge pages. Blocks stay allocated across clear() for the next sort.
// Every block is followed by kPadding readable zero bytes, so that an 8-byte
// load at any record byte stays inside it.
class RecordArena {
 public:
  static constexpr unsigned kSlotShift = 20;
  static constexpr std::size_t kSlotBytes = std::size_t{1} << kSlotShift;
  static constexpr std::size_t kPadding = 8;
  // Offsets are 32-bit: at most this many bytes of records.
  static constexpr std::uint64_t kMaxBytes = std::uint64_t{1} << 32;

  RecordArena() = default;
  RecordArena(const RecordArena& other);
  RecordArena(RecordArena&& other) noexcept { swap(other); }
  RecordArena& operator=(RecordArena other) noexcept {
    swap(other);
    return *this;
  }
  ~RecordArena() { releaseAll(); }
  void swap(RecordArena& other) noexcept;

  // Room for a record of `bytes` bytes; returns its offset without taking it
  // (commit(bytes) takes it). `expectedMore()`, asked only when a new block
  // is needed, estimates the bytes of the records still to come (this one
  // included), so that a new block is no larger than they need. Throws
  // std::bad_alloc, or std::length_error when the offsets would pass
  // kMaxBytes, and then leaves the arena as it was.
  template <class ExpectedMore>
  std::uint32_t prepare(std::size_t bytes, const ExpectedMore& expectedMore) {
    if (bytes > kMaxBytes) throw std::length_error("the records would exceed 4 GiB");
    if (limit_ - used_ < bytes) attachBlock(bytes, expectedMore());
    return static_cast<std::uint32_t>(used_);
  }
  void commit(std::size_t bytes) { used_ += bytes; }

  unsigned char* at(std::uint32_t offset) {
    return slotBase_[offset >> kSlotShift] + (offset & (kSlotBytes - 1));
  }
  const unsigned char* at(std::uint32_t offset) const {
    return slotBase_[offset >> kSlotShift] + (offset & (kSlotBytes - 1));
  }

  // Forgets every record and keeps the blocks for the next records.
  void clear() noexcept;
  // Gives back the blocks that hold no record.
  void releaseUnused() noexcept;
  void releaseAll() noexcept;

  // Bytes taken by records (offsets used) and bytes held in blocks.
  std::uint64_t usedBytes() const { return used_; }
  std::uint64_t heldBytes() const;

 private:
  struct Block {
    unsigned char* data;
    std::size_t bytes;      // without the padding
    std::size_t firstSlot;  // the slot its bytes begin, while attached
  };
  // A new or kept block of at least `bytes`, attached at the next free slot;
  // a new one holds up to 8 slots of the `expectedMore` bytes.
  void attachBlock(std::size_t bytes, std::uint64_t expectedMore);
  static unsigned char* allocateBlock(std::size_t bytes);

  PodBuffer<Block> blocks_;             // attached blocks in slot order, then kept ones
  std::size_t attached_ = 0;            // blocks_[0, attached_) hold records
  PodBuffer<unsigned char*> slotBase_;  // where each slot's bytes begin
  std::uint64_t used_ = 0;              // offset of the next record
  std::uint64_t limit_ = 0;             // end of the current block, as an offset
};

}  // namespace I2::detail
