// Key encoding
//
// Every key is encoded once, field by field as it is added, into bytes whose
// memcmp order (then length: a shorter prefix first) is the key order. The
// encoded keys lie back to back in one arena; keyStart_[i] is where key i
// begins and keyStart_[i + 1] where it ends.
//
//   u16 field   2 bytes, big-endian                    0x1234 -> 12 34
//   u64 field   8 bytes, big-endian                    5      -> 00 .. 00 05
//   text field  bytes with A-Z folded to a-z,          "Ab"   -> 61 62 00 00
//               each 00 escaped as 00 FF,              "a\0"  -> 61 00 FF 00 00
//               terminated by 00 00                    ""     -> 00 00
//
//   arena: | key 0 fields ... | key 1 fields ... | ... | current key ... | 8 zeros |
//          ^keyStart_[0]      ^keyStart_[1]            ^keyStart_.back()
//
// Key starts are 32-bit offsets, so all keys together hold at most 2^32 - 1
// encoded bytes. The 8 zero bytes past the end (kept in the arena's capacity)
// let every read of 8 key bytes load a whole word and mask off what lies
// beyond the key.
//
// The terminator 00 00 sorts below any text byte (01..FF) and below an escaped
// NUL (00 FF), so a text sorts before every longer text it is a prefix of, and
// the bytes after it (the next field) only decide between equal texts. Numeric
// fields have a fixed width, so the fields of one key line up with the same
// fields of the other keys.
//
// Sort
//
// SortKeys orders 16-byte Key entries (8 encoded bytes as a big-endian number,
// the insertion index, the encoded length) in place, most significant byte
// first, without a second array:
//  - a bucket is split by its next byte: the entries are counted per byte
//    value, then each is swapped straight into its group's next free slot;
//    bytes the whole bucket shares are skipped without a pass;
//  - a small bucket is sorted by comparing whole keys, 8 bytes at a time;
//  - a bucket whose entries share all 8 bytes puts the keys that end within
//    them first (they are prefixes of the others), by length, and reloads the
//    next 8 bytes of the others.
// The insertion index breaks every tie, so the order is stable although the
// distribution is not. Pending buckets live on an explicit stack, so long or
// equal keys cannot exhaust the call stack.

#include "I2/TVarlenSortCache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

