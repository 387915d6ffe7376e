// The key sorter with one allocation failing: the failure reaches the caller
// as std::bad_alloc and the sorter answers afterwards as if the failed call
// had never been made.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "FailingAllocator.h"
#include "I2/TVarlenSortCache.h"

namespace {

void Store(I2::TVarlenSortCache& sorter, const std::string& text, std::uint32_t value) {
  sorter.PrepareKey();
  sorter.AddFieldToKey_IgnoreCase(text.data(), static_cast<unsigned short>(text.size()));
  sorter.FinishKey();
  sorter.StoreCurrentKeywithVal(reinterpret_cast<char*>(&value));
}

// The value at every position, or ~0 where the sorter holds no key.
std::vector<std::uint32_t> ValuesByPosition(I2::TVarlenSortCache& sorter) {
  sorter.SortKeys();
  std::vector<std::uint32_t> values;
  for (unsigned long p = 0; p < sorter.size(); ++p) {
    char* value = nullptr;
    std::uint32_t v = ~0u;
    if (sorter.GetFirstVal(p, 0, value, false) == 0) std::memcpy(&v, value, sizeof v);
    values.push_back(v);
  }
  return values;
}

// A key that belongs to a full kept end replaces that end's top; when the
// room for its longer bytes cannot be had, both ends must stay as they were.
TEST(SorterAllocationFailure, FailedStoreIntoAKeptEndLeavesBothEndsAsTheyWere) {
  const std::string longKey(100, 'a');  // sorts first: it replaces the first end's top
  std::uint64_t failures = 0;
  for (std::uint64_t k = 1;; ++k) {
    I2::TVarlenSortCache sorter;
    I2::TVarlenSortCache reference;
    for (I2::TVarlenSortCache* s : {&sorter, &reference}) {
      ASSERT_EQ(0, s->Initialize(1, sizeof(std::uint32_t), "t", "", false, false, nullptr));
      s->KeepEnds(2);
      for (const char* text : {"m", "n", "o", "p", "q"}) Store(*s, text, text[0]);
    }
    bool failed = false;
    {
      testsupport::AllocationFailure failure(k);
      try {
        Store(sorter, longKey, 1);
      } catch (const std::bad_alloc&) {
        failed = true;
      }
      ASSERT_EQ(failure.happened(), failed) << "allocation " << k;
    }
    if (!failed) break;
    ++failures;
    // "mm" now belongs to the first end in place of "n".
    for (I2::TVarlenSortCache* s : {&sorter, &reference}) Store(*s, "mm", 2);
    EXPECT_NO_THROW(sorter.checkInvariants()) << "allocation " << k;
    EXPECT_EQ(ValuesByPosition(reference), ValuesByPosition(sorter))
        << "after allocation " << k << " of the store failed";
  }
  EXPECT_GT(failures, 0u);
}

}  // namespace
