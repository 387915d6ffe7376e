// The keep-ends mode of the key sorter: a bounded selection of the first and
// last keys of the order, for a sort whose reads stay near its ends.
#include <algorithm>
#include <cstring>

#include "SorterState.h"

namespace I2::detail {
namespace {

// Encoded keys compare as unsigned bytes, a prefix first: the order of the
// key array (see KeyEncoding.h).
int CompareKeys(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  if (common > 0) {
    if (const int byBytes = std::memcmp(a.data(), b.data(), common); byBytes != 0) return byBytes;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// The order of a key against a kept one: by prefix when the prefixes differ,
// as they do for most keys, else by all bytes.
int CompareWithKept(std::string_view key, std::uint64_t prefix, const KeptKey& kept,
                    std::string_view keptKey) {
  if (prefix != kept.prefix) return prefix < kept.prefix ? -1 : 1;
  return CompareKeys(key, keptKey);
}

// The order against `kept` of every key that begins with the bytes
// `partial` (first 8 as `prefix`): -1 or 1 when all of them lie on one side
// of it, 0 when that depends on the bytes that follow.
int PlacePartial(std::string_view partial, std::uint64_t prefix, const KeptKey& kept,
                 std::string_view keptKey) {
  // Only the bytes that the partial key has may decide.
  const std::size_t known = std::min<std::size_t>(partial.size(), kPrefixBytes);
  const std::uint64_t mask =
      known == kPrefixBytes ? ~std::uint64_t{0} : ~(~std::uint64_t{0} >> (8 * known));
  if ((prefix & mask) != (kept.prefix & mask))
    return (prefix & mask) < (kept.prefix & mask) ? -1 : 1;
  const std::size_t common = std::min(partial.size(), keptKey.size());
  if (common > known) {
    const int byBytes = std::memcmp(partial.data() + known, keptKey.data() + known, common - known);
    if (byBytes != 0) return byBytes < 0 ? -1 : 1;
  }
  // A kept key that is a proper prefix of the partial one sorts before all
  // its continuations; otherwise they may still fall either side.
  return partial.size() > keptKey.size() ? 1 : 0;
}

void Fill(KeptKey& kept, std::string_view key, std::uint64_t prefix, const char* value,
          std::size_t valueSize, std::uint64_t inserted) {
  kept.bytes.assign(value, valueSize);
  kept.bytes.append(key);
  kept.prefix = prefix;
  kept.inserted = inserted;
}

// Puts the key in place of the top of a full heap, reusing the top's buffer
// (which allocates only when that buffer is too small for it).
template <class Before>
void ReplaceTop(std::vector<KeptKey>& heap, std::string_view key, std::uint64_t prefix,
                const char* value, std::size_t valueSize, std::uint64_t inserted, Before before) {
  std::pop_heap(heap.begin(), heap.end(), before);
  Fill(heap.back(), key, prefix, value, valueSize, inserted);
  std::push_heap(heap.begin(), heap.end(), before);
}

}  // namespace

bool KeptEnds::less(const KeptKey& a, const KeptKey& b) const {
  const int byKey = CompareWithKept(keyOf(a), a.prefix, b, keyOf(b));
  return byKey != 0 ? byKey < 0 : a.inserted < b.inserted;
}

void KeptEnds::store(std::string_view key, std::uint64_t prefix, const char* value) {
  auto ascending = [this](const KeptKey& a, const KeptKey& b) { return less(a, b); };
  auto descending = [this](const KeptKey& a, const KeptKey& b) { return less(b, a); };
  if (sorted_) {
    std::make_heap(first.begin(), first.end(), ascending);
    std::make_heap(last.begin(), last.end(), descending);
    sorted_ = false;
  }
  const std::uint64_t inserted = stored;
  // Every allocation happens before `stored` counts the key, so a failed one
  // leaves the ends as they were (both heaps stay valid heaps).
  if (first.size() < count) {
    first.reserve(static_cast<std::size_t>(count));
    last.reserve(static_cast<std::size_t>(count));
    KeptKey toFirst;
    Fill(toFirst, key, prefix, value, valueSize, inserted);
    KeptKey toLast = toFirst;
    first.push_back(std::move(toFirst));
    std::push_heap(first.begin(), first.end(), ascending);
    last.push_back(std::move(toLast));
    std::push_heap(last.begin(), last.end(), descending);
    ++stored;
    return;
  }
  // A later key ties after every earlier one: it joins the first end only
  // when its key is less than the greatest kept there, and the last end when
  // it is not less than the least kept there.
  const bool toFirst = CompareWithKept(key, prefix, first.front(), keyOf(first.front())) < 0;
  const bool toLast = CompareWithKept(key, prefix, last.front(), keyOf(last.front())) >= 0;
  // The key takes over the buffers of the tops it replaces: room for it there
  // first, so that the replacements below allocate nothing.
  const std::size_t bytes = valueSize + key.size();
  if (toFirst) first.front().bytes.reserve(bytes);
  if (toLast) last.front().bytes.reserve(bytes);
  if (toFirst) ReplaceTop(first, key, prefix, value, valueSize, inserted, ascending);
  if (toLast) ReplaceTop(last, key, prefix, value, valueSize, inserted, descending);
  ++stored;
}

bool KeptEnds::dropsPartial(std::string_view partial, std::uint64_t prefix) const {
  if (sorted_ || first.size() < count) return false;
  // A later key joins the first end only below its greatest key, and the
  // last end only from its least key on (see store()).
  return PlacePartial(partial, prefix, first.front(), keyOf(first.front())) > 0 &&
         PlacePartial(partial, prefix, last.front(), keyOf(last.front())) < 0;
}

void KeptEnds::sort() {
  if (sorted_) return;
  auto ascending = [this](const KeptKey& a, const KeptKey& b) { return less(a, b); };
  std::sort(first.begin(), first.end(), ascending);
  std::sort(last.begin(), last.end(), ascending);
  sorted_ = true;
}

bool KeptEnds::holds(std::uint64_t ascending) const {
  return ascending < first.size() || (ascending < stored && ascending >= stored - last.size());
}

KeptKey* KeptEnds::at(std::uint64_t ascending) {
  if (ascending < first.size()) return &first[ascending];
  if (ascending < stored && ascending >= stored - last.size()) {
    return &last[ascending - (stored - last.size())];
  }
  return nullptr;
}

std::size_t KeptEnds::heapBytes() const {
  auto textBytes = [](const std::string& text) {
    return text.capacity() > std::string().capacity() ? text.capacity() + 1 : 0;
  };
  std::size_t bytes = (first.capacity() + last.capacity()) * sizeof(KeptKey);
  for (const KeptKey& kept : first) bytes += textBytes(kept.bytes);
  for (const KeptKey& kept : last) bytes += textBytes(kept.bytes);
  return bytes;
}

void KeptEnds::clear() noexcept {
  count = 0;
  valueSize = 0;
  stored = 0;
  // The ends are small next to a full sort; their room is not kept for the
  // next sort, whose count may be smaller.
  std::vector<KeptKey>().swap(first);
  std::vector<KeptKey>().swap(last);
  sorted_ = false;
}

}  // namespace I2::detail
