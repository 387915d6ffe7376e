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
//   arena: | key 0 fields ... | key 1 fields ... | ... | current key ... |
//          ^keyStart_[0]      ^keyStart_[1]            ^keyStart_.back()
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
// the insertion index, the encoded length) by distributing them between keys_
// and a scratch array, most significant byte first:
//  - a large bucket is split around a pivot entry by the first byte in which
//    each entry differs from the pivot, and its value there, so a run of bytes
//    that most entries share costs one pass instead of one pass per byte;
//  - a medium bucket is split by its next byte;
//  - a small bucket is sorted by comparing whole keys;
//  - a bucket whose entries share all 8 bytes puts the keys that end within
//    them first (they are prefixes of the others), by length, and reloads the
//    next 8 bytes of the others.
// The insertion index breaks every tie, so the order is stable. Pending
// buckets live on an explicit stack, so long or equal keys cannot exhaust the
// call stack.

#include "I2/TVarlenSortCache.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace I2 {
namespace {

// Bytes of a key held inline in Key::prefix.
constexpr std::uint64_t kPrefixBytes = sizeof(Key::prefix);

// Buckets smaller than this are sorted by comparison: below it, clearing and
// scanning 256 counters costs more than a few dozen key comparisons.
constexpr std::size_t kSmallBucket = 48;

// Buckets at least this large are split around a pivot; its 4353 counters pay
// off only on large buckets.
constexpr std::size_t kPivotBucket = 4096;

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

// Returns the `count` bytes at `bytes` as a big-endian number, zero-padded to
// 8 bytes. Reads min(count, 8) bytes.
std::uint64_t LoadPrefix(const unsigned char* bytes, std::uint64_t count) {
  std::uint64_t raw = 0;
  if (count >= kPrefixBytes) {
    std::memcpy(&raw, bytes, kPrefixBytes);
  } else if (count > 0) {
    std::memcpy(&raw, bytes, count);
  }
  return FromBigEndian(raw);
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

// Number of 0 bytes in [bytes, bytes + count).
std::size_t CountZeroBytes(const unsigned char* bytes, std::size_t count) {
  std::size_t zeros = 0;
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, bytes + i, 8);
    // High bit of a byte set when the byte is nonzero; no sum carries over.
    std::uint64_t const nonzero = ((chunk & ~kHighBits) + ~kHighBits) | chunk;
    zeros += static_cast<std::size_t>(std::popcount(~nonzero & kHighBits));
  }
  for (; i < count; ++i) zeros += bytes[i] == 0;
  return zeros;
}

// Writes the folded [in, in + count), which holds no 0 byte, to `out`.
void FoldCopy(const unsigned char* in, std::size_t count, unsigned char* out) {
  std::size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    std::uint64_t chunk;
    std::memcpy(&chunk, in + i, 8);
    chunk = FoldAsciiCase8(chunk);
    std::memcpy(out + i, &chunk, 8);
  }
  for (; i < count; ++i) out[i] = FoldAsciiCase(in[i]);
}

// Read-only view of the encoded keys, by insertion index.
class EncodedKeys {
 public:
  EncodedKeys(const unsigned char* arena, const std::uint64_t* starts)
      : arena_(arena), starts_(starts) {}

  // The 8 bytes of the key of `k` from byte `depth` on, zero-padded.
  std::uint64_t prefixAt(const Key& k, std::uint64_t depth) const {
    return k.length > depth ? LoadPrefix(arena_ + starts_[k.index] + depth, k.length - depth) : 0;
  }

  // Key order of two entries whose keys agree on their first `depth` bytes and
  // whose prefixes were loaded at `depth`; equal keys by insertion index. The
  // zero padding of a prefix sorts a key that ends within it no later than
  // the keys it is a prefix of, and the lengths settle such ties.
  bool less(const Key& a, const Key& b, std::uint64_t depth) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    std::uint64_t const tail = depth + kPrefixBytes;
    if (a.length > tail && b.length > tail) {
      int const c = std::memcmp(arena_ + starts_[a.index] + tail, arena_ + starts_[b.index] + tail,
                                std::min(a.length, b.length) - tail);
      if (c != 0) return c < 0;
    }
    if (a.length != b.length) return a.length < b.length;
    return a.index < b.index;
  }

 private:
  const unsigned char* arena_;
  const std::uint64_t* starts_;
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

// Groups of entries by the first byte `b` in which their prefix differs from a
// pivot's and their value `v` there, numbered in key order: (b, v below the
// pivot's) for b = 0..7, the entries equal to the pivot, then (b, v above the
// pivot's) for b = 7..0. Group numbers have gaps; every group's entries share
// PivotGroupSharedBytes(group) bytes.
constexpr std::size_t kPivotEqual = 8 * 256;
constexpr std::size_t kPivotGroups = 17 * 256 + 1;

