#include "BrowseResponseHandler.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "FXErrorUtil.h"

using databrowse::AggregateResult;
using databrowse::BrowseData;
using databrowse::BrowseRequest;
using databrowse::BrowseResponse;
using databrowse::FilteredBrowseField;
using databrowse::Query;
using databrowse::SortParameters;

namespace {

// Name and location under which the key sorter may keep temporary data.
constexpr char kSorterName[] = "machinebrowse";
constexpr char kSorterLocation[] = "temp";

// The sorter stores each item's position in `items` as a signed 32-bit value,
// so one sort covers at most this many items.
using Position = std::int32_t;
constexpr std::size_t kMaxSortedItems =
    static_cast<std::size_t>(std::numeric_limits<Position>::max()) + 1;

// Flipping the sign bit maps signed 64-bit numbers onto unsigned ones in the
// same order, so the sorter's unsigned comparison orders them truly.
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// The sorter takes text lengths as 16-bit values; longer names are keyed by
// their first bytes rather than wrapping to a short length.
constexpr std::size_t kMaxKeyTextLength = std::numeric_limits<unsigned short>::max();

// The first query's sort parameters, or `none` for a request without queries,
// which sorts as a query without sort parameters would.
SortParameters& firstQuerySort(BrowseRequest& request, SortParameters& none) {
  std::vector<Query>& queries = request.queries(false);
  return queries.empty() ? none : queries.front().parameters(false).sort(false);
}

bool isReversed(SortParameters& sort) {
  return databrowse::isSet(sort, SortParameters::kDirection) && sort.direction() != 0;
}

std::string firstPath(BrowseRequest& request) {
  if (!databrowse::isSet(request, BrowseRequest::kPaths)) return {};
  std::vector<databrowse::BrowsePath>& paths = request.paths(true);
  return paths.empty() ? std::string() : paths.front().path();
}

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Every byte counts, an embedded NUL included; only ASCII letters fold,
// whatever the process's locale.
bool equalIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return asciiLower(x) == asciiLower(y); });
}

// A first sort whose pages all lie within this many keys of either end of
// the order keeps only the ends (at least this many, so that the next pages
// of a browse need no further sort), when they are at most a sixteenth of
// the items: then a key outside the ends costs a comparison or two instead of
// its room in the sorter. Any other page completes the order first.
constexpr std::size_t kKeptEndsFloor = 1024;
constexpr std::size_t kKeptEndsShare = 16;

// Offset and limit of a query that asks for a page, or nullopt when it reads
// nothing (no parameters, a negative offset, or no positive limit).
struct PageRange {
  std::size_t offset;
  std::size_t limit;
};
std::optional<PageRange> pageRangeOf(Query& query) {
  if (!databrowse::isSet(query, Query::kParameters)) return std::nullopt;
  databrowse::PagingParameters& paging = query.parameters(true).paging(true);
  const long long offset = paging.offset();
  const long long limit = paging.limit();
  if (offset < 0 || limit <= 0) return std::nullopt;
  return PageRange{static_cast<std::size_t>(offset), static_cast<std::size_t>(limit)};
}

bool asksForCount(Query& query) {
  if (!databrowse::isSet(query, Query::kAggregate)) return false;
  // Only the low 32 bits of the aggregate type are compared.
  const auto type = static_cast<std::uint32_t>(query.aggregate(true).type());
  return type == static_cast<std::uint32_t>(databrowse::AggregateCount);
}

// Adds the key field that `field` names for `item` to the sorter's current
// key; a field outside the key table adds none.
void addKeyField(I2::TVarlenSortCache& sorter, BrowseData& item, FilteredBrowseField field) {
  switch (field) {
    case databrowse::ByFlag: {
      // An item without flags reads as flag 0; flagValue neither creates
      // the flags nor changes how the cached item is stored.
      const unsigned short flagged = item.flagValue() != 0 ? 1 : 0;
      sorter.AddFieldToKey(flagged);
      break;
    }
    case databrowse::ByNumber: {
      const unsigned long number = static_cast<std::uint64_t>(item.number()) ^ kSignBit;
      sorter.AddFieldToKey(number);
      break;
    }
    case databrowse::ByName: {
      const std::string_view name = item.nameView();
      const auto length = static_cast<unsigned short>(std::min(name.size(), kMaxKeyTextLength));
      sorter.AddFieldToKey_IgnoreCase(name.data(), length);
      break;
    }
    default:
      break;
  }
}

// The same for every field, in a sorter that keeps only the ends of the
// order: it can place most keys by their first field, and the item's other
// fields are then not read. False when the sorter took the key as placed.
bool addKeyFieldsUnlessDropped(I2::TVarlenSortCache& sorter, BrowseData& item,
                               const std::vector<FilteredBrowseField>& fields) {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0 && sorter.DropsCurrentKey()) return false;
    addKeyField(sorter, item, fields[i]);
  }
  return true;
}

}  // namespace

