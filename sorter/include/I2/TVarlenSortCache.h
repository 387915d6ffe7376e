// I2::TVarlenSortCache: an in-memory sorter of variable-length keys, each
// stored with a value of fixed size, that hands the values back in key order.
//
// Use, in this order:
//   Initialize(keyFields, valueSize, name, location, reverse, ...)
//   Reserve(expected number of keys)                      (optional)
//   for each key: PrepareKey(); AddFieldToKey...(); FinishKey();
//                 StoreCurrentKeywithVal(value)
//   SortKeys()
//   GetFirstVal(position, ...), then GetNextVal(...) until it returns nonzero.
// Clear empties the sorter; Initialize must follow before new keys are added.
//
// Key order: key fields compare one after another in the order in which they
// were added. Numeric fields compare as unsigned values of their width. Text
// fields fold ASCII 'A'-'Z' to 'a'-'z' and then compare as unsigned bytes, all
// `length` bytes counting (an embedded NUL is an ordinary byte); a text or a
// key that is a prefix of another sorts first. Equal keys keep their insertion
// order. The reverse flag reverses the whole order, so in a reversed sort
// equal keys come in reverse insertion order.
//
// Order on demand: SortKeys only splits the keys by their first differing
// byte. Reading a position finishes the order of the part of the keys that
// holds it (about as many keys as a page, not the whole split) and remembers
// it, so a first page costs little more than storing the keys, and reading
// every position in turn costs about one full sort.
//
// Positions count from 0: GetFirstVal(0, ...) delivers the first key of the
// sorted order and GetFirstVal(p, ...) reaches position p directly.
//
// Reading where there is no key is not an error: GetFirstVal and GetNextVal
// return nonzero on a sorter that was never initialised, was cleared, holds
// no key, or holds keys stored since the last SortKeys (they have no order
// yet), and past the last key. Misuse throws std::logic_error and leaves the
// sorter unchanged: a field added without PrepareKey or past the announced
// count, a value stored before FinishKey, Initialize while keys are held,
// building keys before Initialize, and GetNextVal on sorted keys with no
// GetFirstVal to continue from since the keys were sorted or SetReverse
// was called (a SortKeys on sorted keys changes nothing, not even where
// reading stands).
//
// Memory: Clear keeps the buffers for the next sort, which then stores its
// keys without asking the allocator again. A SortKeys after Clear(true) gives
// back what its keys leave unused when they need less than a quarter of what
// is held, so one huge sort does not pin its memory for every small one after
// it; after Clear(false) the buffers are kept whole. The destructor gives
// everything back.
//
// Failure: an allocation that fails throws std::bad_alloc and leaves the
// sorter as it was before the call (a key under construction included).
//
// Value semantics: copies are deep and independent; a move is cheap, never
// throws, and leaves the source empty and uninitialised (usable again after
// Initialize).
//
// Thread safety: none. One sorter serves one thread at a time; reads change
// its internal state too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>

#include "I2/detail/PodBuffer.h"
#include "I2/detail/RecordArena.h"
#include "IdxUtilsExport.h"

namespace I2 {

// One stored key as the sorter orders it: 8 bytes of its encoded form, and the
// offset of its record, which holds the value, the key's length and the rest
// of its bytes. Records lie in insertion order, so the offset also breaks
// ties between equal keys.
struct Key {
  // 8 encoded bytes as a big-endian number, held as bytes so that a Key takes
  // 12 bytes; zero-padded past the key's end. Taken from the start of the key
  // when it is stored; a sort may reload it from further on.
  unsigned char prefixBytes[8] = {};
  std::uint32_t record = 0;

  std::uint64_t prefix() const {
    std::uint64_t value;
    std::memcpy(&value, prefixBytes, sizeof value);
    return value;
  }
  void setPrefix(std::uint64_t value) { std::memcpy(prefixBytes, &value, sizeof value); }
};
static_assert(sizeof(Key) == 12);

// Progress report of a long-running sorter operation; the sorter never calls
// it during the work that this library does, but the signature is kept so
// callers can pass one.
class IDXUTILS_EXPORT ProgressCallBack {
 public:
  virtual ~ProgressCallBack() = default;
  virtual void Progress(std::uint64_t done, std::uint64_t total) = 0;
};

class IDXUTILS_EXPORT TVarlenSortCache {
 public:
  // A sorter without keys, not yet initialised.
  TVarlenSortCache() noexcept;
  TVarlenSortCache(const TVarlenSortCache& other);
  TVarlenSortCache(TVarlenSortCache&& other) noexcept;
  TVarlenSortCache& operator=(const TVarlenSortCache& other);
  TVarlenSortCache& operator=(TVarlenSortCache&& other) noexcept;
  ~TVarlenSortCache();
  void swap(TVarlenSortCache& other) noexcept;

