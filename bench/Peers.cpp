#include "Peers.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>

namespace bench {

namespace {

int compareIgnoringAsciiCase(std::string_view a, std::string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    auto x = static_cast<unsigned char>(a[i]);
    auto y = static_cast<unsigned char>(b[i]);
    if (static_cast<unsigned>(x - 'A') < 26u) x += 'a' - 'A';
    if (static_cast<unsigned>(y - 'A') < 26u) y += 'a' - 'A';
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Three-way comparison of two items in `order`, ascending.
int compareIn(Order order, const PlainItem& a, const PlainItem& b) {
  auto const numbers = [](std::int64_t x, std::int64_t y) { return x < y ? -1 : (x > y ? 1 : 0); };
  switch (order) {
    case Order::kNameNumber: {
      const int byName = compareIgnoringAsciiCase(a.name, b.name);
      return byName != 0 ? byName : numbers(a.number, b.number);
    }
    case Order::kNumber:
      return numbers(a.number, b.number);
    case Order::kFlagName: {
      const int byFlag = static_cast<int>(a.flag != 0) - static_cast<int>(b.flag != 0);
      return byFlag != 0 ? byFlag : compareIgnoringAsciiCase(a.name, b.name);
    }
  }
  return 0;
}

const char* orderBy(Order order, bool descending) {
  switch (order) {
    case Order::kNameNumber:
      return descending ? "name COLLATE NOCASE DESC, number DESC, rowid DESC"
                        : "name COLLATE NOCASE, number, rowid";
    case Order::kNumber:
      return descending ? "number DESC, rowid DESC" : "number, rowid";
    case Order::kFlagName:
      return descending ? "(flag <> 0) DESC, name COLLATE NOCASE DESC, rowid DESC"
                        : "(flag <> 0), name COLLATE NOCASE, rowid";
  }
  return "rowid";
}

const char* indexColumns(Order order) {
  switch (order) {
    case Order::kNameNumber:
      return "name COLLATE NOCASE, number";
    case Order::kNumber:
      return "number";
    case Order::kFlagName:
      return "(flag <> 0), name COLLATE NOCASE";
  }
  return "rowid";
}

// Finalizes a statement when it goes out of scope.
struct Finalizer {
  sqlite3_stmt* statement;
  ~Finalizer() { sqlite3_finalize(statement); }
};

}  // namespace

void copyToPlain(const std::vector<databrowse::BrowseData>& items, std::vector<PlainItem>& out) {
  out.reserve(out.size() + items.size());
  for (const databrowse::BrowseData& item : items) out.push_back(plainOf(item));
}

void stableSortPlain(std::vector<PlainItem>& items, Order order, bool descending) {
  if (descending) {
    std::stable_sort(items.begin(), items.end(), [order](const PlainItem& a, const PlainItem& b) {
      return compareIn(order, b, a) < 0;
    });
  } else {
    std::stable_sort(items.begin(), items.end(), [order](const PlainItem& a, const PlainItem& b) {
      return compareIn(order, a, b) < 0;
    });
  }
}

std::vector<PlainItem> cutPage(const std::vector<PlainItem>& sorted, std::size_t offset,
                               std::size_t limit) {
  if (offset >= sorted.size()) return {};
  const std::size_t end = std::min(sorted.size(), offset + limit);
  return std::vector<PlainItem>(sorted.begin() + static_cast<std::ptrdiff_t>(offset),
                                sorted.begin() + static_cast<std::ptrdiff_t>(end));
}

SqlitePeer::SqlitePeer() {
  if (sqlite3_open(":memory:", &db_) != SQLITE_OK) fail("open");
  // Sorts of large results stay in memory, as every other peer does.
  execute("PRAGMA temp_store = MEMORY");
  execute("PRAGMA cache_size = -4194304");
  execute("CREATE TABLE items(name TEXT, number INTEGER, flag INTEGER)");
}

SqlitePeer::~SqlitePeer() {
  for (auto& [key, statement] : pageStatements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

void SqlitePeer::fail(const char* what) const {
  throw std::runtime_error(std::string("SQLite ") + what + ": " +
                           (db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory"));
}

void SqlitePeer::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = std::string("SQLite: ") + sql + ": " + (message ? message : "error");
    sqlite3_free(message);
    throw std::runtime_error(text);
  }
}

void SqlitePeer::insertAll(const std::vector<databrowse::BrowseData>& items) {
  sqlite3_stmt* insert = nullptr;
  if (sqlite3_prepare_v2(db_, "INSERT INTO items(name, number, flag) VALUES (?1, ?2, ?3)", -1,
                         &insert, nullptr) != SQLITE_OK) {
    fail("prepare insert");
  }
  Finalizer finalizer{insert};
  execute("BEGIN");
  for (const databrowse::BrowseData& item : items) {
    const std::string_view name = item.nameView();
    const std::int64_t flag = item.flagValue();
    // A null pointer would bind NULL rather than the empty text.
    sqlite3_bind_text(insert, 1, name.empty() ? "" : name.data(), static_cast<int>(name.size()),
                      SQLITE_STATIC);
    sqlite3_bind_int64(insert, 2, item.number());
    sqlite3_bind_int64(insert, 3, flag);
    if (sqlite3_step(insert) != SQLITE_DONE) fail("insert");
    sqlite3_reset(insert);
  }
  execute("COMMIT");
}

void SqlitePeer::createIndex(Order order) {
  const std::string sql = std::string("CREATE INDEX items_by_") + orderName(order) + " ON items(" +
                          indexColumns(order) + ")";
  execute(sql.c_str());
}

sqlite3_stmt* SqlitePeer::pageStatement(Order order, bool descending) {
  auto found = pageStatements_.find({order, descending});
  if (found != pageStatements_.end()) return found->second;
  const std::string sql = std::string("SELECT name, number, flag FROM items ORDER BY ") +
                          orderBy(order, descending) + " LIMIT ?1 OFFSET ?2";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
      SQLITE_OK) {
    fail("prepare page query");
  }
  pageStatements_[{order, descending}] = statement;
  return statement;
}

std::vector<PlainItem> SqlitePeer::page(Order order, bool descending, long long offset,
                                        long long limit) {
  sqlite3_stmt* statement = pageStatement(order, descending);
  sqlite3_bind_int64(statement, 1, limit);
  sqlite3_bind_int64(statement, 2, offset);
  std::vector<PlainItem> rows;
  rows.reserve(static_cast<std::size_t>(limit));
  int step;
  while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
    PlainItem& row = rows.emplace_back();
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    row.name.assign(text != nullptr ? text : "",
                    static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    row.number = sqlite3_column_int64(statement, 1);
    row.flag = sqlite3_column_int64(statement, 2);
  }
  sqlite3_reset(statement);
  if (step != SQLITE_DONE) fail("page query");
  return rows;
}

std::string SqlitePeer::plan(Order order, bool descending) {
  const std::string sql = std::string("EXPLAIN QUERY PLAN SELECT name, number, flag FROM items ") +
                          "ORDER BY " + orderBy(order, descending) + " LIMIT 100 OFFSET 0";
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
    fail("prepare query plan");
  }
  Finalizer finalizer{statement};
  std::string steps;
  while (sqlite3_step(statement) == SQLITE_ROW) {
    if (!steps.empty()) steps += "; ";
    steps += reinterpret_cast<const char*>(sqlite3_column_text(statement, 3));
  }
  return steps;
}

}  // namespace bench
