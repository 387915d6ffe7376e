// I2::TVarlenSortCache: an in-memory sorter of variable-length keys, each
// stored with a value of fixed size, that hands the values back in key order.
//
// Use, in this order:
//   Initialize(keyFields, valueSize, name, location, reverse, ...)
//   for each key: PrepareKey(); AddFieldToKey...(); FinishKey();
//                 StoreCurrentKeywithVal(value)
//   SortKeys()
//   GetFirstVal(position, ...), then GetNextVal(...) until it returns nonzero.
// Clear(true) empties the sorter and gives its memory back; Initialize must
// follow before new keys are added.
//
// Key order: key fields compare one after another in the order in which they
// were added. Numeric fields compare as unsigned values of their width. Text
// fields fold ASCII 'A'-'Z' to 'a'-'z' and then compare as unsigned bytes, all
// `length` bytes counting (an embedded NUL is an ordinary byte); a text or a
// key that is a prefix of another sorts first. Equal keys keep their insertion
// order. The reverse flag reverses the whole order, so in a reversed sort
// equal keys come in reverse insertion order.
//
// Positions count from 0: GetFirstVal(0, ...) delivers the first key of the
// sorted order and GetFirstVal(p, ...) reaches position p directly.
//
// Misuse (a field added without PrepareKey, a value stored before FinishKey,
// more key fields than announced, reading before SortKeys, using the sorter
// before Initialize) throws std::logic_error and leaves the sorter unchanged.
//
// Thread safety: none. One sorter serves one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>

namespace I2 {

namespace detail {

// A growable array of a trivially copyable type in one malloc block. It grows
// by half its capacity through std::realloc, which can move a large block by
// remapping its pages instead of copying and touching them again. Elements
// past size() are uninitialised.
template <class T>
class PodBuffer {
 public:
  PodBuffer() = default;
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  ~PodBuffer() { std::free(data_); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }

  // Makes room for at least `extra` elements past size(); throws
  // std::bad_alloc and keeps the contents when that fails.
  void reserveMore(std::size_t extra) {
    if (capacity_ - size_ < extra) grow(extra);
  }
  // Sets the size; `n` must not exceed capacity().
  void setSize(std::size_t n) { size_ = n; }
  // Appends `v`; needs reserveMore(1) first.
  void pushUnchecked(const T& v) { data_[size_++] = v; }
  void clear() { size_ = 0; }
  void release() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  void grow(std::size_t extra) {
    std::size_t want = capacity_ + capacity_ / 2;
    if (want < size_ + extra) want = size_ + extra;
    if (want < 64 / sizeof(T) + 1) want = 64 / sizeof(T) + 1;
    if (want > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_alloc();
    void* const moved = std::realloc(data_, want * sizeof(T));
    if (moved == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(moved);
    capacity_ = want;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace detail

// One stored key as the sorter orders it: 8 bytes of its encoded form, and the
// insertion index that locates the rest of the key and its value.
struct Key {
  // 8 encoded bytes, big-endian, zero-padded past the key's end. Taken from the
  // start of the key when it is stored; a sort may reload it from further on.
  std::uint64_t prefix = 0;
  std::uint32_t index = 0;   // insertion index, 0 for the first stored key
  std::uint32_t length = 0;  // encoded bytes of the whole key
};

// Progress report of a long-running sorter operation; the sorter never calls
// it during the work that this library does, but the signature is kept so
// callers can pass one.
class ProgressCallBack {
 public:
  virtual ~ProgressCallBack() = default;
  virtual void Progress(std::uint64_t done, std::uint64_t total) = 0;
};

class TVarlenSortCache {
 public:
  // A sorter without keys, not yet initialised.
  TVarlenSortCache();

  // Removes every key and value. With `releaseMemory` the buffers are given
  // back to the allocator; otherwise their capacity is kept for reuse. The
  // sorter must be initialised again before it takes keys.
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
  // sorter holds at most 4294967295 keys, and its keys at most 4294967295
  // encoded bytes together (std::length_error past that, from the field that
  // would cross it).
  void StoreCurrentKeywithVal(char* value);

  // Puts every stored key into key order.
  void SortKeys();

  // Sets `value` to the value bytes of the key at `position` of the sorted
  // order and returns 0, or returns nonzero when there is no such key. The
  // pointer stays valid until the next call that changes the sorter.
  std::int32_t GetFirstVal(unsigned long position, int reserved, char*& value, bool unused);

  // Moves to the next key of the sorted order: sets `value` and returns 0, or
  // returns nonzero after the last key. Needs a GetFirstVal that returned 0.
  std::int32_t GetNextVal(int reserved, char*& value, bool unused);

  // Number of stored keys.
  std::size_t size() const { return keys_.size(); }

 private:
  friend class TVarlenSortCacheTestPeer;  // lowers the limits in tests

  // Most keys one sorter holds: insertion indices must fit Key::index.
  static constexpr std::uint64_t kMaxKeys = 0xFFFFFFFFu;
  // Longest encoded key: its length must fit Key::length.
  static constexpr std::uint64_t kMaxKeyBytes = 0xFFFFFFFFu;
  // Most encoded bytes of all keys together: key starts are 32-bit offsets.
  static constexpr std::uint64_t kMaxArenaBytes = 0xFFFFFFFFu;
  // Zero bytes kept past the end of the arena, so that an 8-byte load at any
  // key byte stays inside the buffer and reads defined bytes.
  static constexpr std::size_t kArenaTail = 8;

  enum class KeyState : std::uint8_t { kNone, kBuilding, kFinished };

  std::string describe(const char* operation, const std::string& problem) const;
  [[noreturn]] void fail(const char* operation, const std::string& problem) const;
  void requireInitialised(const char* operation) const;
  // Checks that a field may be added and makes room for up to `count`
  // encoded bytes (and the zero tail) at the end of the arena; returns where
  // they go.
  unsigned char* beginField(std::size_t count, const char* operation);
  // Takes the `count` bytes written at the end of the arena into the current
  // key, or throws std::length_error (leaving the key as it was) when the key
  // or the arena would grow past its limit.
  void commitField(std::size_t count, const char* operation);
  // Shortens the arena to `size` bytes and zeroes the tail after it.
  void truncateArena(std::size_t size);
  void requireReadable(const char* operation) const;
  char* valueAtPosition(std::uint64_t position);

  detail::PodBuffer<Key> keys_;                 // one per stored key; sorted by SortKeys
  std::string name_;                            // as given to Initialize
  std::string location_;                        // as given to Initialize
  std::uint64_t keyFieldLimit_ = 0;             // key fields per key, from Initialize
  std::uint64_t valueSize_ = 0;                 // value bytes per key, from Initialize
  std::uint64_t keyLimit_ = kMaxKeys;           // stored keys allowed
  std::uint64_t keyBytesLimit_ = kMaxKeyBytes;  // encoded bytes allowed per key
  std::uint64_t arenaLimit_ = kMaxArenaBytes;   // encoded bytes allowed in all keys
  std::uint64_t cursor_ = 0;                    // position of the last value read
  // Encoded keys back to back, then the current key, then kArenaTail zeros
  // (in capacity, past size()).
  detail::PodBuffer<unsigned char> arena_;
  detail::PodBuffer<std::uint32_t> keyStart_;  // arena offset of key i; last entry: current key
  detail::PodBuffer<unsigned char> values_;    // valueSize_ bytes per key, by insertion index
  std::uint64_t currentFields_ = 0;             // key fields in the current key
  KeyState keyState_ = KeyState::kNone;
  bool initialised_ = false;
  bool reverse_ = false;
  bool sorted_ = false;             // keys_ is in key order
  bool cursorValid_ = false;        // cursor_ was set by a successful GetFirstVal
  bool prefixesAtKeyStart_ = true;  // every Key::prefix holds its key's first bytes
};

}  // namespace I2