  // Removes every key and value; the sorter must be initialised again before
  // it takes keys. The buffers are kept for the next sort; with
  // `releaseMemory` that sort gives back what it leaves unused when it needs
  // less than a quarter of them (see Memory above).
  void Clear(bool releaseMemory);

  // Prepares the sorter for keys of at most `keyFields` key fields, each
  // stored with `valueSize` bytes of value. `name` and `location` identify the
  // sort (kept for diagnostics; this sorter works in memory). Returns 0 when
  // ready, nonzero when the arguments cannot be served: no key fields, a value
  // size of 0, or an empty name. `progress` may be null. Throws
  // std::logic_error while the sorter holds keys or a key under construction.
  std::int32_t Initialize(unsigned long keyFields, unsigned long valueSize, std::string name,
                          std::string location, bool reverse, bool unique,
                          ProgressCallBack* progress);

  // Makes room for `keys` more keys, so that storing them does not grow the
  // key array past what they need. Optional; needs Initialize first.
  void Reserve(std::size_t keys);

  // Starts a new, empty current key, dropping one that was not stored. A key
  // may hold at most 4294967295 encoded bytes (std::length_error past that).
  void PrepareKey();

  // Appends a numeric key field to the current key.
  void AddFieldToKey(unsigned short const& value);
  void AddFieldToKey(unsigned long const& value);

  // Appends a text key field of `length` bytes at `text` (NUL bytes included)
  // that compares without regard to ASCII case. `text` may be null only when
  // `length` is 0.
  void AddFieldToKey_IgnoreCase(char const* text, unsigned short length);

  // Closes the current key; it is stored by the next StoreCurrentKeywithVal.
  void FinishKey();

  // Stores the closed key with a copy of the `valueSize` bytes at `value`. A
  // sorter holds at most 4294967295 keys, its keys at most 4294967295 encoded
  // bytes together, and its records (values and keys past their first 8
  // bytes) at most 4 GiB (std::length_error past that, from the field or key
  // that would cross it).
  void StoreCurrentKeywithVal(char* value);

  // Splits the stored keys towards key order; reading finishes the order
  // where it reads (see Order on demand above).
  void SortKeys();

  // Reads the stored keys in the other direction from now on, as if they had
  // been sorted with the other reverse flag (equal keys included): the same
  // as sorting them again, without the work. Needs Initialize; may follow
  // SortKeys or precede it.
  void SetReverse(bool reverse);

  // Sets `value` to the value bytes of the key at `position` of the sorted
  // order and returns 0, or returns nonzero when there is no such key. The
  // pointer stays valid until the next call that changes the keys (Clear,
  // Initialize, storing a key) or the sorter is destroyed.
  std::int32_t GetFirstVal(unsigned long position, int reserved, char*& value, bool unused);

  // Moves to the next key of the sorted order: sets `value` and returns 0, or
  // returns nonzero after the last key and when there are no sorted keys.
  std::int32_t GetNextVal(int reserved, char*& value, bool unused) {
    // Within the finished run around the cursor a read is a lookup.
    if (cursorState_ == CursorState::kValid && cursor_ + 1 < keys_.size()) {
      std::size_t const slot = slotOf(cursor_ + 1);
      if (slot >= runBegin_ && slot < runEnd_) {
        ++cursor_;
        value = valueAt(slot);
        return 0;
      }
    }
    return NextValAnywhere(reserved, value, unused);
  }

  // Number of stored keys.
  std::size_t size() const;

  // Bytes of heap that the sorter holds now: its key array, records and
  // work buffers at their capacity, kept buffers included (see Memory above).
  std::size_t memoryBytes() const;

 private:
  friend class TVarlenSortCacheTestPeer;  // lowers the limits in tests

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
  class Work;  // the sorting steps over the key array and the records