BrowseResponseCache::BrowseResponseCache() = default;

BrowseResponseCache::BrowseResponseCache(BrowseResponseCache&& other) noexcept { takeFrom(other); }

BrowseResponseCache& BrowseResponseCache::operator=(const BrowseResponseCache& other) {
  if (this != &other) {
    BrowseResponseCache copy(other);
    takeFrom(copy);
  }
  return *this;
}

BrowseResponseCache& BrowseResponseCache::operator=(BrowseResponseCache&& other) noexcept {
  if (this != &other) takeFrom(other);
  return *this;
}

void BrowseResponseCache::takeFrom(BrowseResponseCache& other) noexcept {
  items = std::move(other.items);
  other.items.clear();
  sortedFields = std::move(other.sortedFields);
  other.sortedFields.clear();
  // Records of one type move into each other without failing.
  cachedRequest = std::move(other.cachedRequest);
  sortCache = std::move(other.sortCache);
  sorted = std::exchange(other.sorted, false);
  sortedReverse = std::exchange(other.sortedReverse, false);
  itemHeapBytes = std::exchange(other.itemHeapBytes, 0);
}

void BrowseResponseCache::reset(BrowseRequest& request) {
  cachedRequest = request;
  sorted = false;
  items.clear();
  itemHeapBytes = 0;
}

void BrowseResponseCache::reserve(std::size_t count) { items.reserve(count); }

// The standard library's shrink_to_fit keeps the array when the new one
// cannot be allocated, and the items' moves do not throw.
void BrowseResponseCache::shrinkToFit() noexcept { items.shrink_to_fit(); }

std::size_t BrowseResponseCache::memoryBytes() const {
  return sizeof(*this) + items.capacity() * sizeof(BrowseData) + itemHeapBytes +
         sortedFields.capacity() * sizeof(FilteredBrowseField) + cachedRequest.heapBytes() +
         sortCache.memoryBytes();
}

bool BrowseResponseCache::canServeRequest(BrowseRequest& request) {
  return equalIgnoringAsciiCase(firstPath(cachedRequest), firstPath(request));
}

bool BrowseResponseCache::sortFieldsChanged(BrowseRequest& request) {
  SortParameters none;
  return firstQuerySort(request, none).fields(false) != sortedFields;
}

CTzError BrowseResponseCache::sort(BrowseRequest& request) { return sortKeeping(request, 0); }

std::size_t BrowseResponseCache::endsToKeep(BrowseRequest& request) {
  std::size_t needed = kKeptEndsFloor;
  for (Query& query : request.queries(true)) {
    const std::optional<PageRange> page = pageRangeOf(query);
    if (!page || page->offset >= items.size()) continue;
    const std::size_t end = page->offset + std::min(page->limit, items.size() - page->offset);
    needed = std::max(needed, std::min(end, items.size() - page->offset));
  }
  return needed <= items.size() / kKeptEndsShare ? needed : 0;
}

bool BrowseResponseCache::holdsEveryPage(BrowseRequest& request) {
  for (Query& query : request.queries(true)) {
    const std::optional<PageRange> page = pageRangeOf(query);
    if (page && !sortCache.Holds(page->offset, page->limit)) return false;
  }
  return true;
}

CTzError BrowseResponseCache::sortKeeping(BrowseRequest& request, std::size_t keepEnds) {
  sortCache.Clear(true);
  sorted = false;
  SortParameters none;
  SortParameters& sortParameters = firstQuerySort(request, none);
  const bool reverse = isReversed(sortParameters);
  const std::vector<FilteredBrowseField>& fields = sortParameters.fields(true);
  // Copied first: the sort's state is published only once nothing can fail.
  std::vector<FilteredBrowseField> completedFields = fields;
  const unsigned long keyFields = fields.empty() ? 1 : fields.size();
  if (sortCache.Initialize(keyFields, sizeof(Position), kSorterName, kSorterLocation, reverse,
                           false, nullptr) != 0) {
    // Hosts match this error by its location, so it stays as first published
    // whatever line this code moves to.
    return FXErrorUtil::ErrorInt(
        FXCodeLocation("BrowseResponseHandler",
                       "CTzError BrowseResponseCache::sort(databrowse::BrowseRequest&)", 58),
        -1, "sort object failed to initialize");
  }
  if (items.size() > kMaxSortedItems) {
    throw std::length_error("cannot sort more than 2^31 browse items");
  }
  if (keepEnds != 0) {
    sortCache.KeepEnds(keepEnds);
  } else {
    sortCache.Reserve(items.size());
  }
  const bool fieldsSet = databrowse::isSet(sortParameters, SortParameters::kFields);
  for (std::size_t index = 0; index < items.size(); ++index) {
    sortCache.PrepareKey();
    if (fieldsSet) {
      if (keepEnds == 0) {
        addKeyFields(items[index], fields);
      } else if (!addKeyFieldsUnlessDropped(sortCache, items[index], fields)) {
        continue;
      }
    } else {
      const unsigned short allEqual = 0;
      sortCache.AddFieldToKey(allEqual);
    }
    sortCache.FinishKey();
    Position position = static_cast<Position>(index);
    sortCache.StoreCurrentKeywithVal(reinterpret_cast<char*>(&position));
  }
  sortCache.SortKeys();
  sortedFields = std::move(completedFields);
  sortedReverse = reverse;
  sorted = true;
  return CTzError::Success();
}

