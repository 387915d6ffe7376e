// The state of I2::TVarlenSortCache, behind its pointer. Each group of data
// members below changes together; copying, moving and clearing the sorter
// go through the groups whole.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "I2/TVarlenSortCache.h"
#include "KeyEncoding.h"
#include "PodBuffer.h"
#include "RecordArena.h"

namespace I2 {
namespace detail {

// A run of keys [begin, end) of the key array that agree on their first
// depth + byte bytes, with prefixes loaded at depth, whose order is not
// finished yet.
struct Bucket {
  std::uint32_t begin;
  std::uint32_t end;
  std::uint64_t depth;
  unsigned byte;
};

// A run of keys that agreed on their first 8 bytes when their prefixes were
// reloaded from further on; lets a later sort load them again.
struct Reloaded {
  std::uint32_t begin;
  std::uint32_t end;
  std::uint64_t prefix;
};

// Buckets smaller than this are sorted by comparison: below it, clearing and
// scanning 256 counters costs more than a few dozen key comparisons.
constexpr std::size_t kSmallBucket = 48;

// Buckets up to this size are sorted outright when a read reaches them: about
// a page's worth of keys, small enough that a lazy split would not pay off.
constexpr std::size_t kEagerBucket = 512;

// The size thresholds of the sort, fixed in the library; tests set others
// (within what the fixed buffers below hold) to reach every path with few keys.
struct Thresholds {
  std::size_t smallBucket = kSmallBucket;
  std::size_t eagerBucket = kEagerBucket;
};

// The outright sort of an eager bucket keeps the buckets still to sort in a
// fixed stack. They are disjoint and of smallBucket keys or more, but for one
// on top, so at most eagerBucket / smallBucket + 1 are held at once; that
// also bounds the reloads that such a sort notes.
constexpr std::size_t StackBound(const Thresholds& t) { return t.eagerBucket / t.smallBucket + 1; }
constexpr std::size_t kEagerStack = StackBound(Thresholds{});

// A comparison sort is given fewer than smallBucket keys, so a run of keys
// whose prefixes tie fits a fixed buffer of this many entries.
constexpr std::size_t kTieBuffer = kSmallBucket;

// A split needs two keys to differ; buckets of fewer are finished already.
static_assert(kSmallBucket >= 2, "a bucket that is split holds two keys or more");
static_assert(kSmallBucket <= kEagerBucket, "an eager bucket may be split");
static_assert(kEagerBucket <= 0xFFFFFFFFu, "bucket bounds are 32-bit");

// Most keys, encoded bytes and records that one sorter holds; tests lower them.
struct Limits {
  std::uint64_t keys = 0xFFFFFFFFu;           // key positions are 32-bit
  std::uint64_t keyBytes = 0xFFFFFFFFu;       // the longest encoded key
  std::uint64_t totalKeyBytes = 0xFFFFFFFFu;  // encoded bytes of all keys together
};

// What Initialize was given.
struct Settings {
  std::string name;
  std::string location;
  std::uint64_t keyFieldLimit = 0;  // key fields per key
  std::uint64_t valueSize = 0;      // value bytes per key
  bool initialised = false;
  bool reverse = false;  // also changed by SetReverse
};

// The stored keys, their records, and what storing them learnt about their
// first prefixes.
struct StoredKeys {
  PodBuffer<Key> keys;  // one per stored key; ordered by SortKeys and reads
  RecordArena records;  // value, length and bytes past 8 of each key
  std::uint64_t totalKeyBytes = 0;
  // How many first prefixes begin with each byte, the first prefix, and the
  // bits in which any differs from it.
  std::array<std::uint32_t, 256> firstByteCounts{};
  std::uint64_t firstPrefix = 0;
  std::uint64_t prefixDifference = 0;

  // Forgets every key and keeps the buffers.
  void clear() noexcept;
};

enum class KeyState : std::uint8_t { kNone, kBuilding, kFinished };

// The key under construction: its encoded bytes, then kCurrentTail zeros.
struct CurrentKey {
  // Zero bytes kept past the end of the key, so that an 8-byte load at any
  // of its bytes stays inside the buffer and reads defined bytes.
  static constexpr std::size_t kCurrentTail = 8;

  PodBuffer<unsigned char> bytes;
  std::uint64_t fields = 0;
  KeyState state = KeyState::kNone;

