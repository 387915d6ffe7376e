// The browse response cache and its consumer front end.
//
// For one browse request the service hands the consumer the browse items one
// at a time; the cache keeps copies of them. When the service asks for the
// answers, the cache sorts the items by the fields of the request's first
// query (through its key sorter) and answers each query with a page of sorted
// items or with the number of items. A later request for the same path is
// answered from the same cache, sorting again only when its order differs.
//
// Ownership: nothing here keeps a reference to a record that a caller passed
// in; callers may change or destroy their records as soon as a call returns.
//
// Thread safety: none. A consumer and its cache serve one thread at a time;
// their operations must not overlap. Separate consumers share nothing.
#pragma once

#include <string>
#include <vector>

#include "BrowseResponseHandlerExport.h"
#include "CTzError.h"
#include "I2/TVarlenSortCache.h"
#include "LargeBlockAllocator.h"
#include "databrowse/BrowseRecords.h"

class BROWSERESPONSEHANDLER_EXPORT BrowseResponseCache {
 public:
  // An empty cache: no items, no sort fields, the empty request, unsorted.
  BrowseResponseCache();

  // Caches are values: a copy holds its own items, request and sorted order;
  // a move never throws and leaves the source as a new, empty cache. A failed
  // copy assignment leaves the target as it was.
  BrowseResponseCache(const BrowseResponseCache& other) = default;
  BrowseResponseCache(BrowseResponseCache&& other) noexcept;
  BrowseResponseCache& operator=(const BrowseResponseCache& other);
  BrowseResponseCache& operator=(BrowseResponseCache&& other) noexcept;
  ~BrowseResponseCache() = default;

  // Starts over for `request`: keeps a copy of it, forgets every item and
  // marks the cache unsorted. If copying the request throws, the cache is
  // unchanged.
  void reset(databrowse::BrowseRequest& request);

  // Appends a copy of `item`. An item added after a sort is counted at once
  // but shows in pages only after the next sort.
  void addItem(databrowse::BrowseData& item) {
    items.push_back(item);
    itemHeapBytes += items.back().heapBytes();
  }

  // Makes room for `count` items in all, so that adding up to that many moves
  // none of the items already added. A host that knows about how many items
  // come (a file's size over its bytes per line, say) saves the moves of a
  // growing item array; room left unused costs only address space until an
  // item takes it, but memoryBytes counts it. Throws std::bad_alloc, leaving
  // the cache as it was, when the room cannot be had.
  void reserve(std::size_t count);
  // Gives back the room that no item took: when the item array holds fewer
  // items than it has room for, the items move to an array of their count.
  // The sorted order stays. Keeps the array as it is when the smaller one
  // cannot be had; never throws.
  void shrinkToFit() noexcept;
  // True when the first path of `request` equals the first path of the cached
  // request byte for byte, ignoring the case of ASCII letters only (a request
  // without paths has the empty path). Only first paths are compared.
  bool canServeRequest(databrowse::BrowseRequest& request);

  // True when the sort fields of the request's first query differ from those
  // of the last completed sort (a request without queries has none). The
  // direction is not compared.
  bool sortFieldsChanged(databrowse::BrowseRequest& request);

  // Sorts the cached items by the fields of the request's first query, in the
  // direction that it asks for. Returns success, or the error "sort object
  // failed to initialize" (code -1) when the key sorter cannot be initialised;
  // the cache then stays unsorted. Throws std::length_error past 2^31 items
  // (or past the key sorter's limits) and std::bad_alloc when memory runs
  // out; the cache is then unsorted, and the next getResults sorts again.
  CTzError sort(databrowse::BrowseRequest& request);

  // Appends to `responses` one response per answered query of `request`, in
  // query order: a page of sorted items for a query with parameters, the item
  // count for a query that asks only for a count. Sorts first when the cache
  // is unsorted or the first query asks for other fields or another direction
  // than the last sort. Returns the sort's error if that sort failed (the
  // responses are built all the same, with empty pages), else success.
  // A sort that getResults starts for pages near the ends of the order (the
  // first pages, or the last) keeps only those ends in the key sorter, about
  // a thousand keys at each end or as many as the pages reach, when that is
  // a small share of the items; a later page between the ends completes the
  // order first. The answers are those of a full sort either way.
  CTzError getResults(databrowse::BrowseRequest& request,
                      std::vector<databrowse::BrowseResponse>& responses);

