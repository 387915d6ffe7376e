// The two peers that the library is measured against: a plain C++ vector of
// structs sorted with std::stable_sort, and an in-memory SQLite table.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Workload.h"

namespace bench {

// ---- Plain C++ --------------------------------------------------------------

// Appends a plain copy of every item to `out`, after reserving room for them.
void copyToPlain(const std::vector<databrowse::BrowseData>& items, std::vector<PlainItem>& out);

// Sorts `items` in `order` with std::stable_sort: names compare ASCII
// case-insensitively as unsigned bytes (a prefix first), numbers as signed
// values, flags as zero or not. Descending reverses the comparison, so tied
// items keep their input order either way.
void stableSortPlain(std::vector<PlainItem>& items, Order order, bool descending);

// Copies of the `limit` items from `offset` on (fewer at the end).
std::vector<PlainItem> cutPage(const std::vector<PlainItem>& sorted, std::size_t offset,
                               std::size_t limit = kPageSize);

// ---- SQLite -----------------------------------------------------------------

// One in-memory database with the table items(name TEXT, number INTEGER,
// flag INTEGER), whose rowid is the insertion position. Errors throw
// std::runtime_error.
class SqlitePeer {
 public:
  SqlitePeer();
  ~SqlitePeer();
  SqlitePeer(const SqlitePeer&) = delete;
  SqlitePeer& operator=(const SqlitePeer&) = delete;

  // Inserts every item in one transaction through one prepared statement.
  void insertAll(const std::vector<databrowse::BrowseData>& items);

  // Creates the index that serves `order` (both directions): its columns are
  // the order's sort terms, and rowid, which every index entry ends with,
  // breaks ties as in the other implementations.
  void createIndex(Order order);

  // The page of `limit` rows from `offset` on, by ORDER BY ... LIMIT ? OFFSET ?
  // with rowid as the last term, so ties come in insertion order (reversed
  // when descending, as in the library).
  std::vector<PlainItem> page(Order order, bool descending, long long offset,
                              long long limit = kPageSize);

  // The query plan of that page query, its steps joined by "; ".
  std::string plan(Order order, bool descending);

 private:
  void execute(const char* sql);
  [[noreturn]] void fail(const char* what) const;
  sqlite3_stmt* pageStatement(Order order, bool descending);

  sqlite3* db_ = nullptr;
  std::map<std::pair<Order, bool>, sqlite3_stmt*> pageStatements_;
};

}  // namespace bench