  void clear() noexcept {
    bytes.clear();
    fields = 0;
    state = KeyState::kNone;
  }
};

// How far the keys are ordered: the buckets not finished yet, and the runs
// whose prefixes no longer start their keys.
struct LazyOrder {
  std::map<std::uint32_t, Bucket> pending;  // unfinished buckets by their begin
  PodBuffer<Reloaded> reloaded;
  bool sorted = false;      // SortKeys ran since the last key was stored
  bool trimOnSort = false;  // Clear(true) asked for memory to be given back
};

// Where reading stands: no GetFirstVal since the sort, past the end (or no
// key), or at `position`.
enum class CursorState : std::uint8_t { kNone, kAtEnd, kValid };

struct ReadCursor {
  std::uint64_t position = 0;  // of the last value read
  std::size_t runBegin = 0;    // [runBegin, runEnd): finished slots around it
  std::size_t runEnd = 0;
  CursorState state = CursorState::kNone;

  // Forgets where reading stands and the finished run.
  void reset() noexcept { *this = ReadCursor{}; }
};

// A key that KeepEnds keeps: its value bytes, then its encoded bytes; its
// first 8 encoded bytes as a big-endian number (zero-padded, as a Key's
// prefix), which decide most comparisons; and its insertion number, which
// breaks ties as the record offset does.
struct KeptKey {
  std::string bytes;
  std::uint64_t prefix = 0;
  std::uint64_t inserted = 0;
};

// The keys of a sorter that keeps only the ends of its order (KeepEnds): of
// the keys stored, the `count` first and the `count` last of the ascending
// order. While keys are stored `first` is a heap with the greatest of them on
// top and `last` one with the least on top, so a key that belongs to neither
// end costs two comparisons; SortKeys orders both ascending.
struct KeptEnds {
  std::uint64_t count = 0;  // 0: every key is stored in the key array
  std::uint64_t valueSize = 0;
  std::uint64_t stored = 0;  // keys stored, kept or not
  std::vector<KeptKey> first;
  std::vector<KeptKey> last;

  bool active() const { return count != 0; }
  std::string_view keyOf(const KeptKey& kept) const {
    return std::string_view(kept.bytes).substr(valueSize);
  }
  // Ascending order of keys: encoded bytes as unsigned bytes (a prefix
  // first), then insertion.
  bool less(const KeptKey& a, const KeptKey& b) const;
  // Takes the key `key`, whose first 8 bytes are `prefix`, with `value`,
  // inserted as number `stored`, into the ends it belongs to.
  void store(std::string_view key, std::uint64_t prefix, const char* value);
  // Whether every key that begins with the bytes `partial` (first 8 as
  // `prefix`), whatever follows, lies between the ends, so that store()
  // would keep it in neither. False when that depends on what follows, and
  // while the ends are not yet full or not heaps (after sort()).
  bool dropsPartial(std::string_view partial, std::uint64_t prefix) const;
  // Orders both ends ascending; store() after it heaps them again.
  void sort();
  // The kept key at ascending position `ascending`, or null when that
  // position lies between the ends.
  KeptKey* at(std::uint64_t ascending);
  bool holds(std::uint64_t ascending) const;
  std::size_t heapBytes() const;
  // Forgets every key, gives back the ends' memory and leaves the keep-ends
  // mode.
  void clear() noexcept;

 private:
  bool sorted_ = false;
};

// The whole state of one sorter.
class SorterState {
 public:
  detail::Settings settings;
  detail::Limits limits;
  detail::Thresholds thresholds;
  detail::StoredKeys stored;
  detail::CurrentKey current;
  detail::LazyOrder order;
  detail::ReadCursor cursor;
  detail::KeptEnds kept;

  // Empties everything but the limits and thresholds, keeping the buffers.
  void clear(bool releaseMemory) noexcept;
  // Throws std::logic_error naming the first invariant that does not hold.
  void checkInvariants() const;

  // The lazy radix engine (SortEngine.cpp).
  void sortKeys();
  // Finishes the order of the keys at `slot` of the key array and notes the
  // run of finished slots around it in the cursor.
  void reach(std::size_t slot);

  // Keys stored, in the key array or counted by KeptEnds.
  std::uint64_t keyCount() const { return kept.active() ? kept.stored : stored.keys.size(); }
  // The ascending position of sorted position `position`.
  std::uint64_t ascendingOf(std::uint64_t position) const {
    return settings.reverse ? keyCount() - 1 - position : position;
  }

  std::size_t slotOf(std::uint64_t position) const {
    return settings.reverse ? stored.keys.size() - 1 - position : position;
  }
  char* valueAt(std::size_t slot) {
    return reinterpret_cast<char*>(stored.records.at(stored.keys[slot].record));
  }
  // Forgets the order of the keys (a key was stored after the sort).
  void forgetOrder() noexcept {
    order.pending.clear();
    order.sorted = false;
    cursor.reset();
  }

 private:
  void checkKeptInvariants() const;
  void finishSlot(std::size_t slot);
  void restorePrefixes() noexcept;
  void trimIfOversized() noexcept;
};

}  // namespace detail
}  // namespace I2
