// Key encoding
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
// Storage
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
//
// Sort
//
// The key array is ordered most significant byte first, in place, in buckets:
// runs of keys that agree on their first depth + byte bytes, with prefixes
// loaded at depth. One step on a bucket either
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

#include "I2/TVarlenSortCache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <utility>

namespace I2 {
namespace {

// Bytes of a key held in Key's prefix.
constexpr std::uint64_t kPrefixBytes = 8;

// Buckets smaller than this are sorted by comparison: below it, clearing and
// scanning 256 counters costs more than a few dozen key comparisons.
constexpr std::size_t kSmallBucket = 48;

// Buckets up to this size are sorted outright when a read reaches them: about
// a page's worth of keys, small enough that a lazy split would not pay off.
constexpr std::size_t kEagerBucket = 512;

// At most this many buckets of kSmallBucket keys or more fit in one eager
// bucket at once, so its sort needs no allocated stack.
constexpr std::size_t kEagerStack = kEagerBucket / kSmallBucket + 1;

// Records are fetched this many keys ahead of a reload: enough to cover a
// miss to memory.
constexpr std::size_t kReloadAhead = 24;

// A split of one bucket yields at most one child per byte value.
constexpr std::size_t kMaxChildren = 256;

// Below this much held memory a sort never trims.
constexpr std::uint64_t kTrimFloorBytes = 1 << 16;

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

std::uint64_t FromBigEndian(std::uint64_t raw) {
  if constexpr (std::endian::native == std::endian::big) {
    return raw;
  } else {
    return __builtin_bswap64(raw);
  }
}

unsigned char FoldAsciiCase(unsigned char c) {
  return static_cast<unsigned char>(c + ((static_cast<unsigned>(c - 'A') < 26u) << 5));
}

// FoldAsciiCase on each of the 8 bytes of `chunk`. No sum carries into the
// next byte: every byte is at most 0x7F + 0x3F before its high bit is tested.
std::uint64_t FoldAsciiCase8(std::uint64_t chunk) {
  std::uint64_t const low7 = chunk & ~kHighBits;
  std::uint64_t const aboveZ = low7 + kEveryByte * (0x7F - 'Z');  // high bit: low7 > 'Z'
  std::uint64_t const fromA = low7 + kEveryByte * (0x80 - 'A');   // high bit: low7 >= 'A'
  std::uint64_t const upper = fromA & ~aboveZ & ~chunk & kHighBits;
  return chunk | (upper >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// The 8 bytes at `bytes` as a big-endian number, with every byte from
// `count` on (when count < 8) cleared. Always reads 8 bytes, which the zero
// tail of the current key and the padding of every record block keep inside
// the buffer.
std::uint64_t LoadMasked(const unsigned char* bytes, std::uint64_t count) {
  std::uint64_t raw;
  std::memcpy(&raw, bytes, kPrefixBytes);
  std::uint64_t const value = FromBigEndian(raw);
  return count >= kPrefixBytes ? value : value & ~(~std::uint64_t{0} >> (8 * count));
}

void Prefetch(const void* address) { __builtin_prefetch(address); }

std::size_t VarintSize(std::uint64_t value) {
  std::size_t size = 1;
  for (; value >= 0x80; value >>= 7) ++size;
  return size;
}

unsigned char* PutVarint(unsigned char* out, std::uint64_t value) {
  for (; value >= 0x80; value >>= 7) *out++ = static_cast<unsigned char>(value | 0x80);
  *out++ = static_cast<unsigned char>(value);
  return out;
}

const unsigned char* GetVarint(const unsigned char* in, std::uint64_t& value) {
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
void CopyWords(unsigned char* out, const unsigned char* in, std::size_t count) {
  for (std::size_t i = 0; i < count; i += 8) std::memcpy(out + i, in + i, 8);
}

// True when one of the bytes of `chunk` is 0 (exact: a borrow only reaches a
// byte above a 0 byte, which the test has already found).
bool HasZeroByte(std::uint64_t chunk) { return ((chunk - kEveryByte) & ~chunk & kHighBits) != 0; }

// Encodes the text [in, in + length) at `out` (room for 2 * length + 2
// bytes) and returns the number of bytes written. Texts without NUL, the
// usual case, are folded 8 (or 4) bytes at a time; a last, partial chunk
// overlaps the one before it.
std::size_t EncodeText(const unsigned char* in, std::size_t length, unsigned char* out) {
  bool zero = false;
  if (length >= 8) {
    std::size_t i = 0;
    for (; i + 8 <= length; i += 8) {
      std::uint64_t chunk;
      std::memcpy(&chunk, in + i, 8);
      zero |= HasZeroByte(chunk);
      chunk = FoldAsciiCase8(chunk);
      std::memcpy(out + i, &chunk, 8);
    }
    if (i < length) {
      std::uint64_t chunk;
      std::memcpy(&chunk, in + length - 8, 8);
      zero |= HasZeroByte(chunk);
      chunk = FoldAsciiCase8(chunk);
      std::memcpy(out + length - 8, &chunk, 8);
    }
  } else if (length >= 4) {
    // Two 4-byte halves, overlapping when length < 8; the upper four bytes
    // of each chunk are 0xFF, so they neither count as 0 nor fold.
    std::uint32_t low, high;
    std::memcpy(&low, in, 4);
    std::memcpy(&high, in + length - 4, 4);
    std::uint64_t const pad = ~std::uint64_t{0xFFFFFFFFu};
    std::uint64_t const foldedLow = FoldAsciiCase8(pad | low);
    std::uint64_t const foldedHigh = FoldAsciiCase8(pad | high);
    zero = HasZeroByte(pad | low) || HasZeroByte(pad | high);
    low = static_cast<std::uint32_t>(foldedLow);
    high = static_cast<std::uint32_t>(foldedHigh);
    std::memcpy(out, &low, 4);
    std::memcpy(out + length - 4, &high, 4);
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      zero |= in[i] == 0;
      out[i] = FoldAsciiCase(in[i]);
    }
  }
  unsigned char* end = out + length;
  if (zero) {
    end = out;
    for (std::size_t i = 0; i < length; ++i) {
      *end++ = FoldAsciiCase(in[i]);
      if (in[i] == 0) *end++ = 0xFF;
    }
  }
  end[0] = 0;
  end[1] = 0;
  return static_cast<std::size_t>(end + 2 - out);
}

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

}  // namespace

// ---- Sorting steps ------------------------------------------------------------

class TVarlenSortCache::Work {
 public:
  Work(Key* keys, const detail::RecordArena& records, std::size_t valueSize)
      : keys_(keys), records_(records), valueSize_(valueSize) {}

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

  // One step on `b`, which holds kSmallBucket keys or more: splits it, or
  // finishes its keys that end within their shared prefix and reloads the
  // others, or skips the bytes that all its keys share. Keys left unfinished
  // come back in `out` as buckets of at least two keys; returns how many.
  // `reloaded` receives the run and its shared first 8 bytes when prefixes are
  // reloaded from the start of the keys (and is left alone otherwise).
  std::size_t step(const Bucket& b, Bucket* out, Reloaded* reloaded, bool& noted) {
    noted = false;
    Key* const first = keys_ + b.begin;
    Key* const last = keys_ + b.end;
    if (b.byte == kPrefixBytes) {
      if (b.depth == 0) {
        *reloaded = {b.begin, b.end, first->prefix()};
        noted = true;
      }
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
      if (end - start >= kSmallBucket) {
        out[children++] = {start, end, b.depth, b.byte + 1};
      } else if (end - start > 1) {
        comparisonSort(start, end, b.depth);
      }
      start = end;
    }
    return children;
  }

  // Sorts bucket `b` (at most kEagerBucket keys) outright. Depth-0 reloads
  // are noted in `reloaded`, which has room for kEagerStack more runs.
  void sortFully(const Bucket& b, detail::PodBuffer<Reloaded>& reloaded) {
    std::array<Bucket, kEagerStack> stack;
    std::array<Bucket, kMaxChildren> children;
    std::size_t depth = 0;
    stack[depth++] = b;
    while (depth > 0) {
      Bucket const top = stack[--depth];
      if (top.end - top.begin < kSmallBucket) {
        comparisonSort(top.begin, top.end, top.depth);
        continue;
      }
      bool noted = false;
      std::size_t const count = step(top, children.data(), reloaded.end(), noted);
      if (noted) reloaded.setSize(reloaded.size() + 1);
      for (std::size_t i = 0; i < count; ++i) stack[depth++] = children[i];
    }
  }

  // Sorts the keys [begin, end), which agree on their first `depth` bytes and
  // whose prefixes were loaded at `depth`, by comparing them whole. Their
  // prefixes settle most comparisons, so records are read only for runs of
  // keys whose prefixes tie.
  void comparisonSort(std::uint32_t begin, std::uint32_t end, std::uint64_t depth) {
    Key* const first = keys_ + begin;
    Key* const last = keys_ + end;
    InsertionSort(first, last, [](const Key& a, const Key& b) {
      return a.prefix() != b.prefix() ? a.prefix() < b.prefix() : a.record < b.record;
    });
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
  template <class Less>
  static void InsertionSort(Key* first, Key* last, Less less) {
    if (last - first > 16) {
      std::sort(first, last, less);
      return;
    }
    for (Key* i = first + 1; i < last; ++i) {
      Key const moving = *i;
      Key* j = i;
      for (; j > first && less(moving, j[-1]); --j) *j = j[-1];
      *j = moving;
    }
  }

  // Sorts keys with equal prefixes (at most kSmallBucket of them) by the rest
  // of their bytes, then length, then record offset.
  void sortTies(Key* first, Key* last, std::uint64_t depth) {
    std::array<Entry, kSmallBucket> entries;
    std::size_t const n = static_cast<std::size_t>(last - first);
    for (std::size_t i = 0; i < n; ++i) {
      View const v = view(first[i]);
      entries[i] = {first[i].prefix(), v.rest, v.length, first[i]};
    }
    auto const less = [depth](const Entry& a, const Entry& b) { return Less(a, b, depth); };
    if (n <= 16) {
      for (std::size_t i = 1; i < n; ++i) {
        Entry const moving = entries[i];
        std::size_t j = i;
        for (; j > 0 && less(moving, entries[j - 1]); --j) entries[j] = entries[j - 1];
        entries[j] = moving;
      }
    } else {
      std::sort(entries.begin(), entries.begin() + n, less);
    }
    for (std::size_t i = 0; i < n; ++i) first[i] = entries[i].key;
  }

  // A key with what comparing it needs, read once from its record.
  struct Entry {
    std::uint64_t prefix;
    const unsigned char* rest;
    std::uint64_t length;
    Key key;
  };

  // Key order of two keys that agree on their first `depth` bytes and whose
  // prefixes were loaded at `depth`; equal keys by record offset. The bytes
  // after the prefixes compare 8 at a time as big-endian numbers, each masked
  // to the shorter key. The zero padding of a prefix sorts a key that ends
  // within it no later than the keys it is a prefix of, and the lengths settle
  // such ties.
  static bool Less(const Entry& a, const Entry& b, std::uint64_t depth) {
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
    std::sort(first, ended, [](const Key& x, const Key& y) {
      return x.prefix() != y.prefix() ? x.prefix() < y.prefix() : x.record < y.record;
    });
    return ended;
  }

  Key* keys_;
  const detail::RecordArena& records_;
  std::size_t valueSize_;
};

// ---- The sorter ---------------------------------------------------------------

TVarlenSortCache::TVarlenSortCache() noexcept = default;

TVarlenSortCache::TVarlenSortCache(const TVarlenSortCache& other) = default;

TVarlenSortCache::TVarlenSortCache(TVarlenSortCache&& other) noexcept { swap(other); }

TVarlenSortCache& TVarlenSortCache::operator=(const TVarlenSortCache& other) {
  if (this != &other) {
    TVarlenSortCache copy(other);
    swap(copy);
  }
  return *this;
}

TVarlenSortCache& TVarlenSortCache::operator=(TVarlenSortCache&& other) noexcept {
  if (this != &other) {
    TVarlenSortCache taken(std::move(other));
    swap(taken);
  }
  return *this;
}

TVarlenSortCache::~TVarlenSortCache() = default;

void TVarlenSortCache::swap(TVarlenSortCache& other) noexcept {
  keys_.swap(other.keys_);
  records_.swap(other.records_);
  current_.swap(other.current_);
  pending_.swap(other.pending_);
  reloaded_.swap(other.reloaded_);
  name_.swap(other.name_);
  location_.swap(other.location_);
  std::swap(keyFieldLimit_, other.keyFieldLimit_);
  std::swap(valueSize_, other.valueSize_);
  std::swap(keyLimit_, other.keyLimit_);
  std::swap(keyBytesLimit_, other.keyBytesLimit_);
  std::swap(totalKeyBytesLimit_, other.totalKeyBytesLimit_);
  std::swap(totalKeyBytes_, other.totalKeyBytes_);
  firstByteCounts_.swap(other.firstByteCounts_);
  std::swap(firstPrefix_, other.firstPrefix_);
  std::swap(prefixDifference_, other.prefixDifference_);
  std::swap(cursor_, other.cursor_);
  std::swap(runBegin_, other.runBegin_);
  std::swap(runEnd_, other.runEnd_);
  std::swap(currentFields_, other.currentFields_);
  std::swap(keyState_, other.keyState_);
  std::swap(cursorState_, other.cursorState_);
  std::swap(initialised_, other.initialised_);
  std::swap(reverse_, other.reverse_);
  std::swap(sorted_, other.sorted_);
  std::swap(trimOnSort_, other.trimOnSort_);
}

std::string TVarlenSortCache::describe(const char* operation, const std::string& problem) const {
  std::string message = "TVarlenSortCache";
  if (!name_.empty()) message += " '" + name_ + "'";
  return message + ": " + operation + ": " + problem;
}

void TVarlenSortCache::fail(const char* operation, const std::string& problem) const {
  throw std::logic_error(describe(operation, problem));
}

void TVarlenSortCache::requireInitialised(const char* operation) const {
  if (!initialised_) fail(operation, "the sorter is not initialised (call Initialize first)");
}

void TVarlenSortCache::forgetOrder() noexcept {
  pending_.clear();
  sorted_ = false;
  cursorState_ = CursorState::kNone;
  runBegin_ = runEnd_ = 0;
}

void TVarlenSortCache::Clear(bool releaseMemory) {
  keys_.clear();
  records_.clear();
  current_.clear();
  reloaded_.clear();
  forgetOrder();
  name_.clear();
  location_.clear();
  keyFieldLimit_ = 0;
  valueSize_ = 0;
  totalKeyBytes_ = 0;
  firstByteCounts_.fill(0);
  firstPrefix_ = 0;
  prefixDifference_ = 0;
  cursor_ = 0;
  currentFields_ = 0;
  keyState_ = KeyState::kNone;
  initialised_ = false;
  reverse_ = false;
  trimOnSort_ = releaseMemory;
}

std::int32_t TVarlenSortCache::Initialize(unsigned long keyFields, unsigned long valueSize,
                                          std::string name, std::string location, bool reverse,
                                          bool /*unique*/, ProgressCallBack* /*progress*/) {
  if (!keys_.empty() || keyState_ != KeyState::kNone) {
    fail("Initialize", "the sorter holds keys (call Clear first)");
  }
  if (keyFields == 0 || valueSize == 0 || name.empty()) return 1;
  current_.reserveMore(kCurrentTail);
  name_ = std::move(name);
  location_ = std::move(location);
  keyFieldLimit_ = keyFields;
  valueSize_ = valueSize;
  reverse_ = reverse;
  current_.clear();
  initialised_ = true;
  forgetOrder();
  return 0;
}

void TVarlenSortCache::Reserve(std::size_t keys) {
  requireInitialised("Reserve");
  keys_.reserveExactly(std::min<std::uint64_t>(keys, keyLimit_));
}

void TVarlenSortCache::PrepareKey() {
  requireInitialised("PrepareKey");
  current_.clear();  // drops a key begun but never stored
  currentFields_ = 0;
  keyState_ = KeyState::kBuilding;
}

unsigned char* TVarlenSortCache::beginField(std::size_t count, const char* operation) {
  if (keyState_ != KeyState::kBuilding || currentFields_ >= keyFieldLimit_) {
    refuseField(operation);
  }
  current_.reserveMore(count + kCurrentTail);
  return current_.data() + current_.size();
}

void TVarlenSortCache::refuseField(const char* operation) const {
  requireInitialised(operation);
  if (keyState_ != KeyState::kBuilding) {
    fail(operation, keyState_ == KeyState::kFinished
                        ? "the key is already finished (call PrepareKey for a new key)"
                        : "no key is being built (call PrepareKey first)");
  }
  fail(operation, "the key already has the " + std::to_string(keyFieldLimit_) +
                      " key fields announced to Initialize");
}

void TVarlenSortCache::commitField(std::size_t count, const char* operation) {
  std::size_t const size = current_.size() + count;
  if (size > keyBytesLimit_ || totalKeyBytes_ + size > totalKeyBytesLimit_) {
    refuseLength(size, operation);
  }
  current_.setSize(size);
  ++currentFields_;
}

void TVarlenSortCache::refuseLength(std::size_t size, const char* operation) const {
  if (size > keyBytesLimit_) {
    throw std::length_error(describe(
        operation, "the key would exceed " + std::to_string(keyBytesLimit_) + " encoded bytes"));
  }
  throw std::length_error(describe(
      operation,
      "the keys would exceed " + std::to_string(totalKeyBytesLimit_) + " encoded bytes together"));
}

void TVarlenSortCache::AddFieldToKey(unsigned short const& value) {
  char const* const operation = "AddFieldToKey(unsigned short)";
  unsigned char* const out = beginField(2, operation);
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
  commitField(2, operation);
}

void TVarlenSortCache::AddFieldToKey(unsigned long const& value) {
  char const* const operation = "AddFieldToKey(unsigned long)";
  unsigned char* const out = beginField(8, operation);
  std::uint64_t const bigEndian = FromBigEndian(value);  // the swap is its own inverse
  std::memcpy(out, &bigEndian, 8);
  commitField(8, operation);
}

void TVarlenSortCache::AddFieldToKey_IgnoreCase(char const* text, unsigned short length) {
  char const* const operation = "AddFieldToKey_IgnoreCase";
  if (text == nullptr && length > 0) fail(operation, "text is null but length is not 0");
  unsigned char* const out = beginField(2 * std::size_t{length} + 2, operation);
  commitField(EncodeText(reinterpret_cast<const unsigned char*>(text), length, out), operation);
}

void TVarlenSortCache::FinishKey() {
  if (keyState_ != KeyState::kBuilding) {
    requireInitialised("FinishKey");
    fail("FinishKey", keyState_ == KeyState::kFinished
                          ? "the key is already finished"
                          : "no key is being built (call PrepareKey first)");
  }
  keyState_ = KeyState::kFinished;
}

void TVarlenSortCache::refuseStore(const char* value) const {
  char const* const operation = "StoreCurrentKeywithVal";
  requireInitialised(operation);
  if (keyState_ != KeyState::kFinished) fail(operation, "no finished key (call FinishKey first)");
  if (value == nullptr) fail(operation, "value is null");
  fail(operation,
       "the sorter already holds the most keys it can (" + std::to_string(keyLimit_) + ")");
}

void TVarlenSortCache::StoreCurrentKeywithVal(char* value) {
  char const* const operation = "StoreCurrentKeywithVal";
  if (keyState_ != KeyState::kFinished || value == nullptr || keys_.size() >= keyLimit_) {
    refuseStore(value);
  }
  std::size_t const length = current_.size();
  std::size_t const rest = length > kPrefixBytes ? length - kPrefixBytes : 0;
  std::size_t const recordBytes = valueSize_ + VarintSize(length) + rest;
  // Every growth happens before the first change, so a failed one leaves the
  // sorter as it was. A copied sorter holds its key without room for the
  // zero tail.
  keys_.reserveMore(1);
  current_.reserveMore(kCurrentTail);
  std::uint32_t offset;
  try {
    offset = records_.prepare(recordBytes);
  } catch (const std::length_error&) {
    throw std::length_error(describe(operation, "the records would exceed 4 GiB"));
  }
  // The prefix and the copy below read whole words: zeros past the key
  // keep them from reading what a longer key before it left there.
  std::memset(current_.data() + length, 0, kCurrentTail);
  unsigned char* out = records_.at(offset);
  if (valueSize_ == 4) {
    std::memcpy(out, value, 4);
  } else {
    std::memcpy(out, value, valueSize_);
  }
  out = PutVarint(out + valueSize_, length);
  CopyWords(out, current_.data() + kPrefixBytes, rest);
  records_.commit(recordBytes);
  Key key;
  key.setPrefix(LoadMasked(current_.data(), length));
  key.record = offset;
  keys_.pushUnchecked(key);
  if (keys_.size() == 1) firstPrefix_ = key.prefix();
  prefixDifference_ |= key.prefix() ^ firstPrefix_;
  ++firstByteCounts_[key.prefix() >> 56];
  totalKeyBytes_ += length;
  keyState_ = KeyState::kNone;
  if (sorted_) forgetOrder();
}

void TVarlenSortCache::restorePrefixes() noexcept {
  for (const Reloaded& run : reloaded_) {
    for (std::uint32_t i = run.begin; i < run.end; ++i) keys_[i].setPrefix(run.prefix);
  }
  reloaded_.clear();
}

void TVarlenSortCache::trimIfOversized() noexcept {
  std::uint64_t const held = keys_.capacity() * sizeof(Key) + records_.heldBytes();
  std::uint64_t const used = keys_.size() * sizeof(Key) + records_.usedBytes();
  if (held <= kTrimFloorBytes || held <= 4 * used) return;
  keys_.shrinkToFit();
  records_.releaseUnused();
}

void TVarlenSortCache::SortKeys() {
  requireInitialised("SortKeys");
  if (sorted_) return;  // sorted keys stay as they are, and so does reading
  restorePrefixes();
  if (trimOnSort_) {
    trimIfOversized();
    trimOnSort_ = false;
  }
  std::size_t const n = keys_.size();
  if (n >= 2) {
    Work work(keys_.data(), records_, valueSize_);
    Bucket const all{0, static_cast<std::uint32_t>(n), 0,
                     static_cast<unsigned>(std::countl_zero(prefixDifference_)) / 8};
    reloaded_.reserveMore(kEagerStack);
    if (n < kSmallBucket) {
      work.comparisonSort(0, all.end, 0);
    } else if (n <= kEagerBucket) {
      work.sortFully(all, reloaded_);
    } else {
      std::array<Bucket, kMaxChildren> children;
      bool noted = false;
      // The counts of the first bytes, kept while the keys were stored, save
      // the pass that would count them.
      std::array<std::uint32_t, 256> counts = firstByteCounts_;
      std::size_t const count = all.byte == 0
                                    ? work.split(all, counts, children.data())
                                    : work.step(all, children.data(), reloaded_.end(), noted);
      if (noted) reloaded_.setSize(reloaded_.size() + 1);
      try {
        for (std::size_t i = 0; i < count; ++i) pending_.emplace(children[i].begin, children[i]);
      } catch (...) {
        pending_.clear();  // unsorted; the next SortKeys starts again
        throw;
      }
    }
  }
  sorted_ = true;
  cursorState_ = CursorState::kNone;
  runBegin_ = runEnd_ = 0;
}

void TVarlenSortCache::finishSlot(std::size_t slot) {
  auto found = pending_.upper_bound(static_cast<std::uint32_t>(slot));
  if (found == pending_.begin()) return;
  --found;
  if (slot >= found->second.end) return;
  reloaded_.reserveMore(kEagerStack);
  // The bucket's node is kept in hand: it goes back into the map without an
  // allocation when a step must be undone or leaves one bucket behind.
  auto node = pending_.extract(found);
  Work work(keys_.data(), records_, valueSize_);
  std::array<Bucket, kMaxChildren> children;
  Bucket b = node.mapped();
  for (;;) {
    if (b.end - b.begin <= kEagerBucket) {
      work.sortFully(b, reloaded_);
      return;
    }
    bool noted = false;
    std::size_t const count = work.step(b, children.data(), reloaded_.end(), noted);
    if (noted) reloaded_.setSize(reloaded_.size() + 1);
    std::size_t next = count;
    for (std::size_t i = 0; i < count; ++i) {
      if (children[i].begin <= slot && slot < children[i].end) next = i;
    }
    if (count == 1 && next == count) {
      node.key() = children[0].begin;
      node.mapped() = children[0];
      pending_.insert(std::move(node));
      return;
    }
    std::size_t inserted = 0;
    try {
      for (; inserted < count; ++inserted) {
        if (inserted != next) pending_.emplace(children[inserted].begin, children[inserted]);
      }
    } catch (...) {
      // A split only permutes keys within `b`, so `b` as it was still
      // describes them; the children already noted are taken back.
      for (std::size_t i = 0; i < inserted; ++i) {
        if (i != next) pending_.erase(children[i].begin);
      }
      node.key() = b.begin;
      node.mapped() = b;
      pending_.insert(std::move(node));
      throw;
    }
    if (next == count) return;
    b = children[next];
  }
}

void TVarlenSortCache::reach(std::size_t slot) {
  finishSlot(slot);
  auto const after = pending_.upper_bound(static_cast<std::uint32_t>(slot));
  runEnd_ = after == pending_.end() ? keys_.size() : after->first;
  runBegin_ = after == pending_.begin() ? 0 : std::prev(after)->second.end;
}

std::size_t TVarlenSortCache::size() const { return keys_.size(); }

std::size_t TVarlenSortCache::memoryBytes() const {
  // A map node holds the key, the bucket and the tree's links and colour.
  constexpr std::size_t kPendingNodeBytes =
      sizeof(std::pair<const std::uint32_t, Bucket>) + 4 * sizeof(void*);
  auto heapText = [](const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
  };
  return keys_.capacity() * sizeof(Key) + records_.heldBytes() + current_.capacity() +
         pending_.size() * kPendingNodeBytes + reloaded_.capacity() * sizeof(Reloaded) +
         heapText(name_) + heapText(location_);
}

void TVarlenSortCache::SetReverse(bool reverse) {
  requireInitialised("SetReverse");
  reverse_ = reverse;
  cursorState_ = CursorState::kNone;
}

std::int32_t TVarlenSortCache::GetFirstVal(unsigned long position, int /*reserved*/, char*& value,
                                           bool /*unused*/) {
  if (!sorted_ || position >= keys_.size()) {
    cursorState_ = CursorState::kAtEnd;
    return 1;
  }
  std::size_t const slot = slotOf(position);
  if (slot < runBegin_ || slot >= runEnd_) reach(slot);
  cursor_ = position;
  cursorState_ = CursorState::kValid;
  value = valueAt(slot);
  return 0;
}

std::int32_t TVarlenSortCache::NextValAnywhere(int /*reserved*/, char*& value, bool /*unused*/) {
  // A valid cursor implies sorted keys.
  if (cursorState_ != CursorState::kValid) {
    if (sorted_ && !keys_.empty() && cursorState_ == CursorState::kNone) {
      fail("GetNextVal", "no GetFirstVal since the keys were sorted to continue from");
    }
    return 1;
  }
  if (cursor_ + 1 >= keys_.size()) {
    cursorState_ = CursorState::kAtEnd;
    return 1;
  }
  std::size_t const slot = slotOf(cursor_ + 1);
  if (slot < runBegin_ || slot >= runEnd_) reach(slot);
  ++cursor_;
  value = valueAt(slot);
  return 0;
}

}  // namespace I2
