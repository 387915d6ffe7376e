// I2::TVarlenSortCache: an in-memory sorter of variable-length keys, each
// stored with a value of fixed size, that hands the values back in key order.
//
// Use, in this order:
//   Initialize(keyFields, valueSize, name, location, reverse, ...)
//   Reserve(expected number of keys)                      (optional)
//   or KeepEnds(count) for reads near the ends only       (optional)
//   for each key: PrepareKey(); AddFieldToKey...(); FinishKey();
//                 StoreCurrentKeywithVal(value)
//                 (with KeepEnds, DropsCurrentKey() between fields may end
//                 a key early)
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
// Checking: checkInvariants() verifies the sorter's internal bookkeeping
// and throws std::logic_error naming the first rule that does not hold; it
// costs about as much as a read, so tests may call it after every operation.
//
// Layout: a sorter object is one pointer to its state, which lives in the
// library; the state can change between releases without changing this
// class.
//
// Thread safety: none. One sorter serves one thread at a time; reads change
// its internal state too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "IdxUtilsExport.h"

namespace I2 {

namespace detail {
class SorterState;
}

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
  // A sorter without keys, not yet initialised. Allocates nothing.
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
  // stored with `valueSize` bytes of value, read in the direction `reverse`
  // names. `name` and `location` identify the sort (kept for diagnostics;
  // this sorter works in memory). `unique` is ignored: equal keys are all
  // kept, in insertion order. `progress` may be null and is never called.
  // Returns 0 when ready. Returns nonzero, changing nothing, when the
  // arguments cannot be served: no key fields, a value size of 0 or of more
  // than the 4 GiB that the records of all keys may take, or an empty name; a sorter initialised
  // before then keeps its earlier arguments, and an uninitialised one stays uninitialised. Throws
  // std::logic_error while the sorter holds keys or a key under construction, std::bad_alloc when
  // memory runs out (the sorter unchanged either way).
  std::int32_t Initialize(unsigned long keyFields, unsigned long valueSize, std::string name,
                          std::string location, bool reverse, bool unique,
                          ProgressCallBack* progress);

  // Makes room for `keys` more keys, so that storing them does not grow the
  // key array past what they need. Optional; needs Initialize first.
  void Reserve(std::size_t keys);

  // Keeps, of the keys stored from now on, only the `count` first and the
  // `count` last of the ascending order (0 keeps every key, as after
  // Initialize). Such a sorter holds about 2 x `count` keys whatever it is
  // given, and a key outside both ends costs a comparison or two instead of
  // its room in the key array: for reads that stay near the ends of the
  // order, such as a first or last page, in either direction. size() still
  // counts every key stored and positions count over all of them; reading a
  // position between the ends returns nonzero as past the end does (Holds
  // tells which positions are held). Needs Initialize and no key stored
  // (std::logic_error otherwise); Clear and Initialize end it.
  void KeepEnds(std::size_t count);

  // In a sorter that keeps only the ends: when the fields added so far place
  // the key being built between the ends whatever fields follow, counts it
  // as stored (it takes its position, and no value) and returns true; the
  // next key starts with PrepareKey. So a caller may skip the reads of the
  // remaining fields of most keys. Otherwise, and when every key is kept,
  // returns false and changes nothing.
  bool DropsCurrentKey();

  // True when every key at positions [position, position + count) of the
  // sorted order that exists is held, so that reading them delivers them
  // all; always true unless KeepEnds keeps only the ends.
  bool Holds(unsigned long position, std::size_t count) const;

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
  // Initialize, storing a key) or the sorter is destroyed. `reserved` and
  // `unused` are ignored.
  std::int32_t GetFirstVal(unsigned long position, int reserved, char*& value, bool unused);

  // Moves to the next key of the sorted order: sets `value` and returns 0, or
  // returns nonzero after the last key and when there are no sorted keys.
  std::int32_t GetNextVal(int reserved, char*& value, bool unused);

  // Reads up to `count` values at once: sets values[0, n) to the values of
  // the keys at positions position, position + 1, ... of the sorted order and
  // returns n, the smaller of `count` and the keys from `position` on (0 when
  // there is no key there, as GetFirstVal). Afterwards reading stands at the
  // last key delivered, so GetNextVal continues after it. The pointers stay
  // valid as GetFirstVal's do. Costs less per value than GetNextVal.
  std::size_t GetVals(unsigned long position, std::size_t count, char** values);

  // Number of stored keys.
  std::size_t size() const;

  // Bytes of heap that the sorter holds now: its state, key array, records
  // and work buffers at their capacity, kept buffers included (see Memory
  // above).
  std::size_t memoryBytes() const;

  // Throws std::logic_error naming the broken invariant when the sorter's
  // bookkeeping is inconsistent; does nothing on a sound sorter.
  void checkInvariants() const;

 private:
  friend class TVarlenSortCacheTestPeer;  // lowers the limits in tests

  // The state, created by the first Initialize; null in a sorter that was
  // never initialised or was moved from.
  std::unique_ptr<detail::SorterState> state_;
};

}  // namespace I2
