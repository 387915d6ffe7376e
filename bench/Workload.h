// The benchmark workload: generated items, the sort orders and the requests
// that ask for them, and the plain form of an item that the peers work on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "databrowse/BrowseRecords.h"

namespace bench {

// Items per page in every page query.
inline constexpr long long kPageSize = 100;

// The sort orders measured: [ByName, ByNumber], [ByNumber], [ByFlag, ByName].
enum class Order { kNameNumber, kNumber, kFlagName };

inline constexpr Order kOrders[] = {Order::kNameNumber, Order::kNumber, Order::kFlagName};

// Short name used in benchmark names and in the table: name_number, number, flag_name.
const char* orderName(Order order);

std::vector<databrowse::FilteredBrowseField> orderFields(Order order);

// A request for path "/bench" whose only query asks for `limit` items from
// `offset` on in the given order.
databrowse::BrowseRequest pageRequest(Order order, bool descending, long long offset,
                                      long long limit = kPageSize);

// An item as the plain C++ peer holds it.
struct PlainItem {
  std::string name;
  std::int64_t number = 0;
  std::int64_t flag = 0;
};

// The name, number and flag of `item`; reads no field that the item lacks.
PlainItem plainOf(const databrowse::BrowseData& item);

// How the workload's items are built from the generator's values: through
// the public accessors (setName, setNumber, flags(true).setFlag, in one of
// three orders by position), as a service builds them, or by the generator
// itself. BROWSE_BENCH_ITEMS=accessors (the default) or generator picks it;
// anything else throws std::invalid_argument.
enum class ItemBuild { kAccessors, kGenerator };
ItemBuild itemBuild();
const char* itemBuildName(ItemBuild build);

// An item holding `plain`'s fields, set through the accessors in order
// `order` % 3.
databrowse::BrowseData throughAccessors(const PlainItem& plain, std::size_t order);

// The items of the workload of size `count`, from the fixed-seed generator,
// built as itemBuild() says.
// The last workload asked for is kept and handed out again; asking for another
// size frees it first. The items are not changed by any benchmark.
std::vector<databrowse::BrowseData>& workloadItems(std::size_t count);

// Bytes that the items of the current workload hold on the heap (counted as
// they were generated) plus the vector's own slots, per item.
double workloadBytesPerItem();

// ASCII 'A'-'Z' folded to 'a'-'z', all other bytes kept.
std::string foldAscii(std::string_view text);

// The part of an item that decides its place in `order`: two items are tied in
// `order` exactly when their keys are equal.
struct OrderKey {
  std::string foldedName;  // empty when the order ignores names
  std::int64_t number = 0;
  bool flagged = false;
  bool operator==(const OrderKey&) const = default;
};

OrderKey orderKeyOf(Order order, const PlainItem& item);

}  // namespace bench
