// The lazy radix engine: orders the key array most significant byte first,
// finishing only the parts that reads reach.
//
// The key array is ordered in place, in buckets: runs of keys that agree on
// their first depth + byte bytes, with prefixes loaded at depth. One step on a
// bucket either
//  - splits it by its next byte: the keys are counted per byte value, then
//    each is swapped straight into its group's next free slot; bytes the whole
//    bucket shares are skipped without a pass;
//  - or, when its keys share all 8 bytes of their prefixes, puts the keys that
//    end within them first (they are prefixes of the others; by length, then
//    record offset) and reloads the next 8 bytes of the others from their
//    records;
// and a small bucket is sorted by comparing whole keys, 8 bytes at a time. The
// record offset breaks every tie, so the order is stable although the
// distribution is not.
//
// SortKeys does one step on all keys and keeps the unfinished buckets in a
// map by their first slot. Reading a slot takes the bucket that holds it and
// steps down to the child that holds the slot, keeping the other children
// pending, until the bucket is small enough to sort outright. So a page
// touches about as many keys as the buckets on its path, and every slot is
// finished once.
//
// A bucket whose prefixes are reloaded from beyond the first 8 bytes is noted
// with its shared first 8 bytes, so that keys stored after a sort can be
// sorted together with the old ones: the next SortKeys puts those bytes back.
#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <iterator>
#include <stdexcept>
#include <utility>

#include "SorterState.h"

namespace I2::detail {
namespace {

// Ranges up to this many elements are insertion-sorted; std::sort above.
constexpr std::size_t kInsertionSortMax = 16;

// Records are fetched this many keys ahead of a reload: enough to cover a
// miss to memory.
constexpr std::size_t kReloadAhead = 24;

// A split of one bucket yields at most one child per byte value.
constexpr std::size_t kMaxChildren = 256;

// Below this much held memory a sort never trims.
constexpr std::uint64_t kTrimFloorBytes = 1 << 16;

[[noreturn]] void Broken(const char* invariant) {
  throw std::logic_error(std::string("TVarlenSortCache: broken invariant: ") + invariant);
}

void Prefetch(const void* address) { __builtin_prefetch(address); }

// Sorts a small range: insertion sort up to kInsertionSortMax elements,
// std::sort above.
template <class T, class Less>
void SortSmallRange(T* first, T* last, Less less) {
  if (static_cast<std::size_t>(last - first) > kInsertionSortMax) {
    std::sort(first, last, less);
    return;
  }
  for (T* i = first + 1; i < last; ++i) {
    T const moving = *i;
    T* j = i;
    for (; j > first && less(moving, j[-1]); --j) *j = j[-1];
    *j = moving;
  }
}

// A stack of at most N elements in place, for work that must not allocate.
template <class T, std::size_t N>
class FixedStack {
 public:
  void push(const T& value) {
    if (size_ == N) Broken("a fixed stack of the sort holds every bucket pushed on it");
    items_[size_++] = value;
  }
  T pop() { return items_[--size_]; }
  bool empty() const { return size_ == 0; }

 private:
  std::array<T, N> items_;
  std::size_t size_ = 0;
};

// Index of the first byte, counted from the most significant, in which some
// prefix of [begin, end) differs from the first one; 8 when all are equal.
unsigned FirstDifferingByte(const Key* begin, const Key* end) {
  std::uint64_t diff = 0;
  std::uint64_t const first = begin->prefix();
  for (const Key* k = begin; k < end; ++k) diff |= k->prefix() ^ first;
  return static_cast<unsigned>(std::countl_zero(diff)) / 8;
}

// Moves every entry of [entries + head[0], entries + end[groups - 1]) into
// its group in place: group g ends up at [head[g], end[g]) as given, and
// head[g] == end[g] afterwards. Each entry is moved once, along the cycle of
// the entries it displaces; the entry in hand stays in registers.
template <class GroupOf>
void DistributeInPlace(Key* entries, std::uint32_t* head, const std::uint32_t* end,
                       std::size_t groups, GroupOf groupOf) {
  for (std::size_t g = 0; g < groups; ++g) {
    while (head[g] < end[g]) {
      std::uint64_t prefix = entries[head[g]].prefix();
      std::uint32_t record = entries[head[g]].record;
      std::size_t d = groupOf(prefix);
      while (d != g) {
        Key& slot = entries[head[d]++];
        std::uint64_t const displacedPrefix = slot.prefix();
        std::uint32_t const displacedRecord = slot.record;
        slot.setPrefix(prefix);
        slot.record = record;
        prefix = displacedPrefix;
        record = displacedRecord;
        d = groupOf(prefix);
      }
      Key& home = entries[head[g]++];
      home.setPrefix(prefix);
      home.record = record;
    }
  }
}

// The sorting steps over the key array and the records.
class Work {
 public:
  Work(SorterState& state)
      : keys_(state.stored.keys.data()),
        records_(state.stored.records),
        notes_(state.order.reloaded),
        valueSize_(state.settings.valueSize),
        thresholds_(state.thresholds) {}