void BrowseResponseCache::addKeyFields(BrowseData& item,
                                       const std::vector<FilteredBrowseField>& fields) {
  for (const FilteredBrowseField field : fields) addKeyField(sortCache, item, field);
}

CTzError BrowseResponseCache::getResults(BrowseRequest& request,
                                         std::vector<BrowseResponse>& responses) {
  CTzError result = CTzError::Success();
  SortParameters none;
  const bool reverse = isReversed(firstQuerySort(request, none));
  // The same keys read backwards are exactly the order of a sort in the
  // other direction, unless items arrived since the last sort.
  const bool flipped = sorted && reverse != sortedReverse;
  if (!sorted || sortFieldsChanged(request) || (flipped && sortCache.size() != items.size())) {
    result = sortKeeping(request, endsToKeep(request));
  } else if (flipped) {
    sortCache.SetReverse(reverse);
    sortedReverse = reverse;
  }
  // A sort that kept only the ends of the order completes it for a page
  // that lies between them.
  if (sorted && !holdsEveryPage(request)) result = sort(request);
  for (Query& query : request.queries(true)) {
    if (databrowse::isSet(query, Query::kParameters)) {
      appendPage(request, query, responses);
    } else if (asksForCount(query)) {
      appendCount(request, query, responses);
    }
  }
  return result;
}

BrowseResponse BrowseResponseCache::newResponse(BrowseRequest& request, Query& query) {
  BrowseResponse response;
  response.setContext(request.context(false));
  response.setStatus(0);
  response.result(true).setQueryId(query.queryId());
  return response;
}

void BrowseResponseCache::appendPage(BrowseRequest& request, Query& query,
                                     std::vector<BrowseResponse>& responses) {
  databrowse::PagingParameters& paging = query.parameters(true).paging(true);
  const long long offset = paging.offset();
  long long remaining = paging.limit();
  BrowseResponse response = newResponse(request, query);
  // After a failed sort the sorter holds no keys: the page stays empty.
  if (sorted && offset >= 0 && remaining > 0) {
    std::vector<BrowseData>& page = response.result(true).items(true);
    const auto start = static_cast<std::size_t>(offset);
    const std::size_t keysLeft = start < sortCache.size() ? sortCache.size() - start : 0;
    page.reserve(std::min(static_cast<std::size_t>(remaining), keysLeft));
    // The sorter hands out the values a chunk at a time, one call per chunk.
    constexpr std::size_t kChunk = 64;
    char* values[kChunk];
    std::size_t next = start;
    while (remaining > 0) {
      const std::size_t wanted = std::min(static_cast<std::size_t>(remaining), kChunk);
      const std::size_t got = sortCache.GetVals(static_cast<unsigned long>(next), wanted, values);
      for (std::size_t i = 0; i < got; ++i) {
        Position position;
        std::memcpy(&position, values[i], sizeof position);
        page.push_back(items.at(static_cast<std::size_t>(position)));
      }
      if (got < wanted) break;
      next += got;
      remaining -= static_cast<long long>(got);
    }
  }
  responses.push_back(std::move(response));
}

void BrowseResponseCache::appendCount(BrowseRequest& request, Query& query,
                                      std::vector<BrowseResponse>& responses) {
  BrowseResponse response = newResponse(request, query);
  AggregateResult count;
  count.setCount(static_cast<long long>(items.size()));
  response.result(true).aggregates(true).push_back(std::move(count));
  responses.push_back(std::move(response));
}

CTzError BrowseResponseConsumer::addItem(BrowseData& item) {
  cache_.addItem(item);
  return CTzError::Success();
}

CTzError BrowseResponseConsumer::serve(BrowseRequest&) { return CTzError::Success(); }

CTzError BrowseResponseConsumer::getResults(BrowseRequest& request,
                                            std::vector<BrowseResponse>& responses) {
  responses.clear();
  return cache_.getResults(request, responses);
}