  // Most keys one sorter holds: key positions are 32-bit.
  static constexpr std::uint64_t kMaxKeys = 0xFFFFFFFFu;
  // Longest encoded key.
  static constexpr std::uint64_t kMaxKeyBytes = 0xFFFFFFFFu;
  // Most encoded bytes of all keys together.
  static constexpr std::uint64_t kMaxTotalKeyBytes = 0xFFFFFFFFu;
  // Zero bytes kept past the end of the current key, so that an 8-byte load
  // at any of its bytes stays inside the buffer and reads defined bytes.
  static constexpr std::size_t kCurrentTail = 8;

  enum class KeyState : std::uint8_t { kNone, kBuilding, kFinished };
  // Where reading stands: no GetFirstVal since the sort, past the end (or no
  // key), or at cursor_.
  enum class CursorState : std::uint8_t { kNone, kAtEnd, kValid };

  std::string describe(const char* operation, const std::string& problem) const;
  [[noreturn]] void fail(const char* operation, const std::string& problem) const;
  void requireInitialised(const char* operation) const;
  // Checks that a field may be added and makes room for up to `count`
  // encoded bytes (and the zero tail) at the end of the current key; returns
  // where they go.
  unsigned char* beginField(std::size_t count, const char* operation);
  [[noreturn]] void refuseField(const char* operation) const;
  // Takes the `count` bytes written at the end of the current key into it, or
  // throws std::length_error (leaving the key as it was) when the key or all
  // keys together would grow past their limit.
  void commitField(std::size_t count, const char* operation);
  [[noreturn]] void refuseLength(std::size_t size, const char* operation) const;
  [[noreturn]] void refuseStore(const char* value) const;
  void forgetOrder() noexcept;
  void restorePrefixes() noexcept;
  void trimIfOversized() noexcept;
  // Finishes the order of the keys at `slot` of the key array.
  void finishSlot(std::size_t slot);
  // Finishes `slot` and notes the run of finished slots around it.
  void reach(std::size_t slot);
  // GetNextVal where the next key may still need finishing, or there is none.
  std::int32_t NextValAnywhere(int reserved, char*& value, bool unused);
  std::size_t slotOf(std::uint64_t position) const {
    return reverse_ ? keys_.size() - 1 - position : position;
  }
  char* valueAt(std::size_t slot) {
    return reinterpret_cast<char*>(records_.at(keys_[slot].record));
  }

  detail::PodBuffer<Key> keys_;               // one per stored key; ordered by SortKeys and reads
  detail::RecordArena records_;               // value, length and bytes past 8 of each key
  detail::PodBuffer<unsigned char> current_;  // the key under construction, then kCurrentTail zeros
  std::map<std::uint32_t, Bucket> pending_;   // unfinished buckets by their begin
  detail::PodBuffer<Reloaded> reloaded_;      // runs whose prefixes no longer start their keys
  std::string name_;                          // as given to Initialize
  std::string location_;                      // as given to Initialize
  std::uint64_t keyFieldLimit_ = 0;           // key fields per key, from Initialize
  std::uint64_t valueSize_ = 0;               // value bytes per key, from Initialize
  std::uint64_t keyLimit_ = kMaxKeys;         // stored keys allowed
  std::uint64_t keyBytesLimit_ = kMaxKeyBytes;            // encoded bytes allowed per key
  std::uint64_t totalKeyBytesLimit_ = kMaxTotalKeyBytes;  // encoded bytes allowed in all keys
  std::uint64_t totalKeyBytes_ = 0;                       // encoded bytes of the stored keys
  // Of the stored keys' first prefixes: how many begin with each byte, the
  // first one, and the bits in which any differs from it.
  std::array<std::uint32_t, 256> firstByteCounts_{};
  std::uint64_t firstPrefix_ = 0;
  std::uint64_t prefixDifference_ = 0;
  std::uint64_t cursor_ = 0;  // position of the last value read
  std::size_t runBegin_ = 0;  // [runBegin_, runEnd_): finished slots around the cursor
  std::size_t runEnd_ = 0;
  std::uint64_t currentFields_ = 0;  // key fields in the current key
  KeyState keyState_ = KeyState::kNone;
  CursorState cursorState_ = CursorState::kNone;
  bool initialised_ = false;
  bool reverse_ = false;
  bool sorted_ = false;      // SortKeys ran since the last key was stored
  bool trimOnSort_ = false;  // Clear(true) asked for memory to be given back
};

}  // namespace I2