  // One step on `b`, which holds smallBucket keys or more: splits it, or
  // finishes its keys that end within their shared prefix and reloads the
  // others, or skips the bytes that all its keys share. Keys left unfinished
  // come back in `out` as buckets of at least two keys; returns how many.
  // Prefixes reloaded from the start of the keys are noted with their run,
  // into room reserved beforehand.
  std::size_t step(const Bucket& b, Bucket* out) {
    assert(b.end - b.begin >= thresholds_.smallBucket);
    Key* const first = keys_ + b.begin;
    Key* const last = keys_ + b.end;
    if (b.byte == kPrefixBytes) {
      if (b.depth == 0) notes_.pushWithinCapacity({b.begin, b.end, first->prefix()});
      std::uint64_t const next = b.depth + kPrefixBytes;
      Key* const split = reload(first, last, next);
      if (last - split < 2) return 0;
      out[0] = {static_cast<std::uint32_t>(split - keys_), b.end, next,
                FirstDifferingByte(split, last)};
      return 1;
    }
    unsigned const shift = 8 * (kPrefixBytes - 1 - b.byte);
    std::array<std::uint32_t, 256> counts{};
    for (const Key* k = first; k < last; ++k) ++counts[(k->prefix() >> shift) & 0xFF];
    if (counts[(first->prefix() >> shift) & 0xFF] == b.end - b.begin) {
      out[0] = {b.begin, b.end, b.depth, FirstDifferingByte(first, last)};
      return 1;
    }
    return split(b, counts, out);
  }

  // Splits `b`, whose keys take more than one value at its byte, by that
  // byte; `counts` holds how many keys take each value. Sorts the small
  // children and returns the others in `out`.
  std::size_t split(const Bucket& b, std::array<std::uint32_t, 256>& counts, Bucket* out) {
    unsigned const shift = 8 * (kPrefixBytes - 1 - b.byte);
    auto const digit = [shift](std::uint64_t prefix) {
      return static_cast<std::size_t>(prefix >> shift) & 0xFF;
    };
    std::array<std::uint32_t, 256> heads;
    std::array<std::uint32_t, 256>& ends = counts;
    std::uint32_t offset = b.begin;
    for (std::size_t d = 0; d < 256; ++d) {
      heads[d] = offset;
      offset += counts[d];
      ends[d] = offset;
    }
    DistributeInPlace(keys_, heads.data(), ends.data(), 256, digit);
    std::size_t children = 0;
    std::uint32_t start = b.begin;
    for (std::size_t d = 0; d < 256; ++d) {
      std::uint32_t const end = ends[d];
      if (end - start >= thresholds_.smallBucket) {
        out[children++] = {start, end, b.depth, b.byte + 1};
      } else if (end - start > 1) {
        comparisonSort(start, end, b.depth);
      }
      start = end;
    }
    return children;
  }

  // Sorts bucket `b` (at most eagerBucket keys) outright, without allocating:
  // its buckets wait in a fixed stack of kEagerStack, and its reloads are
  // noted into the room for kEagerStack notes reserved beforehand (see
  // StackBound).
  void sortFully(const Bucket& b) {
    assert(b.end - b.begin <= thresholds_.eagerBucket);
    FixedStack<Bucket, kEagerStack> stack;
    std::array<Bucket, kMaxChildren> children;
    stack.push(b);
    while (!stack.empty()) {
      Bucket const top = stack.pop();
      if (top.end - top.begin < thresholds_.smallBucket) {
        comparisonSort(top.begin, top.end, top.depth);
        continue;
      }
      std::size_t const count = step(top, children.data());
      for (std::size_t i = 0; i < count; ++i) stack.push(children[i]);
    }
  }