namespace I2 {
namespace {

// Bytes of a key held inline in Key::prefix.
constexpr std::uint64_t kPrefixBytes = sizeof(Key::prefix);

// Buckets smaller than this are sorted by comparison: below it, clearing and
// scanning 256 counters costs more than a few dozen key comparisons.
constexpr std::size_t kSmallBucket = 48;

constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

std::uint64_t FromBigEndian(std::uint64_t raw) {
  if constexpr (std::endian::native == std::endian::big) {
    return raw;
  } else {
#if defined(__GNUC__)
    return __builtin_bswap64(raw);
#else
    std::uint64_t swapped = 0;
    for (int i = 0; i < 8; ++i, raw >>= 8) swapped = (swapped << 8) | (raw & 0xFF);
    return swapped;
#endif
  }
}

// Writes `value` as `N` big-endian bytes at `out`.
template <std::size_t N>
void StoreBigEndian(std::uint64_t value, unsigned char* out) {
  for (std::size_t i = 0; i < N; ++i) {
    out[i] = static_cast<unsigned char>(value >> (8 * (N - 1 - i)));
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
// `count` on (when count < 8) cleared. Always reads 8 bytes, which the arena's
// zero tail keeps inside the buffer.
std::uint64_t LoadMasked(const unsigned char* bytes, std::uint64_t count) {
  std::uint64_t raw;
  std::memcpy(&raw, bytes, kPrefixBytes);
  std::uint64_t const value = FromBigEndian(raw);
  return count >= kPrefixBytes ? value : value & ~(~std::uint64_t{0} >> (8 * count));
}

void Prefetch(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// Read-only view of the encoded keys, by insertion index.
class EncodedKeys {
 public:
  EncodedKeys(const unsigned char* arena, const std::uint32_t* starts)
      : arena_(arena), starts_(starts) {}

  const unsigned char* bytes(const Key& k) const { return arena_ + starts_[k.index]; }
  const std::uint32_t* start(const Key& k) const { return starts_ + k.index; }

  // The 8 bytes of the key of `k` from byte `depth` on, zero-padded.
  std::uint64_t prefixAt(const Key& k, std::uint64_t depth) const {
    return k.length > depth ? LoadMasked(bytes(k) + depth, k.length - depth) : 0;
  }

  // Key order of two entries whose keys agree on their first `depth` bytes and
  // whose prefixes were loaded at `depth`; equal keys by insertion index. The
  // bytes after the prefixes compare 8 at a time as big-endian numbers, each
  // masked to the shorter key. The zero padding of a prefix sorts a key that
  // ends within it no later than the keys it is a prefix of, and the lengths
  // settle such ties.
  bool less(const Key& a, const Key& b, std::uint64_t depth) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    std::uint64_t const common = std::min(a.length, b.length);
    std::uint64_t offset = depth + kPrefixBytes;
    if (offset < common) {
      const unsigned char* const pa = bytes(a);
      const unsigned char* const pb = bytes(b);
      for (; offset < common; offset += kPrefixBytes) {
        std::uint64_t const x = LoadMasked(pa + offset, common - offset);
        std::uint64_t const y = LoadMasked(pb + offset, common - offset);
        if (x != y) return x < y;
      }
    }
    if (a.length != b.length) return a.length < b.length;
    return a.index < b.index;
  }

 private:
  const unsigned char* arena_;
  const std::uint32_t* starts_;
};

// Sorts [begin, end), whose keys agree on their first `depth` bytes and whose
// prefixes were loaded at `depth`, into key order.
void ComparisonSort(Key* begin, Key* end, std::uint64_t depth, const EncodedKeys& keys) {
  auto const less = [&](const Key& a, const Key& b) { return keys.less(a, b, depth); };
  if (end - begin <= 16) {
    for (Key* i = begin + 1; i < end; ++i) {
      Key const moving = *i;
      Key* j = i;
      for (; j > begin && less(moving, j[-1]); --j) *j = j[-1];
      *j = moving;
    }
  } else {
    std::sort(begin, end, less);
  }
}

// Index of the first byte, counted from the most significant, in which some
// prefix of [begin, end) differs from the first one; 8 when all are equal.
unsigned FirstDifferingByte(const Key* begin, const Key* end) {
  std::uint64_t diff = 0;
  for (const Key* k = begin; k < end; ++k) diff |= k->prefix ^ begin->prefix;
  return static_cast<unsigned>(std::countl_zero(diff)) / 8;
}

// Moves every entry of [entries + head[0], entries + end[groups - 1]) into
// its group in place: group g ends up at [head[g], end[g]) as given, and
// head[g] == end[g] afterwards. Each entry is moved once, along the cycle of
// the entries it displaces.
template <class GroupOf>
void DistributeInPlace(Key* entries, std::size_t* head, const std::size_t* end, std::size_t groups,
                       GroupOf groupOf) {
  for (std::size_t g = 0; g < groups; ++g) {
    while (head[g] < end[g]) {
      Key moving = entries[head[g]];
      std::size_t d = groupOf(moving);
      while (d != g) {
        std::swap(moving, entries[head[d]++]);
        d = groupOf(moving);
      }
      entries[head[g]++] = moving;
    }
  }
}

// A run of entries [begin, end) whose keys agree on their first depth + byte
// bytes; prefixes loaded at depth.
struct Bucket {
  std::size_t begin;
  std::size_t end;
  std::uint64_t depth;
  unsigned byte;
};

// Sorts the `count` entries at `entries` into key order in place. Returns
// whether some entry's prefix was reloaded from beyond the start of its key.
bool RadixSort(Key* entries, std::size_t count, const EncodedKeys& keys) {
  if (count < 2) return false;
  bool reloaded = false;
  // Disjoint buckets of at least kSmallBucket entries: at most count / kSmallBucket.
  std::vector<Bucket> pending;

  auto const child = [&](std::size_t begin, std::size_t end, std::uint64_t depth, unsigned byte) {
    if (end - begin >= kSmallBucket) {
      pending.push_back({begin, end, depth, byte});
    } else if (end - begin > 1) {
      ComparisonSort(entries + begin, entries + end, depth, keys);
    }
  };

  pending.push_back({0, count, 0, FirstDifferingByte(entries, entries + count)});
  while (!pending.empty()) {
    Bucket b = pending.back();
    pending.pop_back();
    for (;;) {
      Key* const first = entries + b.begin;
      Key* const last = entries + b.end;
      std::size_t const n = b.end - b.begin;
      if (n < kSmallBucket) {
        ComparisonSort(first, last, b.depth, keys);
        break;
      }

      if (b.byte == kPrefixBytes) {
        // Keys that end within these 8 shared bytes go first, by length and
        // insertion index; the others reload their next 8 bytes.
        std::uint64_t const next = b.depth + kPrefixBytes;
        Key* const split = std::partition(first, last, [next](const Key& k) {
          return k.length <= next;
        });
        std::sort(first, split, [](const Key& x, const Key& y) {
          return x.length != y.length ? x.length < y.length : x.index < y.index;
        });
        if (split == last) break;
        // Loads reach the arena in sorted, not insertion, order: fetch the
        // key starts and then the key bytes a few entries ahead.
        std::size_t const m = static_cast<std::size_t>(last - split);
        for (std::size_t i = 0; i < m; ++i) {
          if (i + 16 < m) Prefetch(keys.start(split[i + 16]));
          if (i + 8 < m) Prefetch(keys.bytes(split[i + 8]) + next);
          split[i].prefix = keys.prefixAt(split[i], next);
        }
        reloaded = true;
        b = {static_cast<std::size_t>(split - entries), b.end, next,
             FirstDifferingByte(split, last)};
        continue;
      }

      unsigned const shift = 8 * (kPrefixBytes - 1 - b.byte);
      auto const digit = [shift](const Key& k) {
        return static_cast<std::size_t>(k.prefix >> shift) & 0xFF;
      };
      std::array<std::size_t, 256> ends{};
      for (const Key* k = first; k < last; ++k) ++ends[digit(*k)];
      if (ends[digit(*first)] == n) {
        // All share this byte: skip every byte the whole bucket shares.
        b.byte = FirstDifferingByte(first, last);
        continue;
      }
      std::array<std::size_t, 256> heads;
      std::size_t offset = b.begin;
      for (std::size_t d = 0; d < 256; ++d) {
        heads[d] = offset;
        offset += ends[d];
        ends[d] = offset;
      }
      DistributeInPlace(entries, heads.data(), ends.data(), 256, digit);
      std::size_t start = b.begin;
      for (std::size_t d = 0; d < 256; ++d) {
        child(start, ends[d], b.depth, b.byte + 1);
        start = ends[d];
      }
      break;
    }
  }
  return reloaded;
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

}  // namespace

TVarlenSortCache::TVarlenSortCache() = default;

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

void TVarlenSortCache::Clear(bool releaseMemory) {
  if (releaseMemory) {
    keys_.release();
    arena_.release();
    keyStart_.release();
    values_.release();
    std::string().swap(name_);
    std::string().swap(location_);
  } else {
    keys_.clear();
    arena_.clear();
    keyStart_.clear();
    values_.clear();
    name_.clear();
    location_.clear();
  }
  keyFieldLimit_ = 0;
  valueSize_ = 0;
  cursor_ = 0;
  currentFields_ = 0;
  keyState_ = KeyState::kNone;
  initialised_ = false;
  reverse_ = false;
  sorted_ = false;
  cursorValid_ = false;
  prefixesAtKeyStart_ = true;
}

std::int32_t TVarlenSortCache::Initialize(unsigned long keyFields, unsigned long valueSize,
                                          std::string name, std::string location, bool reverse,
                                          bool /*unique*/, ProgressCallBack* /*progress*/) {
  if (!keys_.empty() || keyState_ != KeyState::kNone) {
    fail("Initialize", "the sorter holds keys (call Clear first)");
  }
  if (keyFields == 0 || valueSize == 0 || name.empty()) return 1;
  arena_.reserveMore(kArenaTail);
  keyStart_.reserveMore(1);
  name_ = std::move(name);
  location_ = std::move(location);
  keyFieldLimit_ = keyFields;
  valueSize_ = valueSize;
  reverse_ = reverse;
  truncateArena(0);
  keyStart_.clear();
  keyStart_.pushUnchecked(0);
  initialised_ = true;
  sorted_ = false;
  cursorValid_ = false;
  return 0;
}

void TVarlenSortCache::truncateArena(std::size_t size) {
  arena_.setSize(size);
  std::memset(arena_.data() + size, 0, kArenaTail);
}

void TVarlenSortCache::PrepareKey() {
  requireInitialised("PrepareKey");
  std::size_t const start = keyStart_[keyStart_.size() - 1];
  if (arena_.size() != start) truncateArena(start);  // drops a key begun but never stored
  currentFields_ = 0;
  keyState_ = KeyState::kBuilding;
}

unsigned char* TVarlenSortCache::beginField(std::size_t count, const char* operation) {
  requireInitialised(operation);
  if (keyState_ != KeyState::kBuilding) {
    fail(operation, keyState_ == KeyState::kFinished
                        ? "the key is already finished (call PrepareKey for a new key)"
                        : "no key is being built (call PrepareKey first)");
  }
  if (currentFields_ >= keyFieldLimit_) {
    fail(operation, "the key already has the " + std::to_string(keyFieldLimit_) +
                        " key fields announced to Initialize");
  }
  arena_.reserveMore(count + kArenaTail);
  return arena_.data() + arena_.size();
}

void TVarlenSortCache::commitField(std::size_t count, const char* operation) {
  std::size_t const old = arena_.size();
  std::size_t const size = old + count;
  if (size - keyStart_[keyStart_.size() - 1] > keyBytesLimit_) {
    truncateArena(old);
    throw std::length_error(describe(
        operation, "the key would exceed " + std::to_string(keyBytesLimit_) + " encoded bytes"));
  }
  if (size > arenaLimit_) {
    truncateArena(old);
    throw std::length_error(describe(operation, "the keys would exceed " +
                                                    std::to_string(arenaLimit_) +
                                                    " encoded bytes together"));
  }
  truncateArena(size);
  ++currentFields_;
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
  requireInitialised("FinishKey");
  if (keyState_ != KeyState::kBuilding) {
    fail("FinishKey", keyState_ == KeyState::kFinished
                          ? "the key is already finished"
                          : "no key is being built (call PrepareKey first)");
  }
  keyState_ = KeyState::kFinished;
}

void TVarlenSortCache::StoreCurrentKeywithVal(char* value) {
  char const* const operation = "StoreCurrentKeywithVal";
  requireInitialised(operation);
  if (keyState_ != KeyState::kFinished) fail(operation, "no finished key (call FinishKey first)");
  if (value == nullptr) fail(operation, "value is null");
  if (keys_.size() >= keyLimit_) {
    fail(operation,
         "the sorter already holds the most keys it can (" + std::to_string(keyLimit_) + ")");
  }
  // Every growth happens before the first change, so a failed one leaves the
  // sorter as it was.
  keys_.reserveMore(1);
  keyStart_.reserveMore(1);
  values_.reserveMore(valueSize_);
  std::size_t const start = keyStart_[keyStart_.size() - 1];
  std::size_t const length = arena_.size() - start;
  keys_.pushUnchecked({LoadMasked(arena_.data() + start, length),
                       static_cast<std::uint32_t>(keys_.size()),
                       static_cast<std::uint32_t>(length)});
  keyStart_.pushUnchecked(static_cast<std::uint32_t>(arena_.size()));
  unsigned char* const slot = values_.data() + values_.size();
  if (valueSize_ == 4) {
    std::memcpy(slot, value, 4);
  } else if (valueSize_ == 8) {
    std::memcpy(slot, value, 8);
  } else {
    std::memcpy(slot, value, valueSize_);
  }
  values_.setSize(values_.size() + valueSize_);
  keyState_ = KeyState::kNone;
  sorted_ = false;
  cursorValid_ = false;
}

void TVarlenSortCache::SortKeys() {
  requireInitialised("SortKeys");
  if (sorted_) return;
  if (!prefixesAtKeyStart_) {
    for (Key& k : keys_) k.prefix = LoadMasked(arena_.data() + keyStart_[k.index], k.length);
    prefixesAtKeyStart_ = true;
  }
  if (keys_.size() > 1) {
    prefixesAtKeyStart_ = !RadixSort(keys_.data(), keys_.size(),
                                     EncodedKeys(arena_.data(), keyStart_.data()));
  }
  sorted_ = true;
  cursorValid_ = false;
}

void TVarlenSortCache::requireReadable(const char* operation) const {
  requireInitialised(operation);
  if (!sorted_) fail(operation, "the keys are not in order (call SortKeys after storing keys)");
}

char* TVarlenSortCache::valueAtPosition(std::uint64_t position) {
  std::uint64_t const slot = reverse_ ? keys_.size() - 1 - position : position;
  return reinterpret_cast<char*>(values_.data() + keys_[slot].index * valueSize_);
}

std::int32_t TVarlenSortCache::GetFirstVal(unsigned long position, int /*reserved*/, char*& value,
                                           bool /*unused*/) {
  requireReadable("GetFirstVal");
  if (position >= keys_.size()) {
    cursorValid_ = false;
    return 1;
  }
  cursor_ = position;
  cursorValid_ = true;
  value = valueAtPosition(position);
  return 0;
}

std::int32_t TVarlenSortCache::GetNextVal(int /*reserved*/, char*& value, bool /*unused*/) {
  requireReadable("GetNextVal");
  if (!cursorValid_) fail("GetNextVal", "no successful GetFirstVal to continue from");
  if (cursor_ + 1 >= keys_.size()) {
    cursor_ = keys_.size();
    return 1;
  }
  value = valueAtPosition(++cursor_);
  return 0;
}

}  // namespace I2
