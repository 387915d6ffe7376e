// The public operations of the key sorter: building and storing keys, reading
// them in order, and the sorter's life as a value. The key format is in
// KeyEncoding.h, the sort in SortEngine.cpp.
#include "I2/TVarlenSortCache.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "SorterState.h"

namespace I2 {

using detail::CurrentKey;
using detail::CursorState;
using detail::Key;
using detail::KeyState;
using detail::kPrefixBytes;
using detail::SorterState;

namespace {

std::string Describe(const SorterState* state, const char* operation, const std::string& problem) {
  std::string message = "TVarlenSortCache";
  if (state != nullptr && !state->settings.name.empty()) {
    message += " '" + state->settings.name + "'";
  }
  return message + ": " + operation + ": " + problem;
}

[[noreturn]] void Fail(const SorterState* state, const char* operation,
                       const std::string& problem) {
  throw std::logic_error(Describe(state, operation, problem));
}

// The state of an initialised sorter, or a std::logic_error.
SorterState& Initialised(const std::unique_ptr<SorterState>& state, const char* operation) {
  if (state == nullptr || !state->settings.initialised) {
    Fail(state.get(), operation, "the sorter is not initialised (call Initialize first)");
  }
  return *state;
}

[[noreturn]] void RefuseField(const SorterState* state, const char* operation) {
  if (state == nullptr || !state->settings.initialised) {
    Fail(state, operation, "the sorter is not initialised (call Initialize first)");
  }
  if (state->current.state != KeyState::kBuilding) {
    Fail(state, operation,
         state->current.state == KeyState::kFinished
             ? "the key is already finished (call PrepareKey for a new key)"
             : "no key is being built (call PrepareKey first)");
  }
  Fail(state, operation,
       "the key already has the " + std::to_string(state->settings.keyFieldLimit) +
           " key fields announced to Initialize");
}

// Checks that a field may be added and makes room for up to `count`
// encoded bytes (and the zero tail) at the end of the current key; returns
// where they go.
unsigned char* BeginField(SorterState* state, std::size_t count, const char* operation) {
  if (state == nullptr || state->current.state != KeyState::kBuilding ||
      state->current.fields >= state->settings.keyFieldLimit) {
    RefuseField(state, operation);
  }
  CurrentKey& current = state->current;
  current.bytes.reserveMore(count + CurrentKey::kCurrentTail);
  return current.bytes.data() + current.bytes.size();
}

[[noreturn]] void RefuseLength(const SorterState& state, std::size_t size, const char* operation) {
  if (size > state.limits.keyBytes) {
    throw std::length_error(Describe(
        &state, operation,
        "the key would exceed " + std::to_string(state.limits.keyBytes) + " encoded bytes"));
  }
  throw std::length_error(Describe(&state, operation,
                                   "the keys would exceed " +
                                       std::to_string(state.limits.totalKeyBytes) +
                                       " encoded bytes together"));
}

// Takes the `count` bytes written at the end of the current key into it, or
// throws std::length_error (leaving the key as it was) when the key or all
// keys together would grow past their limit.
void CommitField(SorterState& state, std::size_t count, const char* operation) {
  std::size_t const size = state.current.bytes.size() + count;
  if (size > state.limits.keyBytes ||
      state.stored.totalKeyBytes + size > state.limits.totalKeyBytes) {
    RefuseLength(state, size, operation);
  }
  state.current.bytes.setSize(size);
  ++state.current.fields;
}

[[noreturn]] void RefuseStore(const SorterState* state, const char* value) {
  char const* const operation = "StoreCurrentKeywithVal";
  if (state == nullptr || !state->settings.initialised) {
    Fail(state, operation, "the sorter is not initialised (call Initialize first)");
  }
  if (state->current.state != KeyState::kFinished) {
    Fail(state, operation, "no finished key (call FinishKey first)");
  }
  if (value == nullptr) Fail(state, operation, "value is null");
  Fail(
      state, operation,
      "the sorter already holds the most keys it can (" + std::to_string(state->limits.keys) + ")");
}

// The current key's bytes and its first 8 as a big-endian prefix, for a
// sorter that keeps the ends.
struct CurrentKeyView {
  std::string_view bytes;
  std::uint64_t prefix;
};

CurrentKeyView ViewOf(CurrentKey& current) {
  // Room for the zero tail keeps the 8-byte load of the prefix inside the
  // buffer (a copied sorter holds its key without it); LoadMasked clears
  // what lies past the key.
  current.bytes.reserveMore(CurrentKey::kCurrentTail);
  const unsigned char* const data = current.bytes.data();
  return {std::string_view(reinterpret_cast<const char*>(data), current.bytes.size()),
          detail::LoadMasked(data, current.bytes.size())};
}

// The value of the kept key at sorted `position`, or null when that position
// lies between the kept ends.
char* KeptValue(SorterState& state, std::uint64_t position) {
  detail::KeptKey* const kept = state.kept.at(state.ascendingOf(position));
  return kept == nullptr ? nullptr : kept->bytes.data();
}

// Reads the key at `position` of the sorted order into `value`, finishing its
// part of the order first when the run around the cursor does not hold it.
// Returns nonzero, the cursor past the end, when only the ends are kept and
// the position lies between them.
std::int32_t Deliver(SorterState& state, std::uint64_t position, char*& value) {
  if (state.kept.active()) {
    char* const kept = KeptValue(state, position);
    if (kept == nullptr) {
      state.cursor.state = CursorState::kAtEnd;
      return 1;
    }
    state.cursor.position = position;
    state.cursor.state = CursorState::kValid;
    value = kept;
    return 0;
  }
  std::size_t const slot = state.slotOf(position);
  if (slot < state.cursor.runBegin || slot >= state.cursor.runEnd) state.reach(slot);
  state.cursor.position = position;
  state.cursor.state = CursorState::kValid;
  value = state.valueAt(slot);
  return 0;
}

}  // namespace

// ---- Life as a value ------------------------------------------------------------

TVarlenSortCache::TVarlenSortCache() noexcept = default;

TVarlenSortCache::TVarlenSortCache(const TVarlenSortCache& other)
    : state_(other.state_ ? std::make_unique<SorterState>(*other.state_) : nullptr) {}

TVarlenSortCache::TVarlenSortCache(TVarlenSortCache&& other) noexcept = default;

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

void TVarlenSortCache::swap(TVarlenSortCache& other) noexcept { state_.swap(other.state_); }

void detail::StoredKeys::clear() noexcept {
  keys.clear();
  records.clear();
  totalKeyBytes = 0;
  firstByteCounts.fill(0);
  firstPrefix = 0;
  prefixDifference = 0;
}

void SorterState::clear(bool releaseMemory) noexcept {
  stored.clear();
  current.clear();
  kept.clear();
  order.reloaded.clear();
  forgetOrder();
  order.trimOnSort = releaseMemory;
  // The strings keep their buffers too.
  settings.name.clear();
  settings.location.clear();
  settings.keyFieldLimit = 0;
  settings.valueSize = 0;
  settings.initialised = false;
  settings.reverse = false;
}

void TVarlenSortCache::Clear(bool releaseMemory) {
  if (state_) state_->clear(releaseMemory);
}

// ---- Building and storing keys ------------------------------------------------

std::int32_t TVarlenSortCache::Initialize(unsigned long keyFields, unsigned long valueSize,
                                          std::string name, std::string location, bool reverse,
                                          bool /*unique*/, ProgressCallBack* /*progress*/) {
  if (state_ && (state_->keyCount() != 0 || state_->current.state != KeyState::kNone)) {
    Fail(state_.get(), "Initialize", "the sorter holds keys (call Clear first)");
  }
  if (keyFields == 0 || valueSize == 0 || valueSize > detail::RecordArena::kMaxBytes ||
      name.empty()) {
    return 1;
  }
  std::unique_ptr<SorterState> created;
  SorterState* state = state_.get();
  if (state == nullptr) {
    created = std::make_unique<SorterState>();
    state = created.get();
  }
  state->current.bytes.reserveMore(CurrentKey::kCurrentTail);
  if (created) state_ = std::move(created);
  state->settings.name = std::move(name);
  state->settings.location = std::move(location);
  state->settings.keyFieldLimit = keyFields;
  state->settings.valueSize = valueSize;
  state->settings.reverse = reverse;
  state->settings.initialised = true;
  state->current.clear();
  state->kept.clear();
  state->forgetOrder();
  return 0;
}

void TVarlenSortCache::KeepEnds(std::size_t count) {
  SorterState& state = Initialised(state_, "KeepEnds");
  if (state.keyCount() != 0) Fail(&state, "KeepEnds", "the sorter holds keys (call Clear first)");
  state.kept.clear();
  state.kept.count = std::min<std::uint64_t>(count, state.limits.keys);
  state.kept.valueSize = state.settings.valueSize;
}

bool TVarlenSortCache::Holds(unsigned long position, std::size_t count) const {
  if (!state_ || !state_->kept.active()) return true;
  const SorterState& state = *state_;
  const std::uint64_t keys = state.keyCount();
  if (position >= keys || count == 0) return true;
  const std::uint64_t end = position + std::min<std::uint64_t>(count, keys - position);
  const std::uint64_t a = state.ascendingOf(position);
  const std::uint64_t b = state.ascendingOf(end - 1);
  // The kept ascending positions are two runs, [0, first) and [keys - last,
  // keys); a range is held when it lies within one of them or they meet.
  const std::uint64_t first = state.kept.first.size();
  const std::uint64_t lastBegin = keys - state.kept.last.size();
  return first >= lastBegin || std::max(a, b) < first || std::min(a, b) >= lastBegin;
}

void TVarlenSortCache::Reserve(std::size_t keys) {
  SorterState& state = Initialised(state_, "Reserve");
  if (state.kept.active()) return;  // only the kept keys are held
  state.stored.keys.reserveExactly(std::min<std::uint64_t>(keys, state.limits.keys));
}

void TVarlenSortCache::PrepareKey() {
  SorterState& state = Initialised(state_, "PrepareKey");
  state.current.clear();  // drops a key begun but never stored
  state.current.state = KeyState::kBuilding;
}

void TVarlenSortCache::AddFieldToKey(unsigned short const& value) {
  char const* const operation = "AddFieldToKey(unsigned short)";
  detail::EncodeU16(value, BeginField(state_.get(), 2, operation));
  CommitField(*state_, 2, operation);
}

void TVarlenSortCache::AddFieldToKey(unsigned long const& value) {
  char const* const operation = "AddFieldToKey(unsigned long)";
  detail::EncodeU64(value, BeginField(state_.get(), 8, operation));
  CommitField(*state_, 8, operation);
}

void TVarlenSortCache::AddFieldToKey_IgnoreCase(char const* text, unsigned short length) {
  char const* const operation = "AddFieldToKey_IgnoreCase";
  if (text == nullptr && length > 0)
    Fail(state_.get(), operation, "text is null but length is not 0");
  unsigned char* const out = BeginField(state_.get(), detail::EncodedTextBound(length), operation);
  CommitField(*state_,
              detail::EncodeText(reinterpret_cast<const unsigned char*>(text), length, out),
              operation);
}

void TVarlenSortCache::FinishKey() {
  if (state_ == nullptr || state_->current.state != KeyState::kBuilding) {
    Initialised(state_, "FinishKey");
    Fail(state_.get(), "FinishKey",
         state_->current.state == KeyState::kFinished
             ? "the key is already finished"
             : "no key is being built (call PrepareKey first)");
  }
  state_->current.state = KeyState::kFinished;
}

bool TVarlenSortCache::DropsCurrentKey() {
  SorterState* const state = state_.get();
  if (state == nullptr || !state->kept.active() || state->current.state != KeyState::kBuilding ||
      state->kept.stored >= state->limits.keys) {
    return false;
  }
  const CurrentKeyView key = ViewOf(state->current);
  if (!state->kept.dropsPartial(key.bytes, key.prefix)) return false;
  ++state->kept.stored;
  state->current.clear();
  return true;
}

void TVarlenSortCache::StoreCurrentKeywithVal(char* value) {
  char const* const operation = "StoreCurrentKeywithVal";
  SorterState* const state = state_.get();
  if (state == nullptr || state->current.state != KeyState::kFinished || value == nullptr ||
      state->keyCount() >= state->limits.keys) {
    RefuseStore(state, value);
  }
  if (state->kept.active()) {
    const CurrentKeyView key = ViewOf(state->current);
    state->kept.store(key.bytes, key.prefix, value);
    state->current.state = KeyState::kNone;
    if (state->order.sorted) state->forgetOrder();
    return;
  }
  detail::StoredKeys& stored = state->stored;
  detail::PodBuffer<unsigned char>& current = state->current.bytes;
  std::size_t const valueSize = state->settings.valueSize;
  std::size_t const length = current.size();
  std::size_t const rest = length > kPrefixBytes ? length - kPrefixBytes : 0;
  std::size_t const recordBytes = valueSize + detail::VarintSize(length) + rest;
  // Every growth happens before the first change, so a failed one leaves the
  // sorter as it was. A copied sorter holds its key without room for the
  // zero tail.
  stored.keys.reserveMore(1);
  current.reserveMore(CurrentKey::kCurrentTail);
  std::uint32_t offset;
  try {
    // The keys still to come, as many as the key array has room for (what
    // Reserve announced), are expected to be as long as the average so far.
    offset = stored.records.prepare(recordBytes, [&stored, recordBytes] {
      std::uint64_t const keysSoFar = stored.keys.size() + 1;
      std::uint64_t const keysToCome = stored.keys.capacity() - stored.keys.size();
      return (stored.records.usedBytes() + recordBytes) / keysSoFar * keysToCome;
    });
  } catch (const std::length_error&) {
    throw std::length_error(Describe(state, operation, "the records would exceed 4 GiB"));
  }
  // The prefix and the copy below read whole words: zeros past the key
  // keep them from reading what a longer key before it left there.
  std::memset(current.data() + length, 0, CurrentKey::kCurrentTail);
  unsigned char* out = stored.records.at(offset);
  if (valueSize == 4) {
    std::memcpy(out, value, 4);
  } else {
    std::memcpy(out, value, valueSize);
  }
  out = detail::PutVarint(out + valueSize, length);
  detail::CopyWords(out, current.data() + kPrefixBytes, rest);
  stored.records.commit(recordBytes);
  Key key;
  key.setPrefix(detail::LoadMasked(current.data(), length));
  key.record = offset;
  stored.keys.pushUnchecked(key);
  if (stored.keys.size() == 1) stored.firstPrefix = key.prefix();
  stored.prefixDifference |= key.prefix() ^ stored.firstPrefix;
  ++stored.firstByteCounts[key.prefix() >> 56];
  stored.totalKeyBytes += length;
  state->current.state = KeyState::kNone;
  if (state->order.sorted) state->forgetOrder();
}

// ---- Sorting and reading ------------------------------------------------------

void TVarlenSortCache::SortKeys() {
  SorterState& state = Initialised(state_, "SortKeys");
  if (state.order.sorted) return;  // sorted keys stay as they are, and so does reading
  if (state.kept.active()) {
    state.kept.sort();
    state.order.sorted = true;
    state.cursor.reset();
    return;
  }
  state.sortKeys();
}

void TVarlenSortCache::SetReverse(bool reverse) {
  SorterState& state = Initialised(state_, "SetReverse");
  state.settings.reverse = reverse;
  state.cursor.state = CursorState::kNone;
}

std::int32_t TVarlenSortCache::GetFirstVal(unsigned long position, int /*reserved*/, char*& value,
                                           bool /*unused*/) {
  SorterState* const state = state_.get();
  if (state == nullptr) return 1;
  if (!state->order.sorted || position >= state->keyCount()) {
    state->cursor.state = CursorState::kAtEnd;
    return 1;
  }
  return Deliver(*state, position, value);
}

std::int32_t TVarlenSortCache::GetNextVal(int /*reserved*/, char*& value, bool /*unused*/) {
  SorterState* const state = state_.get();
  if (state == nullptr) return 1;
  detail::ReadCursor& cursor = state->cursor;
  // A valid cursor implies sorted keys.
  if (cursor.state == CursorState::kValid && cursor.position + 1 < state->keyCount()) {
    // Within the finished run around the cursor a read is a lookup.
    std::size_t const slot = state->slotOf(cursor.position + 1);
    if (!state->kept.active() && slot >= cursor.runBegin && slot < cursor.runEnd) {
      ++cursor.position;
      value = state->valueAt(slot);
      return 0;
    }
    return Deliver(*state, cursor.position + 1, value);
  }
  if (cursor.state == CursorState::kValid) {
    cursor.state = CursorState::kAtEnd;
    return 1;
  }
  if (cursor.state == CursorState::kNone && state->order.sorted && state->keyCount() != 0) {
    Fail(state, "GetNextVal", "no GetFirstVal since the keys were sorted to continue from");
  }
  return 1;
}

std::size_t TVarlenSortCache::GetVals(unsigned long position, std::size_t count, char** values) {
  if (count == 0) return 0;
  if (GetFirstVal(position, 0, values[0], false) != 0) return 0;
  SorterState& state = *state_;
  detail::ReadCursor& cursor = state.cursor;
  std::size_t const wanted = std::min<std::uint64_t>(count, state.keyCount() - position);
  if (state.kept.active()) {
    std::size_t n = 1;
    for (; n < wanted; ++n) {
      values[n] = KeptValue(state, position + n);
      if (values[n] == nullptr) break;
      cursor.position = position + n;
    }
    return n;
  }
  for (std::size_t n = 1; n < wanted; ++n) {
    std::size_t const slot = state.slotOf(position + n);
    if (slot < cursor.runBegin || slot >= cursor.runEnd) state.reach(slot);
    values[n] = state.valueAt(slot);
    cursor.position = position + n;
  }
  return wanted;
}

std::size_t TVarlenSortCache::size() const { return state_ ? state_->keyCount() : 0; }

std::size_t TVarlenSortCache::memoryBytes() const {
  if (!state_) return 0;
  const SorterState& state = *state_;
  // A map node holds the key, the bucket and the tree's links and colour.
  constexpr std::size_t kPendingNodeBytes =
      sizeof(std::pair<const std::uint32_t, detail::Bucket>) + 4 * sizeof(void*);
  auto heapText = [](const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
  };
  return sizeof(SorterState) + state.stored.keys.capacity() * sizeof(Key) +
         state.stored.records.heldBytes() + state.current.bytes.capacity() +
         state.order.pending.size() * kPendingNodeBytes +
         state.order.reloaded.capacity() * sizeof(detail::Reloaded) +
         heapText(state.settings.name) + heapText(state.settings.location) + state.kept.heapBytes();
}

// ---- Invariants -----------------------------------------------------------------

void TVarlenSortCache::checkInvariants() const {
  if (state_) state_->checkInvariants();
}

void SorterState::checkInvariants() const {
  auto require = [](bool holds, const char* invariant) {
    if (!holds) {
      throw std::logic_error(std::string("TVarlenSortCache: broken invariant: ") + invariant);
    }
  };
  std::size_t const n = stored.keys.size();
  require(settings.initialised || (n == 0 && current.state == KeyState::kNone),
          "an uninitialised sorter holds no key and builds none");
  require(current.fields <= settings.keyFieldLimit,
          "the current key has at most the announced key fields");
  require(n <= limits.keys && stored.totalKeyBytes <= limits.totalKeyBytes,
          "the stored keys stay within the limits");
  std::uint64_t counted = 0;
  for (std::uint32_t count : stored.firstByteCounts) counted += count;
  require(counted == n, "the first-byte counts add up to the stored keys");
  require(StackBound(thresholds) <= detail::kEagerStack &&
              thresholds.smallBucket <= detail::kTieBuffer && thresholds.smallBucket >= 2,
          "the size thresholds fit the fixed buffers of the sort");
  require(order.sorted || order.pending.empty(), "only sorted keys have pending buckets");
  std::size_t previousEnd = 0;
  for (const auto& [begin, bucket] : order.pending) {
    require(begin == bucket.begin, "a pending bucket is filed under its first slot");
    require(previousEnd <= bucket.begin && bucket.begin + 1 < bucket.end && bucket.end <= n,
            "pending buckets are disjoint runs of two keys or more inside the key array");
    require(bucket.byte <= kPrefixBytes && bucket.depth % kPrefixBytes == 0,
            "a pending bucket's byte lies within the prefix, loaded at a multiple of 8");
    previousEnd = bucket.end;
  }
  for (const detail::Reloaded& run : order.reloaded) {
    require(run.begin < run.end && run.end <= n, "a reloaded run lies inside the key array");
  }
  require(cursor.runBegin <= cursor.runEnd && cursor.runEnd <= n,
          "the finished run around the cursor lies inside the key array");
  if (cursor.runBegin < cursor.runEnd) {
    auto const after = order.pending.lower_bound(static_cast<std::uint32_t>(cursor.runBegin));
    require(after == order.pending.end() || after->first >= cursor.runEnd,
            "the finished run around the cursor holds no pending bucket");
    require(after == order.pending.begin() || std::prev(after)->second.end <= cursor.runBegin,
            "the finished run around the cursor holds no pending bucket");
  }
  if (kept.active()) {
    checkKeptInvariants();
    return;
  }
  if (cursor.state == CursorState::kValid) {
    require(order.sorted && cursor.position < n, "a valid cursor stands on a sorted key");
    std::size_t const slot = slotOf(cursor.position);
    require(cursor.runBegin <= slot && slot < cursor.runEnd,
            "the finished run holds the key under the cursor");
  }
}

void SorterState::checkKeptInvariants() const {
  auto require = [](bool holds, const char* invariant) {
    if (!holds) {
      throw std::logic_error(std::string("TVarlenSortCache: broken invariant: ") + invariant);
    }
  };
  auto less = [this](const detail::KeptKey& a, const detail::KeptKey& b) {
    return kept.less(a, b);
  };
  require(stored.keys.empty() && order.pending.empty(),
          "a sorter that keeps the ends stores no key in the key array");
  const std::uint64_t ends = std::min(kept.count, kept.stored);
  require(kept.first.size() == ends && kept.last.size() == ends,
          "each kept end holds the kept count of keys, or every key when fewer were stored");
  for (const auto* end : {&kept.first, &kept.last}) {
    for (const detail::KeptKey& key : *end) {
      require(key.bytes.size() >= kept.valueSize && key.inserted < kept.stored,
              "a kept key holds its value and was stored");
    }
  }
  if (order.sorted) {
    require(std::is_sorted(kept.first.begin(), kept.first.end(), less) &&
                std::is_sorted(kept.last.begin(), kept.last.end(), less),
            "sorted kept ends are in ascending order");
    require(kept.stored < 2 * kept.count || ends == 0 || less(kept.first.back(), kept.last.front()),
            "the first kept end lies before the last when they do not meet");
  }
  if (cursor.state == CursorState::kValid) {
    require(
        order.sorted && cursor.position < kept.stored && kept.holds(ascendingOf(cursor.position)),
        "a valid cursor stands on a kept, sorted key");
  }
}

}  // namespace I2