  // Sorts the keys [begin, end), fewer than smallBucket, which agree on their
  // first `depth` bytes and whose prefixes were loaded at `depth`, by
  // comparing them whole. Their prefixes settle most comparisons, so records
  // are read only for runs of keys whose prefixes tie.
  void comparisonSort(std::uint32_t begin, std::uint32_t end, std::uint64_t depth) {
    assert(end - begin < thresholds_.smallBucket);
    Key* const first = keys_ + begin;
    Key* const last = keys_ + end;
    SortSmallRange(first, last, PrefixThenRecordLess);
    // The records of tied keys are fetched all at once before any is read.
    bool ties = false;
    for (Key* k = first + 1; k < last; ++k) {
      if (k->prefix() == k[-1].prefix()) {
        Prefetch(recordOf(k[-1]));
        Prefetch(recordOf(*k));
        ties = true;
      }
    }
    if (!ties) return;
    for (Key* run = first; run < last;) {
      Key* runEnd = run + 1;
      while (runEnd < last && runEnd->prefix() == run->prefix()) ++runEnd;
      if (runEnd - run > 1) sortTies(run, runEnd, depth);
      run = runEnd;
    }
  }

 private:
  // A key with what comparing it needs, read once from its record.
  struct Entry {
    std::uint64_t prefix;
    const unsigned char* rest;
    std::uint64_t length;
    Key key;
  };

  // The length of a key and where its bytes from 8 on begin.
  struct View {
    const unsigned char* rest;
    std::uint64_t length;
  };
  View view(const Key& k) const {
    View v;
    v.rest = GetVarint(records_.at(k.record) + valueSize_, v.length);
    return v;
  }
  const unsigned char* recordOf(const Key& k) const { return records_.at(k.record); }

  // Sorts keys with equal prefixes by the rest of their bytes, then length,
  // then record offset. They come from one comparison sort, so they fit the
  // tie buffer.
  void sortTies(Key* first, Key* last, std::uint64_t depth) {
    std::size_t const n = static_cast<std::size_t>(last - first);
    if (n > kTieBuffer) Broken("a run of tied keys fits the tie buffer");
    std::array<Entry, kTieBuffer> entries;
    for (std::size_t i = 0; i < n; ++i) {
      View const v = view(first[i]);
      entries[i] = {first[i].prefix(), v.rest, v.length, first[i]};
    }
    SortSmallRange(entries.data(), entries.data() + n,
                   [depth](const Entry& a, const Entry& b) { return WholeKeyLess(a, b, depth); });
    for (std::size_t i = 0; i < n; ++i) first[i] = entries[i].key;
  }

  // Key order of two keys that agree on their first `depth` bytes and whose
  // prefixes were loaded at `depth`; equal keys by record offset. The bytes
  // after the prefixes compare 8 at a time as big-endian numbers, each masked
  // to the shorter key. The zero padding of a prefix sorts a key that ends
  // within it no later than the keys it is a prefix of, and the lengths settle
  // such ties.
  static bool WholeKeyLess(const Entry& a, const Entry& b, std::uint64_t depth) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    std::uint64_t const common = std::min(a.length, b.length);
    for (std::uint64_t offset = depth + kPrefixBytes; offset < common; offset += kPrefixBytes) {
      std::uint64_t const x = LoadMasked(a.rest + (offset - kPrefixBytes), common - offset);
      std::uint64_t const y = LoadMasked(b.rest + (offset - kPrefixBytes), common - offset);
      if (x != y) return x < y;
    }
    if (a.length != b.length) return a.length < b.length;
    return a.key.record < b.key.record;
  }

  // For keys [first, last) that share all 8 prefix bytes at depth next - 8:
  // moves the keys that end within them to the front, in order of length and
  // record offset, and loads the others' prefixes at `next`. Returns where
  // the others begin. Each record is read once.
  Key* reload(Key* first, Key* last, std::uint64_t next) {
    Key* ended = first;
    std::size_t const n = static_cast<std::size_t>(last - first);
    for (std::size_t i = 0; i < n; ++i) {
      // Records are reached in key order, not in the order they lie in.
      if (i + kReloadAhead < n) Prefetch(recordOf(first[i + kReloadAhead]));
      Key& k = first[i];
      View const v = view(k);
      if (v.length <= next) {
        // The prefix is no longer needed for ordering these keys: it holds the
        // length, which orders them among themselves.
        k.setPrefix(v.length);
        std::swap(k, *ended++);
      } else {
        k.setPrefix(LoadMasked(v.rest + (next - kPrefixBytes), v.length - next));
      }
    }
    std::sort(first, ended, PrefixThenRecordLess);
    return ended;
  }

  Key* keys_;
  const RecordArena& records_;
  PodBuffer<Reloaded>& notes_;
  std::size_t valueSize_;
  Thresholds thresholds_;
};

}  // namespace

