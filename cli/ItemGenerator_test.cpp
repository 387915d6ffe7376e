// The synthetic items: reproducible, and shaped like a real workload.
#include "ItemGenerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "databrowse/RecordJson.h"

namespace browse {
namespace {

std::vector<databrowse::BrowseData> generate(std::uint64_t seed, std::size_t count) {
  ItemGenerator generator(seed);
  std::vector<databrowse::BrowseData> items;
  for (std::size_t i = 0; i < count; ++i) items.push_back(generator.next());
  return items;
}

TEST(ItemGeneratorTest, SequenceDependsOnlyOnTheSeed) {
  EXPECT_EQ(generate(7, 500), generate(7, 500));
  EXPECT_NE(generate(7, 500), generate(8, 500));
  EXPECT_NE(generate(0, 500), generate(1, 500));
}

TEST(ItemGeneratorTest, ItemsLookLikeARealWorkload) {
  constexpr std::size_t kCount = 20000;
  std::vector<databrowse::BrowseData> items = generate(42, kCount);
  std::set<std::string> names;
  std::set<std::string> prefixes;
  std::size_t nonAscii = 0, small = 0, negative = 0, large = 0, hugeNegative = 0;
  std::size_t zeroFlags = 0, extremes = 0;
  for (databrowse::BrowseData& item : items) {
    ASSERT_TRUE(databrowse::isSet(item, databrowse::BrowseData::kName));
    ASSERT_TRUE(databrowse::isSet(item, databrowse::BrowseData::kNumber));
    ASSERT_TRUE(databrowse::isSet(item.flags(), databrowse::ItemFlags::kFlag));
    const std::string name = item.name();
    ASSERT_GE(name.size(), ItemGenerator::kMinNameBytes) << name;
    ASSERT_LE(name.size(), ItemGenerator::kMaxNameBytes) << name;
    // The JSON reader rejects invalid UTF-8 and the writer would replace it,
    // so an exact round trip shows the name is valid UTF-8.
    ASSERT_EQ(item, databrowse::parseItem(databrowse::toJson(item))) << name;
    names.insert(name);
    std::string prefix = name.substr(0, 4);
    std::transform(prefix.begin(), prefix.end(), prefix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    prefixes.insert(prefix);
    if (std::any_of(name.begin(), name.end(), [](char c) { return c & 0x80; })) ++nonAscii;
    const std::int64_t number = item.number();
    if (number > -1000 && number < 1000) ++small;
    if (number < 0) ++negative;
    if (number > (std::int64_t{1} << 40)) ++large;
    if (number < -(std::int64_t{1} << 40)) ++hugeNegative;
    if (number == std::numeric_limits<std::int64_t>::min() ||
        number == std::numeric_limits<std::int64_t>::max()) {
      ++extremes;
    }
    if (item.flags().flag() == 0) ++zeroFlags;
  }
  const auto share = [](std::size_t part) { return 100.0 * part / kCount; };
  EXPECT_GT(share(kCount - names.size()), 3) << "some names repeat";
  EXPECT_LT(share(kCount - names.size()), 50);
  EXPECT_GT(kCount / prefixes.size(), 20u) << "names share prefixes";
  EXPECT_GT(share(nonAscii), 5);
  EXPECT_LT(share(nonAscii), 40);
  EXPECT_GT(share(small), 40) << "many small numbers";
  EXPECT_GT(share(negative), 15);
  EXPECT_GT(share(large), 5);
  EXPECT_GT(share(hugeNegative), 5);
  EXPECT_GT(extremes, 0u);
  EXPECT_GT(share(zeroFlags), 80) << "flags are mostly 0";
  EXPECT_LT(share(zeroFlags), 99);
}

}  // namespace
}  // namespace browse
