#include "RecordArena.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace I2::detail {
namespace {

// First block of the arena; it grows up to a whole slot.
constexpr std::size_t kFirstBlockBytes = 4096;

// Most slots of a new block past the first, unless one record needs more.
constexpr std::uint64_t kGroupSlots = 8;

// Slots of a new block past the first: those that `slots` needs, or up to
// kGroupSlots of what the records to come are expected to fill, within the
// `slotsLeft` below the limit of the offsets.
std::uint64_t groupSlots(std::uint64_t slots, std::uint64_t expectedMore, std::uint64_t slotsLeft) {
  std::uint64_t const expected = (expectedMore >> RecordArena::kSlotShift) + 1;
  return std::min(std::max(slots, std::min(expected, kGroupSlots)), slotsLeft);
}

}  // namespace

unsigned char* RecordArena::allocateBlock(std::size_t bytes) {
  auto* data = static_cast<unsigned char*>(std::malloc(bytes + kPadding));
  if (data == nullptr) throw std::bad_alloc();
  std::memset(data + bytes, 0, kPadding);
  // Filled front to back once per sort: each huge page inside the block
  // faults once instead of 512 times. An aligned block would take a huge page
  // more, but malloc would hold up to one more huge page's worth for it.
  AdviseHugePages(data, bytes);
  return data;
}

RecordArena::RecordArena(const RecordArena& other) {
  blocks_.reserveExactly(other.attached_);
  slotBase_.reserveExactly(other.slotBase_.size());
  try {
    for (std::size_t i = 0; i < other.attached_; ++i) {
      const Block& from = other.blocks_[i];
      unsigned char* const data = allocateBlock(from.bytes);
      std::memcpy(data, from.data, from.bytes);
      blocks_.pushUnchecked({data, from.bytes, from.firstSlot});
    }
  } catch (...) {
    releaseAll();
    throw;
  }
  attached_ = other.attached_;
  // Each slot points into the copy of its block, as far from its start as in
  // the original.
  slotBase_.setSize(other.slotBase_.size());
  for (std::size_t i = 0; i < attached_; ++i) {
    const Block& from = other.blocks_[i];
    std::size_t const lastSlot =
        i + 1 < attached_ ? other.blocks_[i + 1].firstSlot : other.slotBase_.size();
    for (std::size_t slot = from.firstSlot; slot < lastSlot; ++slot) {
      slotBase_[slot] = blocks_[i].data + (other.slotBase_[slot] - from.data);
    }
  }
  used_ = other.used_;
  limit_ = other.limit_;
}

void RecordArena::swap(RecordArena& other) noexcept {
  blocks_.swap(other.blocks_);
  std::swap(attached_, other.attached_);
  slotBase_.swap(other.slotBase_);
  std::swap(used_, other.used_);
  std::swap(limit_, other.limit_);
}

void RecordArena::attachBlock(std::size_t bytes, std::uint64_t expectedMore) {
  if (attached_ == 1 && blocks_[0].bytes < kSlotBytes && used_ + bytes <= kSlotBytes) {
    // The first block grows in place of a second one until it fills its slot.
    std::size_t const want = std::min(kSlotBytes, std::max(2 * blocks_[0].bytes, used_ + bytes));
    void* const moved = std::realloc(blocks_[0].data, want + kPadding);
    if (moved == nullptr) throw std::bad_alloc();
    blocks_[0].data = static_cast<unsigned char*>(moved);
    blocks_[0].bytes = want;
    std::memset(blocks_[0].data + want, 0, kPadding);
    slotBase_[0] = blocks_[0].data;
    limit_ = want;
    return;
  }
  // Slots are handed out in order; what is left of the current one stays unused.
  std::uint64_t const slot = slotBase_.size();
  std::uint64_t const slots = std::max<std::uint64_t>(1, (bytes + kSlotBytes - 1) >> kSlotShift);
  std::uint64_t const slotsLeft = (kMaxBytes >> kSlotShift) - slot;
  if (slots > slotsLeft) throw std::length_error("the records would exceed 4 GiB");
  // Only the first block may start smaller than its slot.
  bool const small = slot == 0 && slots == 1;
  std::size_t const minBytes = small ? bytes : slots << kSlotShift;
  std::size_t kept = attached_;
  while (kept < blocks_.size() && blocks_[kept].bytes < minBytes) ++kept;
  std::size_t const size = kept < blocks_.size() ? blocks_[kept].bytes
                           : small               ? std::max(minBytes, kFirstBlockBytes)
                                   : groupSlots(slots, expectedMore, slotsLeft) << kSlotShift;
  // A block of whole slots covers them all, up to the limit of the offsets.
  std::uint64_t const covered =
      std::min<std::uint64_t>(std::max<std::size_t>(1, size >> kSlotShift), slotsLeft);
  blocks_.reserveMore(1);
  slotBase_.reserveMore(covered);
  if (kept == blocks_.size()) blocks_.pushUnchecked({allocateBlock(size), size, 0});
  std::swap(blocks_[kept], blocks_[attached_]);
  Block& block = blocks_[attached_++];
  block.firstSlot = slot;
  for (std::uint64_t i = 0; i < covered; ++i) {
    slotBase_.pushUnchecked(block.data + (i << kSlotShift));
  }
  used_ = slot << kSlotShift;
  limit_ = used_ + std::min<std::uint64_t>(block.bytes, covered << kSlotShift);
}

void RecordArena::clear() noexcept {
  attached_ = 0;
  slotBase_.clear();
  used_ = 0;
  limit_ = 0;
}

void RecordArena::releaseUnused() noexcept {
  for (std::size_t i = attached_; i < blocks_.size(); ++i) std::free(blocks_[i].data);
  blocks_.setSize(attached_);
  blocks_.shrinkToFit();
  slotBase_.shrinkToFit();
  // A lone first block shrinks to what its records take.
  if (attached_ != 1 || blocks_[0].bytes > kSlotBytes) return;
  std::size_t const want = std::max<std::size_t>(used_, kFirstBlockBytes);
  if (want >= blocks_[0].bytes) return;
  if (void* const moved = std::realloc(blocks_[0].data, want + kPadding)) {
    blocks_[0].data = static_cast<unsigned char*>(moved);
    blocks_[0].bytes = want;
    std::memset(blocks_[0].data + want, 0, kPadding);
    slotBase_[0] = blocks_[0].data;
    limit_ = want;
  }
}

void RecordArena::releaseAll() noexcept {
  for (std::size_t i = 0; i < blocks_.size(); ++i) std::free(blocks_[i].data);
  blocks_.release();
  slotBase_.release();
  attached_ = 0;
  used_ = 0;
  limit_ = 0;
}

std::uint64_t RecordArena::heldBytes() const {
  std::uint64_t held = blocks_.capacity() * sizeof(Block) + slotBase_.capacity() * sizeof(void*);
  for (std::size_t i = 0; i < blocks_.size(); ++i) held += blocks_[i].bytes + kPadding;
  return held;
}

}  // namespace I2::detail