void SorterState::restorePrefixes() noexcept {
  for (const Reloaded& run : order.reloaded) {
    for (std::uint32_t i = run.begin; i < run.end; ++i) stored.keys[i].setPrefix(run.prefix);
  }
  order.reloaded.clear();
}

void SorterState::trimIfOversized() noexcept {
  std::uint64_t const held = stored.keys.capacity() * sizeof(Key) + stored.records.heldBytes();
  std::uint64_t const used = stored.keys.size() * sizeof(Key) + stored.records.usedBytes();
  if (held <= kTrimFloorBytes || held <= 4 * used) return;
  stored.keys.shrinkToFit();
  stored.records.releaseUnused();
}

void SorterState::sortKeys() {
  if (StackBound(thresholds) > kEagerStack || thresholds.smallBucket > kTieBuffer ||
      thresholds.smallBucket < 2) {
    Broken("the size thresholds fit the fixed buffers of the sort");
  }
  restorePrefixes();
  if (order.trimOnSort) {
    trimIfOversized();
    order.trimOnSort = false;
  }
  std::size_t const n = stored.keys.size();
  if (n >= 2) {
    Bucket const all{0, static_cast<std::uint32_t>(n), 0,
                     static_cast<unsigned>(std::countl_zero(stored.prefixDifference)) / 8};
    order.reloaded.reserveMore(kEagerStack);
    Work work(*this);
    if (n < thresholds.smallBucket) {
      work.comparisonSort(0, all.end, 0);
    } else if (n <= thresholds.eagerBucket) {
      work.sortFully(all);
    } else {
      std::array<Bucket, kMaxChildren> children;
      // The counts of the first bytes, kept while the keys were stored, save
      // the pass that would count them.
      std::array<std::uint32_t, 256> counts = stored.firstByteCounts;
      std::size_t const count = all.byte == 0 ? work.split(all, counts, children.data())
                                              : work.step(all, children.data());
      try {
        for (std::size_t i = 0; i < count; ++i) {
          order.pending.emplace(children[i].begin, children[i]);
        }
      } catch (...) {
        order.pending.clear();  // unsorted; the next SortKeys starts again
        throw;
      }
    }
  }
  order.sorted = true;
  cursor.reset();
}

void SorterState::finishSlot(std::size_t slot) {
  auto found = order.pending.upper_bound(static_cast<std::uint32_t>(slot));
  if (found == order.pending.begin()) return;
  --found;
  if (slot >= found->second.end) return;
  // Room for every note of the path down to the slot, reserved before any
  // change: a path reloads from depth 0 at most once, and then the outright
  // sort at its end lies deeper and notes nothing; else that sort notes at
  // most kEagerStack.
  order.reloaded.reserveMore(kEagerStack);
  // The bucket's node is kept in hand: it goes back into the map without an
  // allocation when a step must be undone or leaves one bucket behind.
  auto node = order.pending.extract(found);
  Work work(*this);
  std::array<Bucket, kMaxChildren> children;
  Bucket b = node.mapped();
  for (;;) {
    if (b.end - b.begin <= thresholds.eagerBucket) {
      work.sortFully(b);
      return;
    }
    std::size_t const count = work.step(b, children.data());
    std::size_t next = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (children[i].begin <= slot && slot < children[i].end) next = i;
    }
    if (count == 1 && next == count) {
      node.key() = children[0].begin;
      node.mapped() = children[0];
      order.pending.insert(std::move(node));
      return;
    }
    std::size_t inserted = 0;
    try {
      for (; inserted < count; ++inserted) {
        if (inserted != next) order.pending.emplace(children[inserted].begin, children[inserted]);
      }
    } catch (...) {
      // Only a split yields two children or more, so only a split gets here;
      // it permuted keys within `b` and left their prefixes loaded at its
      // depth, so `b` as it was still describes them. The children already
      // noted are taken back.
      assert(b.byte < kPrefixBytes);
      for (std::size_t i = 0; i < inserted; ++i) {
        if (i != next) order.pending.erase(children[i].begin);
      }
      node.key() = b.begin;
      node.mapped() = b;
      order.pending.insert(std::move(node));
      throw;
    }
    if (next == count) return;
    b = children[next];
  }
}

void SorterState::reach(std::size_t slot) {
  finishSlot(slot);
  auto const after = order.pending.upper_bound(static_cast<std::uint32_t>(slot));
  cursor.runEnd = after == order.pending.end() ? stored.keys.size() : after->first;
  cursor.runBegin = after == order.pending.begin() ? 0 : std::prev(after)->second.end;
}

}  // namespace I2::detail
