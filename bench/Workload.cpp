#include "Workload.h"

#include <cstdlib>
#include <memory>
#include <stdexcept>

#include "FailingAllocator.h"
#include "ItemGenerator.h"

namespace bench {

namespace {

// Seed of every workload, so that every run and every peer sees the same items.
constexpr std::uint64_t kSeed = 20240607;

struct Workload {
  std::size_t count = 0;
  std::vector<databrowse::BrowseData> items;
  double bytesPerItem = 0;
};

Workload& current() {
  static Workload workload;
  return workload;
}

}  // namespace

const char* orderName(Order order) {
  switch (order) {
    case Order::kNameNumber:
      return "name_number";
    case Order::kNumber:
      return "number";
    case Order::kFlagName:
      return "flag_name";
  }
  return "unknown";
}

std::vector<databrowse::FilteredBrowseField> orderFields(Order order) {
  switch (order) {
    case Order::kNameNumber:
      return {databrowse::ByName, databrowse::ByNumber};
    case Order::kNumber:
      return {databrowse::ByNumber};
    case Order::kFlagName:
      return {databrowse::ByFlag, databrowse::ByName};
  }
  return {};
}

databrowse::BrowseRequest pageRequest(Order order, bool descending, long long offset,
                                      long long limit) {
  databrowse::BrowseRequest request;
  request.paths(true).emplace_back().setPath("/bench");
  databrowse::Query& query = request.queries(true).emplace_back();
  query.setQueryId("page");
  databrowse::SortParameters& sort = query.parameters(true).sort(true);
  sort.fields(true) = orderFields(order);
  databrowse::markSet(sort, databrowse::SortParameters::kFields);
  if (descending) sort.setDirection(1);
  databrowse::PagingParameters& paging = query.parameters(true).paging(true);
  paging.setOffset(offset);
  paging.setLimit(limit);
  return request;
}

PlainItem plainOf(const databrowse::BrowseData& item) {
  PlainItem plain;
  plain.name = std::string(item.nameView());
  plain.number = item.number();
  plain.flag = item.flagValue();
  return plain;
}

const char* itemBuildName(ItemBuild build) {
  return build == ItemBuild::kAccessors ? "accessors" : "generator";
}

ItemBuild itemBuild() {
  const char* asked = std::getenv("BROWSE_BENCH_ITEMS");
  if (asked == nullptr || std::string_view(asked) == "accessors") return ItemBuild::kAccessors;
  if (std::string_view(asked) == "generator") return ItemBuild::kGenerator;
  throw std::invalid_argument(
      std::string("BROWSE_BENCH_ITEMS: expected accessors or generator, got ") + asked);
}

databrowse::BrowseData throughAccessors(const PlainItem& plain, std::size_t order) {
  databrowse::BrowseData item;
  switch (order % 3) {
    case 0:
      item.setName(plain.name);
      item.setNumber(plain.number);
      item.flags(true).setFlag(plain.flag);
      break;
    case 1:
      item.flags(true).setFlag(plain.flag);
      item.setNumber(plain.number);
      item.setName(plain.name);
      break;
    default:
      item.setNumber(plain.number);
      item.flags(true).setFlag(plain.flag);
      item.setName(plain.name);
      break;
  }
  return item;
}

std::vector<databrowse::BrowseData>& workloadItems(std::size_t count) {
  Workload& workload = current();
  if (workload.count == count && workload.items.size() == count) return workload.items;
  std::vector<databrowse::BrowseData>().swap(workload.items);
  workload.count = 0;
  testsupport::CountingWindow window;
  workload.items.reserve(count);
  browse::ItemGenerator generator(kSeed);
  const ItemBuild build = itemBuild();
  for (std::size_t i = 0; i < count; ++i) {
    if (build == ItemBuild::kGenerator) {
      workload.items.push_back(generator.next());
    } else {
      workload.items.push_back(throughAccessors(plainOf(generator.next()), i));
    }
  }
  workload.count = count;
  workload.bytesPerItem =
      count == 0 ? 0.0 : static_cast<double>(window.currentAbove()) / static_cast<double>(count);
  return workload.items;
}

double workloadBytesPerItem() { return current().bytesPerItem; }

std::string foldAscii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

OrderKey orderKeyOf(Order order, const PlainItem& item) {
  OrderKey key;
  switch (order) {
    case Order::kNameNumber:
      key.foldedName = foldAscii(item.name);
      key.number = item.number;
      break;
    case Order::kNumber:
      key.number = item.number;
      break;
    case Order::kFlagName:
      key.flagged = item.flag != 0;
      key.foldedName = foldAscii(item.name);
      break;
  }
  return key;
}

}  // namespace bench