  // Read access for hosts and tests.
  std::size_t itemCount() const { return items.size(); }
  bool isSorted() const { return sorted; }
  const std::vector<databrowse::FilteredBrowseField>& lastSortFields() const {
    return sortedFields;
  }

  // Bytes of memory that the cache holds now: the cache object, its item
  // array at its capacity with what every item owns, the cached request and
  // sort fields, and the key sorter's buffers. Cheap: the items' share is
  // counted as they are added.
  std::size_t memoryBytes() const;

 private:
  CTzError sortKeeping(databrowse::BrowseRequest& request, std::size_t keepEnds);
  std::size_t endsToKeep(databrowse::BrowseRequest& request);
  bool holdsEveryPage(databrowse::BrowseRequest& request);
  void appendPage(databrowse::BrowseRequest& request, databrowse::Query& query,
                  std::vector<databrowse::BrowseResponse>& responses);
  void appendCount(databrowse::BrowseRequest& request, databrowse::Query& query,
                   std::vector<databrowse::BrowseResponse>& responses);
  databrowse::BrowseResponse newResponse(databrowse::BrowseRequest& request,
                                         databrowse::Query& query);
  void addKeyFields(databrowse::BrowseData& item,
                    const std::vector<databrowse::FilteredBrowseField>& fields);
  void takeFrom(BrowseResponseCache& other) noexcept;

  std::vector<databrowse::BrowseData, browse_detail::LargeBlockAllocator<databrowse::BrowseData>>
      items;
  std::vector<databrowse::FilteredBrowseField> sortedFields;
  databrowse::BrowseRequest cachedRequest;
  I2::TVarlenSortCache sortCache;
  bool sorted = false;
  // Direction of the last completed sort, so that a flipped direction sorts
  // again even when the fields are the same.
  bool sortedReverse = false;
  // Heap bytes owned by the records in `items`.
  std::size_t itemHeapBytes = 0;
};

// The polymorphic front end through which the service feeds items and asks
// for answers. Owns exactly one cache for its whole life. Consumers are values
// like their cache: copyable, and movable without throwing (a moved-from
// consumer holds a new, empty cache), so a service can keep them in
// containers and return them by value.
class BROWSERESPONSEHANDLER_EXPORT BrowseResponseConsumer {
 public:
  BrowseResponseConsumer() = default;
  BrowseResponseConsumer(const BrowseResponseConsumer& other) = default;
  BrowseResponseConsumer(BrowseResponseConsumer&& other) noexcept = default;
  BrowseResponseConsumer& operator=(const BrowseResponseConsumer& other) = default;
  BrowseResponseConsumer& operator=(BrowseResponseConsumer&& other) noexcept = default;

  // Appends a copy of `item` to the cache. Always returns success.
  virtual CTzError addItem(databrowse::BrowseData& item);

  // Does no work in this library. Always returns success.
  virtual CTzError serve(databrowse::BrowseRequest& request);

  // Empties `responses`, then lets the cache answer `request` into it.
  // Returns the cache's result: success, or the error of a failed sort.
  virtual CTzError getResults(databrowse::BrowseRequest& request,
                              std::vector<databrowse::BrowseResponse>& responses);

  // Virtual, so that a subclass destroyed through this front end runs its own
  // destructor. Declared after the operations, whose places in the table of
  // virtual functions it leaves as they were.
  virtual ~BrowseResponseConsumer() = default;

  // The service calls reset and canServeRequest on the cache between
  // requests. It reaches the cache through this accessor rather than a public
  // member, so the cache stays owned by, and as long-lived as, the consumer.
  BrowseResponseCache& cache() { return cache_; }

 private:
  BrowseResponseCache cache_;
};