std::size_t PivotGroup(std::uint64_t prefix, std::uint64_t pivot) {
  std::uint64_t const diff = prefix ^ pivot;
  if (diff == 0) return kPivotEqual;
  unsigned const b = static_cast<unsigned>(std::countl_zero(diff)) / 8;
  unsigned const shift = 8 * (7 - b);
  unsigned const v = static_cast<unsigned>(prefix >> shift) & 0xFF;
  unsigned const p = static_cast<unsigned>(pivot >> shift) & 0xFF;
  return v < p ? b * 256 + v : kPivotEqual + 1 + (7 - b) * 256 + v;
}

unsigned PivotGroupSharedBytes(std::size_t group) {
  if (group < kPivotEqual) return static_cast<unsigned>(group / 256) + 1;
  if (group == kPivotEqual) return 8;
  return 8 - static_cast<unsigned>((group - kPivotEqual - 1) / 256);
}

// A run of entries, at [begin, end) of the entries or of the scratch array,
// whose keys agree on their first depth + byte bytes; prefixes loaded at depth.
struct Bucket {
  std::size_t begin;
  std::size_t end;
  std::uint64_t depth;
  unsigned byte;
  bool inScratch;
};

// Sorts the `count` entries at `entries` into key order, using `scratch` (room
// for `count` entries) as the second buffer. Returns whether some entry's
// prefix was reloaded from beyond the start of its key.
bool RadixSort(Key* entries, std::size_t count, Key* scratch, const EncodedKeys& keys) {
  if (count < 2) return false;
  bool reloaded = false;
  // Disjoint buckets of at least kSmallBucket entries: at most count / kSmallBucket.
  std::vector<Bucket> pending;
  std::vector<std::size_t> groupEnd;  // per pivot group; allocated on first use

  // Moves a finished run to `entries` if it sits in the scratch array.
  auto const settle = [&](std::size_t begin, std::size_t end, bool inScratch) {
    if (inScratch) std::copy(scratch + begin, scratch + end, entries + begin);
  };
  // Takes on a bucket just distributed to `dst`.
  auto const child = [&](Key* dst, std::size_t begin, std::size_t end, std::uint64_t depth,
                         unsigned byte, bool inScratch) {
    if (end - begin >= kSmallBucket) {
      pending.push_back({begin, end, depth, byte, inScratch});
    } else if (end > begin) {
      ComparisonSort(dst + begin, dst + end, depth, keys);
      settle(begin, end, inScratch);
    }
  };

  pending.push_back({0, count, 0, FirstDifferingByte(entries, entries + count), false});
  while (!pending.empty()) {
    Bucket b = pending.back();
    pending.pop_back();
    for (;;) {
      Key* const src = b.inScratch ? scratch : entries;
      Key* const dst = b.inScratch ? entries : scratch;
      std::size_t const n = b.end - b.begin;
      if (n < kSmallBucket) {
        ComparisonSort(src + b.begin, src + b.end, b.depth, keys);
        settle(b.begin, b.end, b.inScratch);
        break;
      }

      if (b.byte == kPrefixBytes) {
        // Keys that end within these 8 shared bytes go first, by length. A
        // stable split keeps the others in insertion order, so their reload
        // reads the arena front to back.
        std::uint64_t const next = b.depth + kPrefixBytes;
        std::size_t split = b.begin;
        for (const Key* k = src + b.begin; k < src + b.end; ++k) split += k->length <= next;
        std::size_t ended = b.begin, longer = split;
        for (const Key* k = src + b.begin; k < src + b.end; ++k) {
          dst[k->length <= next ? ended++ : longer++] = *k;
        }
        std::sort(dst + b.begin, dst + split, [](const Key& x, const Key& y) {
          return x.length != y.length ? x.length < y.length : x.index < y.index;
        });
        settle(b.begin, split, !b.inScratch);
        if (split == b.end) break;
        for (Key* k = dst + split; k < dst + b.end; ++k) k->prefix = keys.prefixAt(*k, next);
        reloaded = true;
        b = {split, b.end, next, FirstDifferingByte(dst + split, dst + b.end), !b.inScratch};
        continue;
      }

      if (n >= kPivotBucket) {
        std::uint64_t const pivot = src[b.begin + n / 2].prefix;
        groupEnd.assign(kPivotGroups, 0);
        for (const Key* k = src + b.begin; k < src + b.end; ++k) {
          ++groupEnd[PivotGroup(k->prefix, pivot)];
        }
        if (groupEnd[kPivotEqual] == n) {
          b.byte = kPrefixBytes;
          continue;
        }
        std::size_t offset = b.begin;
        for (std::size_t& g : groupEnd) offset = g = offset + g;  // now one past each group
        for (std::size_t i = b.end; i-- > b.begin;) {
          dst[--groupEnd[PivotGroup(src[i].prefix, pivot)]] = src[i];  // back to front: stable
        }
        // groupEnd[g] is now where group g begins.
        for (std::size_t g = 0; g < kPivotGroups; ++g) {
          std::size_t const stop = g + 1 < kPivotGroups ? groupEnd[g + 1] : b.end;
          child(dst, groupEnd[g], stop, b.depth, PivotGroupSharedBytes(g), !b.inScratch);
        }
        break;
      }

      unsigned const shift = 8 * (kPrefixBytes - 1 - b.byte);
      auto const digit = [shift](const Key& k) {
        return static_cast<std::size_t>(k.prefix >> shift) & 0xFF;
      };
      std::array<std::size_t, 256> counts{};
      for (const Key* k = src + b.begin; k < src + b.end; ++k) ++counts[digit(*k)];
      if (counts[digit(src[b.begin])] == n) {
        // All share this byte: skip every byte the whole bucket shares.
        b.byte = FirstDifferingByte(src + b.begin, src + b.end);
        continue;
      }
      std::array<std::size_t, 256> fill;
      std::size_t offset = b.begin;
      for (std::size_t d = 0; d < 256; ++d) {
        fill[d] = offset;
        offset += counts[d];
      }
      for (const Key* k = src + b.begin; k < src + b.end; ++k) dst[fill[digit(*k)]++] = *k;
      std::size_t start = b.begin;
      for (std::size_t d = 0; d < 256; ++d) {
        child(dst, start, fill[d], b.depth, b.byte + 1, !b.inScratch);
        start = fill[d];
      }
      break;
    }
  }
  return reloaded;
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
    std::vector<Key>().swap(keys_);
    std::vector<unsigned char>().swap(arena_);
    std::vector<std::uint64_t>().swap(keyStart_);
    std::vector<unsigned char>().swap(values_);
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
  name_ = std::move(name);
  location_ = std::move(location);
  keyFieldLimit_ = keyFields;
  valueSize_ = valueSize;
  reverse_ = reverse;
  arena_.clear();
  keyStart_.assign(1, 0);
  initialised_ = true;
  sorted_ = false;
  cursorValid_ = false;
  return 0;
}

