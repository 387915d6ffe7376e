// The measurements that run in a fresh process (see FreshProcess.h), for ours
// and for the peers alike. Each takes the workload's items, does its untimed
// setup, times one region with TimedRegion and returns the report with the
// page that it produced, so that the benchmark process can compare pages
// between implementations.
//
// With `countHeap` a scenario also counts its heap (CountingWindow, opened
// after the fork, so the input is not counted) and reports the peak as
// heap_bytes_per_item; its timing then includes the counting.
#pragma once

#include <cstddef>
#include <vector>

#include "FreshProcess.h"
#include "Workload.h"
#include "databrowse/BrowseRecords.h"

namespace bench {

using Items = std::vector<databrowse::BrowseData>;

// The items of the first response's page, in the plain form.
std::vector<PlainItem> plainPage(std::vector<databrowse::BrowseResponse>& responses);

// N x addItem into a new consumer after its reset (timed: the adds); with
// `reserve`, the cache first makes room for N items (timed too), as the plain
// copy reserves its vector and as a host that knows N does.
ChildReport addItemsOurs(Items& items, bool reserve);
// The plain copies into a reserved vector (timed: reserve and copy).
ChildReport addItemsPlain(Items& items);

// Whole browse, first page of `order`: ours is reset, N x addItem and
// getResults on a new consumer; plain C++ copies, stable_sort and the page
// copy; SQLite inserts (then builds the index when `indexed`) and queries.
ChildReport browseOurs(Items& items, Order order, bool descending, bool countHeap);
ChildReport browsePlain(Items& items, Order order, bool descending, bool countHeap);
ChildReport browseSqlite(Items& items, Order order, bool descending, bool indexed, bool countHeap);

// The first sort after the adds: cache().sort on the filled consumer, or
// stable_sort of the fresh plain copies (timed: the sort only).
ChildReport firstSortOurs(Items& items, Order order, bool descending);
ChildReport firstSortPlain(Items& items, Order order, bool descending);

// The first answer after the adds, [ByName, ByNumber] ascending, page of 100
// at offset 0: getResults on the filled consumer, or SQLite's query on the
// filled table without an index (timed: that call only).
ChildReport firstPageOurs(Items& items);
ChildReport firstPageSqlite(Items& items);

// The key sorter alone, [ByName, ByNumber] ascending: keys built from the
// items as the cache builds them, SortKeys, then `positionsRead` positions
// read in order from position 0 (all of them when it exceeds N).
ChildReport sorterAlone(Items& items, std::size_t positionsRead, bool countHeap);

// Destruction of a filled and sorted consumer, or of the sorted plain vector
// (timed: the destruction only).
ChildReport teardownOurs(Items& items);
ChildReport teardownPlain(Items& items);

// A getResults on a warm cache, after a first getResults for [ByName,
// ByNumber] ascending: the same fields descending, or [ByNumber] ascending
// (timed: the second getResults only).
enum class WarmChange { kFlipDirection, kOtherFields };
ChildReport warmResort(Items& items, WarmChange change);

// The order and direction that warmResort's timed getResults asks for.
Order warmOrder(WarmChange change);
bool warmDescending(WarmChange change);

}  // namespace bench