void TVarlenSortCache::PrepareKey() {
  requireInitialised("PrepareKey");
  arena_.resize(keyStart_.back());  // drops a key begun but never stored
  currentFields_ = 0;
  keyState_ = KeyState::kBuilding;
}

unsigned char* TVarlenSortCache::growCurrentKey(std::size_t count, const char* operation) {
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
  std::size_t const old = arena_.size();
  if (old - keyStart_.back() + count > keyBytesLimit_) {
    throw std::length_error(describe(
        operation, "the key would exceed " + std::to_string(keyBytesLimit_) + " encoded bytes"));
  }
  arena_.resize(old + count);
  ++currentFields_;
  return arena_.data() + old;
}

void TVarlenSortCache::AddFieldToKey(unsigned short const& value) {
  StoreBigEndian<2>(value, growCurrentKey(2, "AddFieldToKey(unsigned short)"));
}

void TVarlenSortCache::AddFieldToKey(unsigned long const& value) {
  StoreBigEndian<8>(value, growCurrentKey(8, "AddFieldToKey(unsigned long)"));
}

void TVarlenSortCache::AddFieldToKey_IgnoreCase(char const* text, unsigned short length) {
  char const* const operation = "AddFieldToKey_IgnoreCase";
  if (text == nullptr && length > 0) fail(operation, "text is null but length is not 0");
  auto const* const in = reinterpret_cast<const unsigned char*>(text);
  std::size_t const zeros = length > 0 ? CountZeroBytes(in, length) : 0;
  unsigned char* out = growCurrentKey(std::size_t{length} + zeros + 2, operation);
  if (zeros == 0) {
    if (length > 0) FoldCopy(in, length, out);
    out += length;
  } else {
    for (std::size_t i = 0; i < length; ++i) {
      *out++ = FoldAsciiCase(in[i]);
      if (in[i] == 0) *out++ = 0xFF;
    }
  }
  out[0] = 0;
  out[1] = 0;
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
  std::uint64_t const start = keyStart_.back();
  std::uint64_t const length = arena_.size() - start;
  Key const key{LoadPrefix(arena_.data() + start, length), static_cast<std::uint32_t>(keys_.size()),
                static_cast<std::uint32_t>(length)};
  std::size_t const oldValues = values_.size();
  values_.insert(values_.end(), value, value + valueSize_);
  try {
    keyStart_.push_back(arena_.size());
    try {
      keys_.push_back(key);
    } catch (...) {
      keyStart_.pop_back();
      throw;
    }
  } catch (...) {
    values_.resize(oldValues);
    throw;
  }
  keyState_ = KeyState::kNone;
  sorted_ = false;
  cursorValid_ = false;
}

void TVarlenSortCache::SortKeys() {
  requireInitialised("SortKeys");
  if (sorted_) return;
  if (!prefixesAtKeyStart_) {
    for (Key& k : keys_) k.prefix = LoadPrefix(arena_.data() + keyStart_[k.index], k.length);
    prefixesAtKeyStart_ = true;
  }
  if (keys_.size() > 1) {
    std::vector<Key> scratch(keys_.size());
    prefixesAtKeyStart_ = !RadixSort(keys_.data(), keys_.size(), scratch.data(),
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
