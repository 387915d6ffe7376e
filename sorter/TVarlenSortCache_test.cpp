#include "I2/TVarlenSortCache.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <variant>
#include <vector>

#include "SorterState.h"
#include "TestSeed.h"

namespace I2 {
// Reaches the limits that are too large to hit in a test, and the sort's
// size thresholds.
class TVarlenSortCacheTestPeer {
 public:
  static detail::SorterState& State(TVarlenSortCache& s) { return *s.state_; }
  static void SetKeyLimit(TVarlenSortCache& s, std::uint64_t limit) {
    State(s).limits.keys = limit;
  }
  static void SetKeyBytesLimit(TVarlenSortCache& s, std::uint64_t limit) {
    State(s).limits.keyBytes = limit;
  }
  static void SetArenaLimit(TVarlenSortCache& s, std::uint64_t limit) {
    State(s).limits.totalKeyBytes = limit;
  }
  static void SetThresholds(TVarlenSortCache& s, std::size_t small, std::size_t eager) {
    State(s).thresholds = {small, eager};
  }
  static std::size_t HeldBytes(const TVarlenSortCache& s) {
    return s.state_->stored.keys.capacity() * sizeof(detail::Key) +
           s.state_->stored.records.heldBytes();
  }
};
}  // namespace I2

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Field = std::variant<unsigned short, unsigned long, std::string>;
using Fields = std::vector<Field>;
using Order = std::vector<std::uint32_t>;  // insertion indices in the order read

// Each key's value is its insertion index, so a read-back shows the order.
class SorterTest : public ::testing::Test {
 protected:
  void Init(bool reverse = false, unsigned long fields = 4) {
    ASSERT_EQ(0,
              sorter.Initialize(fields, sizeof(std::uint32_t), "t", "", reverse, false, nullptr));
    stored = 0;
  }
  // With `dropping`, asks the sorter between fields whether it takes the key
  // as placed, as a caller that skips reading the remaining fields would.
  void Add(const Fields& key) {
    sorter.PrepareKey();
    for (std::size_t i = 0; i < key.size(); ++i) {
      if (dropping && i > 0 && sorter.DropsCurrentKey()) {
        ++stored;
        ++dropped;
        return;
      }
      std::visit([&](const auto& v) { AddField(v); }, key[i]);
    }
    sorter.FinishKey();
    std::uint32_t value = stored++;
    sorter.StoreCurrentKeywithVal(reinterpret_cast<char*>(&value));
  }
  void AddField(unsigned short v) { sorter.AddFieldToKey(v); }
  void AddField(unsigned long v) { sorter.AddFieldToKey(v); }
  void AddField(const std::string& v) {
    sorter.AddFieldToKey_IgnoreCase(v.data(), static_cast<unsigned short>(v.size()));
  }
  static std::uint32_t Decode(const char* value) {
    std::uint32_t v;
    std::memcpy(&v, value, sizeof v);
    return v;
  }
  // Sorts `reader` and reads it from the first position to the end.
  static Order SortedOf(I2::TVarlenSortCache& reader) {
    reader.SortKeys();
    Order out;
    char* value = nullptr;
    for (int rc = reader.GetFirstVal(0, 0, value, false); rc == 0;
         rc = reader.GetNextVal(0, value, false)) {
      out.push_back(Decode(value));
    }
    return out;
  }
  // Sorts and reads from `position` to the end.
  Order SortedFrom(unsigned long position = 0) {
    sorter.SortKeys();
    Order out;
    char* value = nullptr;
    for (int rc = sorter.GetFirstVal(position, 0, value, false); rc == 0;
         rc = sorter.GetNextVal(0, value, false)) {
      out.push_back(Decode(value));
    }
    return out;
  }
  Order OrderOf(const std::vector<Fields>& keys, bool reverse = false) {
    sorter.Clear(false);
    Init(reverse);
    for (const Fields& k : keys) Add(k);
    return SortedFrom();
  }
  template <class F>
  void ExpectMisuse(F&& call, const char* operation, const char* problem) {
    try {
      call();
      ADD_FAILURE() << operation << " did not throw: " << problem;
    } catch (const std::logic_error& e) {
      EXPECT_THAT(e.what(), HasSubstr(std::string(operation) + ": "));
      EXPECT_THAT(e.what(), HasSubstr(problem));
    }
  }

  I2::TVarlenSortCache sorter;
  std::uint32_t stored = 0;
  bool dropping = false;
  std::size_t dropped = 0;
};

using SorterOrder = SorterTest;
using s = std::string;
using u16 = unsigned short;
using u64 = unsigned long;

TEST_F(SorterOrder, NumbersCompareUnsignedAtTheirWidth) {
  EXPECT_THAT(OrderOf({{u16{0xFFFF}}, {u16{0}}, {u16{0x8000}}, {u16{0x00FF}}, {u16{0x0100}}}),
              ElementsAre(1, 3, 4, 2, 0));
  EXPECT_THAT(OrderOf({{~u64{0}}, {u64{1} << 63}, {u64{0}}, {u64{0xFF}}, {u64{1} << 8}}),
              ElementsAre(2, 3, 4, 1, 0));
}

TEST_F(SorterOrder, TextFoldsOnlyAsciiLetters) {
  // 'Z' folds to 0x7A and so sorts after '[' (0x5B); '@' and '`' border A-Z and a-z and stay.
  EXPECT_THAT(OrderOf({{s("Z")}, {s("[")}, {s("a")}, {s("@")}, {s("`")}}),
              ElementsAre(3, 1, 4, 2, 0));
  // Bytes from 0x80 compare unsigned, after ASCII, and are not folded.
  EXPECT_THAT(OrderOf({{s("\xE4")}, {s("\xC4")}, {s("z")}, {s("\x80")}}), ElementsAre(2, 3, 1, 0));
  EXPECT_THAT(OrderOf({{s("aBc")}, {s("ABC")}, {s("abc")}, {s("abB")}}), ElementsAre(3, 0, 1, 2));
  // The same in 8-byte texts, folded 8 bytes at a time: first and last byte decide.
  EXPECT_THAT(OrderOf({{s("Zxxxxxxx")},
                       {s("[xxxxxxx")},
                       {s("axxxxxxx")},
                       {s("@xxxxxxx")},
                       {s("`xxxxxxx")},
                       {s("XXXXXXX\xE4")},
                       {s("xxxxxxx\xC4")},
                       {s("xxxxxxxZ")},
                       {s("xXxXxXx[")}}),
              ElementsAre(3, 1, 4, 2, 8, 7, 6, 5, 0));
}

TEST_F(SorterOrder, TextsOfEveryLengthFoldAndEscapeEveryByte) {
  // Texts are encoded 8 or 4 bytes at a time with an overlapping last chunk;
  // at each length, a differing, upper-case or NUL byte at each position must
  // land in its place.
  for (std::size_t length = 1; length <= 20; ++length) {
    for (std::size_t at = 0; at < length; ++at) {
      s const base(length, 'm');
      s upper = base, lower = base, nul = base, high = base;
      upper[at] = 'B';
      lower[at] = 'c';
      nul[at] = '\0';
      high[at] = 'N';
      // Key order: nul < upper ('b') < lower ('c') < base ('m') < high ('n').
      EXPECT_THAT(OrderOf({{base, u16{1}}, {high}, {lower}, {nul, u16{0}}, {upper}}),
                  ElementsAre(3, 4, 2, 0, 1))
          << "length " << length << ", byte " << at;
      // A NUL is not the end of the text: "m..m\0" sorts after "m..m".
      EXPECT_THAT(OrderOf({{base + s("\0", 1)}, {base}}), ElementsAre(1, 0)) << length;
    }
  }
}

TEST_F(SorterOrder, NulIsAnOrdinaryByte) {
  EXPECT_THAT(OrderOf({{s("a\0b", 3)}, {s("a\x01")}, {s("a\0", 2)}, {s("a")}, {s("a\0\0", 3)}}),
              ElementsAre(3, 2, 4, 0, 1));
  // The text's end is not confused with a NUL followed by the next field.
  EXPECT_THAT(OrderOf({{s("ab\0", 3), u64{0}}, {s("ab"), ~u64{0}}}), ElementsAre(1, 0));
}

TEST_F(SorterOrder, PrefixesSortFirst) {
  EXPECT_THAT(OrderOf({{s("abc")}, {s("ab")}, {s("")}, {s("abcdefghijk")}, {s("abcdefgh")}}),
              ElementsAre(2, 1, 0, 4, 3));
  EXPECT_THAT(OrderOf({{s("ab"), u16{0}, u16{0}}, {s("ab"), u16{0}}, {}, {s("ab")}}),
              ElementsAre(2, 3, 1, 0));
}

TEST_F(SorterOrder, FieldsCompareInTheOrderAdded) {
  EXPECT_THAT(
      OrderOf({{u16{2}, s("a")}, {u16{1}, s("z")}, {u16{1}, s("B")}, {u16{1}, s("b"), u64{0}}}),
      ElementsAre(2, 3, 1, 0));
}

TEST_F(SorterOrder, EqualKeysKeepInsertionOrderAndReverseReversesIt) {
  std::vector<Fields> keys{{s("x")}, {s("X")}, {}, {s("x")}, {}, {s("y")}};
  EXPECT_THAT(OrderOf(keys), ElementsAre(2, 4, 0, 1, 3, 5));
  EXPECT_THAT(OrderOf(keys, true), ElementsAre(5, 3, 1, 0, 4, 2));
  EXPECT_THAT(OrderOf({{}, {}, {}}), ElementsAre(0, 1, 2));
}

using SorterReading = SorterTest;

TEST_F(SorterReading, PositionsCountFromZeroAndReachTheKeyDirectly) {
  for (bool reverse : {false, true}) {
    Init(reverse);
    for (u16 k : {30, 10, 20, 40}) Add({k});
    EXPECT_THAT(SortedFrom(0), reverse ? ElementsAre(3, 0, 2, 1) : ElementsAre(1, 2, 0, 3));
    EXPECT_THAT(SortedFrom(2), reverse ? ElementsAre(2, 1) : ElementsAre(0, 3));
    EXPECT_THAT(SortedFrom(3), ElementsAre(reverse ? 1 : 3));
    EXPECT_THAT(SortedFrom(4), ElementsAre());
    char* value = nullptr;
    ASSERT_EQ(0, sorter.GetFirstVal(3, 0, value, false));
    EXPECT_NE(0, sorter.GetNextVal(0, value, false));
    EXPECT_NE(0, sorter.GetNextVal(0, value, false)) << "stays at the end";
    EXPECT_NE(0, sorter.GetFirstVal(~0ul, 0, value, false));
    sorter.Clear(false);
  }
}

TEST_F(SorterReading, EmptySorterHasNoFirstKey) {
  Init();
  EXPECT_THAT(SortedFrom(), ElementsAre());
  EXPECT_EQ(0u, sorter.size());
}

TEST_F(SorterReading, ValueIsTheSortersOwnCopy) {
  ASSERT_EQ(0, sorter.Initialize(1, 5, "t", "", false, false, nullptr));
  char buffer[] = "bbbb";
  for (u16 key : {2, 1}) {
    sorter.PrepareKey();
    sorter.AddFieldToKey(key);
    sorter.FinishKey();
    sorter.StoreCurrentKeywithVal(buffer);
    buffer[0] = buffer[1] = buffer[2] = buffer[3] = 'a';  // after the copy was taken
  }
  sorter.SortKeys();
  char *first = nullptr, *second = nullptr;
  ASSERT_EQ(0, sorter.GetFirstVal(0, 0, first, false));
  ASSERT_EQ(0, sorter.GetNextVal(0, second, false));
  EXPECT_STREQ("aaaa", first);
  EXPECT_STREQ("bbbb", second);
}

TEST_F(SorterReading, NoKeyToDeliverIsANonzeroResultNotAnError) {
  char* value = nullptr;
  EXPECT_NE(0, sorter.GetFirstVal(0, 0, value, false)) << "never initialised";
  EXPECT_NE(0, sorter.GetNextVal(0, value, false)) << "never initialised";
  Init();
  EXPECT_NE(0, sorter.GetFirstVal(0, 0, value, false)) << "no key";
  Add({u16{1}});
  EXPECT_NE(0, sorter.GetFirstVal(0, 0, value, false)) << "stored but not sorted";
  EXPECT_NE(0, sorter.GetNextVal(0, value, false)) << "stored but not sorted";
  sorter.SortKeys();
  ExpectMisuse([&] { sorter.GetNextVal(0, value, false); }, "GetNextVal", "no GetFirstVal");
  EXPECT_NE(0, sorter.GetFirstVal(1, 0, value, false)) << "past the end";
  EXPECT_NE(0, sorter.GetNextVal(0, value, false)) << "nothing after a failed GetFirstVal";
  ASSERT_EQ(0, sorter.GetFirstVal(0, 0, value, false));
  EXPECT_EQ(0u, Decode(value));
  sorter.Clear(true);
  EXPECT_NE(0, sorter.GetFirstVal(0, 0, value, false)) << "cleared";
  EXPECT_NE(0, sorter.GetNextVal(0, value, false)) << "cleared";
}

TEST_F(SorterReading, SortingSortedKeysAgainKeepsWhereReadingStands) {
  Init();
  for (u16 k : {3, 1, 2}) Add({k});
  sorter.SortKeys();
  char* value = nullptr;
  ASSERT_EQ(0, sorter.GetFirstVal(0, 0, value, false));
  sorter.SortKeys();
  ASSERT_EQ(0, sorter.GetNextVal(0, value, false));
  EXPECT_EQ(2u, Decode(value));
}

TEST_F(SorterReading, SetReverseReadsAsASortInTheOtherDirection) {
  std::vector<Fields> keys{{s("b")}, {s("a")}, {s("B")}, {s("c")}, {s("a")}};
  Order const ascending = OrderOf(keys);
  Order const descending = OrderOf(keys, true);
  sorter.SetReverse(false);
  EXPECT_EQ(ascending, SortedFrom());
  sorter.SetReverse(true);
  EXPECT_EQ(descending, SortedFrom());
  EXPECT_THAT(descending, ElementsAre(3, 2, 0, 4, 1));
}

using SorterLifecycle = SorterTest;

TEST_F(SorterLifecycle, InitializeRejectsWhatItCannotServe) {
  EXPECT_NE(0, sorter.Initialize(0, 4, "t", "", false, false, nullptr));
  EXPECT_NE(0, sorter.Initialize(1, 0, "t", "", false, false, nullptr));
  EXPECT_NE(0, sorter.Initialize(1, 4, "", "", false, false, nullptr));
  ExpectMisuse([&] { sorter.PrepareKey(); }, "PrepareKey", "not initialised");
}

TEST_F(SorterLifecycle, ClearKeepsMemoryForTheNextSortWhichGivesBackWhatItLeavesUnused) {
  auto fill = [&](std::size_t n) {
    Init();
    for (u64 i = 0; i < n; ++i) Add({s("key"), i * 7919 % n});
    sorter.SortKeys();
  };
  fill(100000);
  std::size_t const big = I2::TVarlenSortCacheTestPeer::HeldBytes(sorter);
  sorter.Clear(true);
  EXPECT_EQ(0u, sorter.size());
  EXPECT_EQ(big, I2::TVarlenSortCacheTestPeer::HeldBytes(sorter)) << "kept for the next sort";
  ExpectMisuse([&] { sorter.PrepareKey(); }, "PrepareKey", "not initialised");
  ExpectMisuse([&] { sorter.SortKeys(); }, "SortKeys", "not initialised");
  fill(100000);
  EXPECT_EQ(big, I2::TVarlenSortCacheTestPeer::HeldBytes(sorter)) << "an equal sort reuses it all";
  sorter.Clear(false);
  fill(100);
  EXPECT_EQ(big, I2::TVarlenSortCacheTestPeer::HeldBytes(sorter)) << "Clear(false) keeps it whole";
  sorter.Clear(true);
  fill(100);
  EXPECT_LT(I2::TVarlenSortCacheTestPeer::HeldBytes(sorter), big / 4)
      << "a small sort after Clear(true) gives back what it leaves unused";
  EXPECT_THAT(OrderOf({{u16{2}}, {u16{1}}}), ElementsAre(1, 0));
}

TEST_F(SorterLifecycle, MemoryBytesFollowWhatTheSorterHolds) {
  const std::size_t empty = sorter.memoryBytes();
  Init();
  for (u64 i = 0; i < 100000; ++i) Add({s("a key past eight bytes"), i});
  sorter.SortKeys();
  const std::size_t full = sorter.memoryBytes();
  EXPECT_GE(full, I2::TVarlenSortCacheTestPeer::HeldBytes(sorter));
  EXPECT_GE(full - empty, 100000 * (sizeof(I2::detail::Key) + 4 + 14))
      << "keys, values and key tails";
  sorter.Clear(true);
  Init();
  Add({s("one")});
  sorter.SortKeys();
  EXPECT_LT(sorter.memoryBytes(), full / 4) << "what a small sort leaves unused is given back";
}

TEST_F(SorterLifecycle, ReservedKeysFillBlocksOfSeveralSlotsAsTheyNeedThem) {
  // Records of about 50 bytes, 7 MiB of them: past the first slot the
  // arena takes blocks of several slots, sized by the keys still announced.
  constexpr std::uint32_t kKeys = 150000;
  Init();
  sorter.Reserve(kKeys);
  std::vector<std::string> names;
  for (std::uint32_t i = 0; i < kKeys; ++i) {
    const std::uint32_t scrambled = i * 7919u % kKeys;
    names.push_back("a name long enough to spill past a slot " + std::to_string(scrambled));
    Add({names.back(), u64{i}});
  }
  Order expected(kKeys);
  for (std::uint32_t i = 0; i < kKeys; ++i) expected[i] = i;
  std::stable_sort(expected.begin(), expected.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return names[a] < names[b]; });
  const I2::TVarlenSortCache copy(sorter);
  EXPECT_EQ(expected, SortedFrom());
  I2::TVarlenSortCache copied(copy);
  EXPECT_EQ(expected, SortedOf(copied)) << "a copy holds the same blocks";

  const auto& records = I2::TVarlenSortCacheTestPeer::State(sorter).stored.records;
  constexpr std::size_t kSlot = I2::detail::RecordArena::kSlotBytes;
  ASSERT_GT(records.usedBytes(), 4 * kSlot);
  EXPECT_LE(records.heldBytes(), records.usedBytes() + 2 * kSlot)
      << "blocks no larger than the announced keys need";
}

TEST_F(SorterLifecycle, MisuseThrowsAndLeavesTheSorterWorking) {
  char* value = nullptr;
  std::uint32_t v = 9;
  auto* raw = reinterpret_cast<char*>(&v);
  ExpectMisuse([&] { sorter.AddFieldToKey(u16{1}); }, "AddFieldToKey(unsigned short)",
               "not initialised");
  Init(false, 2);
  ExpectMisuse([&] { sorter.AddFieldToKey(u64{1}); }, "AddFieldToKey(unsigned long)",
               "call PrepareKey first");
  ExpectMisuse([&] { sorter.FinishKey(); }, "FinishKey", "call PrepareKey first");
  ExpectMisuse([&] { sorter.StoreCurrentKeywithVal(raw); }, "StoreCurrentKeywithVal",
               "call FinishKey first");
  sorter.PrepareKey();
  sorter.AddFieldToKey(u16{5});
  ExpectMisuse([&] { sorter.StoreCurrentKeywithVal(raw); }, "StoreCurrentKeywithVal",
               "call FinishKey first");
  ExpectMisuse([&] { sorter.AddFieldToKey_IgnoreCase(nullptr, 3); }, "AddFieldToKey_IgnoreCase",
               "text is null");
  sorter.AddFieldToKey(u16{6});
  ExpectMisuse([&] { sorter.AddFieldToKey(u16{7}); }, "AddFieldToKey(unsigned short)",
               "already has the 2 key fields");
  sorter.FinishKey();
  ExpectMisuse([&] { sorter.AddFieldToKey_IgnoreCase("a", 1); }, "AddFieldToKey_IgnoreCase",
               "already finished");
  ExpectMisuse([&] { sorter.FinishKey(); }, "FinishKey", "already finished");
  ExpectMisuse([&] { sorter.StoreCurrentKeywithVal(nullptr); }, "StoreCurrentKeywithVal",
               "value is null");
  sorter.StoreCurrentKeywithVal(raw);  // key {5, 6}, value 9
  ExpectMisuse([&] { sorter.Initialize(1, 1, "t", "", false, false, nullptr); }, "Initialize",
               "call Clear first");
  sorter.SortKeys();
  ExpectMisuse([&] { sorter.GetNextVal(0, value, false); }, "GetNextVal", "no GetFirstVal");
  ASSERT_EQ(0, sorter.GetFirstVal(0, 0, value, false));
  Add({u16{5}});  // value 0
  I2::TVarlenSortCacheTestPeer::SetKeyLimit(sorter, 2);
  sorter.PrepareKey();
  sorter.FinishKey();
  ExpectMisuse([&] { sorter.StoreCurrentKeywithVal(raw); }, "StoreCurrentKeywithVal",
               "holds the most keys it can (2)");
  EXPECT_EQ(2u, sorter.size());
  I2::TVarlenSortCacheTestPeer::SetKeyBytesLimit(sorter, 12);
  sorter.PrepareKey();
  sorter.AddFieldToKey(u64{1});
  EXPECT_THROW(sorter.AddFieldToKey_IgnoreCase("abc", 3), std::length_error);
  sorter.AddFieldToKey(u16{1});  // 10 encoded bytes fit
  EXPECT_THAT(SortedFrom(), ElementsAre(0, 9)) << "{5} sorts before {5, 6}";
}

// A value size near 2^64 wraps the record size (value, key length and key
// bytes) to a few bytes; no record can hold such a value, so the sorter must
// refuse it, at Initialize or with std::length_error from the store, before
// it copies any value byte.
TEST_F(SorterLifecycle, ValueSizeNoRecordCanHoldIsRefusedBeforeAnyCopy) {
  char value[8] = {};
  const std::string text(120, 'k');
  for (unsigned long valueSize : {~0ul, ~0ul - 100}) {
    sorter.Clear(false);
    if (sorter.Initialize(1, valueSize, "t", "", false, false, nullptr) != 0) continue;
    sorter.PrepareKey();
    sorter.AddFieldToKey_IgnoreCase(text.data(), static_cast<unsigned short>(text.size()));
    sorter.FinishKey();
    EXPECT_THROW(sorter.StoreCurrentKeywithVal(value), std::length_error) << valueSize;
    EXPECT_EQ(0u, sorter.size()) << valueSize;
  }
}

TEST_F(SorterLifecycle, KeysTogetherStayWithinTheArenaLimit) {
  Init();
  I2::TVarlenSortCacheTestPeer::SetArenaLimit(sorter, 40);
  Add({s("zzzzzzzzzzzzzzzzzz")});  // 20 encoded bytes
  Add({u64{7}});                   // 28
  sorter.PrepareKey();
  sorter.AddFieldToKey(u64{1});  // 36
  try {
    sorter.AddFieldToKey(u64{2});
    ADD_FAILURE() << "a field past the arena limit was taken";
  } catch (const std::length_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("40 encoded bytes together"));
  }
  sorter.AddFieldToKey(u16{3});  // 38 bytes still fit
  sorter.FinishKey();
  std::uint32_t value = stored++;
  sorter.StoreCurrentKeywithVal(reinterpret_cast<char*>(&value));
  sorter.PrepareKey();
  sorter.AddFieldToKey_IgnoreCase("", 0);  // 40: the limit itself fits
  EXPECT_THROW(sorter.AddFieldToKey_IgnoreCase("ab", 2), std::length_error);
  EXPECT_THROW(sorter.AddFieldToKey(u16{1}), std::length_error);
  EXPECT_THROW(sorter.StoreCurrentKeywithVal(reinterpret_cast<char*>(&value)), std::logic_error);
  sorter.PrepareKey();  // drops the key begun, and its 2 bytes
  sorter.AddFieldToKey(u16{0});
  sorter.FinishKey();
  value = stored++;
  sorter.StoreCurrentKeywithVal(reinterpret_cast<char*>(&value));
  EXPECT_THAT(SortedFrom(), ElementsAre(3, 2, 1, 0)) << "{0}, {1, 3}, {7}, {z...}";
}

// ---- Invariants ----------------------------------------------------------------

using SorterInvariants = SorterTest;

TEST_F(SorterInvariants, ThresholdsPastTheFixedBuffersTripACheckBeforeAnyWrite) {
  for (auto [small, eager] :
       {std::pair<std::size_t, std::size_t>{48, 4096}, {100, 512}, {1, 512}}) {
    sorter.Clear(false);
    Init();
    for (u64 i = 0; i < 5000; ++i) Add({s("shared prefix past eight bytes"), i * 7919 % 5000});
    I2::TVarlenSortCacheTestPeer::SetThresholds(sorter, small, eager);
    try {
      sorter.checkInvariants();
      ADD_FAILURE() << "thresholds " << small << ", " << eager << " passed the check";
    } catch (const std::logic_error& e) {
      EXPECT_THAT(e.what(), HasSubstr("size thresholds fit the fixed buffers"));
    }
    EXPECT_THROW(sorter.SortKeys(), std::logic_error) << small << ", " << eager;
  }
}

TEST_F(SorterInvariants, CheckNamesTheBrokenRule) {
  Init();
  for (u64 i = 0; i < 2000; ++i) Add({s("key"), i * 7919 % 2000});
  sorter.SortKeys();
  char* value = nullptr;
  ASSERT_EQ(0, sorter.GetFirstVal(1000, 0, value, false));
  sorter.checkInvariants();
  I2::detail::SorterState& state = I2::TVarlenSortCacheTestPeer::State(sorter);
  ++state.stored.firstByteCounts[7];
  try {
    sorter.checkInvariants();
    ADD_FAILURE() << "first-byte counts past the keys passed the check";
  } catch (const std::logic_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("first-byte counts add up"));
  }
  --state.stored.firstByteCounts[7];
  ASSERT_FALSE(state.order.pending.empty()) << "a read of 2000 keys leaves buckets pending";
  state.cursor.runEnd = state.stored.keys.size();
  state.cursor.runBegin = 0;
  try {
    sorter.checkInvariants();
    ADD_FAILURE() << "a finished run over pending buckets passed the check";
  } catch (const std::logic_error& e) {
    EXPECT_THAT(e.what(), HasSubstr("holds no pending bucket"));
  }
}

// ---- Value semantics --------------------------------------------------------

static_assert(std::is_nothrow_move_constructible_v<I2::TVarlenSortCache>);
static_assert(std::is_nothrow_move_assignable_v<I2::TVarlenSortCache>);

using SorterValue = SorterTest;

TEST_F(SorterValue, CopiesAreIndependentAtEveryStage) {
  Init();
  for (u16 k : {30, 10, 20}) Add({k, s("same prefix, longer than eight bytes")});
  I2::TVarlenSortCache unsorted(sorter);
  sorter.SortKeys();
  char* value = nullptr;
  ASSERT_EQ(0, sorter.GetFirstVal(1, 0, value, false));
  I2::TVarlenSortCache reading(sorter);  // copies the read position too
  ASSERT_EQ(0, reading.GetNextVal(0, value, false));
  EXPECT_EQ(0u, Decode(value));
  sorter.Clear(true);
  EXPECT_NE(0, sorter.GetFirstVal(0, 0, value, false));
  EXPECT_THAT(SortedOf(reading), ElementsAre(1, 2, 0));
  unsorted.PrepareKey();
  unsorted.AddFieldToKey(u16{5});
  unsorted.FinishKey();
  std::uint32_t three = 3;
  unsorted.StoreCurrentKeywithVal(reinterpret_cast<char*>(&three));
  EXPECT_THAT(SortedOf(unsorted), ElementsAre(3, 1, 2, 0));
  EXPECT_THAT(SortedOf(reading), ElementsAre(1, 2, 0)) << "the other copy keeps its keys";
  reading = unsorted;
  EXPECT_THAT(SortedOf(reading), ElementsAre(3, 1, 2, 0));
}

TEST_F(SorterValue, ACopyFinishesTheKeyBeingBuilt) {
  Init();
  Add({u16{3}});
  sorter.PrepareKey();
  sorter.AddFieldToKey_IgnoreCase("copied mid-key", 14);
  sorter.FinishKey();
  I2::TVarlenSortCache withFields(sorter);
  std::uint32_t one = 1;
  withFields.StoreCurrentKeywithVal(reinterpret_cast<char*>(&one));
  EXPECT_THAT(SortedOf(withFields), ElementsAre(0, 1));
  sorter.PrepareKey();
  sorter.FinishKey();
  I2::TVarlenSortCache withoutFields(sorter);
  withoutFields.StoreCurrentKeywithVal(reinterpret_cast<char*>(&one));
  EXPECT_THAT(SortedOf(withoutFields), ElementsAre(1, 0)) << "an empty key sorts first";
}

TEST_F(SorterValue, MovedFromSorterIsEmptyAndUsableAfterInitialize) {
  Init();
  for (u16 k : {2, 1}) Add({k});
  sorter.SortKeys();
  I2::TVarlenSortCache moved(std::move(sorter));
  EXPECT_THAT(SortedOf(moved), ElementsAre(1, 0));
  EXPECT_EQ(0u, sorter.size());
  char* value = nullptr;
  EXPECT_NE(0, sorter.GetFirstVal(0, 0, value, false));
  ExpectMisuse([&] { sorter.PrepareKey(); }, "PrepareKey", "not initialised");
  EXPECT_THAT(OrderOf({{u16{9}}, {u16{8}}}), ElementsAre(1, 0));
  moved = std::move(sorter);
  EXPECT_THAT(SortedOf(moved), ElementsAre(1, 0));
}

TEST_F(SorterValue, SortersLiveInAGrowingVector) {
  std::vector<I2::TVarlenSortCache> sorters;
  for (u16 n = 1; n <= 40; ++n) {
    I2::TVarlenSortCache& added = sorters.emplace_back();
    ASSERT_EQ(0, added.Initialize(1, 4, "t", "", false, false, nullptr));
    for (std::uint32_t i = 0; i < n; ++i) {
      added.PrepareKey();
      added.AddFieldToKey(u16(n - i));
      added.FinishKey();
      added.StoreCurrentKeywithVal(reinterpret_cast<char*>(&i));
    }
    added.SortKeys();
  }
  for (u16 n = 1; n <= 40; ++n) {
    Order const got = SortedOf(sorters[n - 1]);
    ASSERT_EQ(n, got.size());
    EXPECT_EQ(n - 1u, got.front()) << "sorter " << n;
  }
}

// Randomised comparison with a reference stable sort over the same fields.
enum class Pattern {
  kShuffled,
  kFewDistinct,
  kAllEqual,
  kAscending,
  kDescending,
  kPipeOrgan,
  kNearlySorted
};

bool ReferenceLess(const Fields& a, const Fields& b) {
  auto fold = [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; };
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    if (a[i].index() != 2) {
      u64 x = a[i].index() ? std::get<u64>(a[i]) : std::get<u16>(a[i]);
      u64 y = b[i].index() ? std::get<u64>(b[i]) : std::get<u16>(b[i]);
      if (x != y) return x < y;
      continue;
    }
    const s &x = std::get<s>(a[i]), &y = std::get<s>(b[i]);
    auto cmp = [&](char p, char q) { return fold(p) < fold(q); };
    if (std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(), cmp)) return true;
    if (std::lexicographical_compare(y.begin(), y.end(), x.begin(), x.end(), cmp)) return false;
  }
  return a.size() < b.size();
}

// The insertion indices of the first `count` keys of `in` in the order of a
// stable sort by ReferenceLess, reversed whole for `reverse`.
Order StableOrder(const std::vector<Fields>& in, std::size_t count, bool reverse = false) {
  Order expected(count);
  for (std::uint32_t i = 0; i < count; ++i) expected[i] = i;
  std::stable_sort(expected.begin(), expected.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return ReferenceLess(in[a], in[b]); });
  if (reverse) std::reverse(expected.begin(), expected.end());
  return expected;
}

class SorterRandomised : public SorterTest, public ::testing::WithParamInterface<Pattern> {
 protected:
  // Distinct-ish keys {u16, text, u64}, sometimes with fewer fields; texts share long
  // prefixes and hold NULs, mixed case and bytes from 0x80.
  std::vector<Fields> Pool(std::size_t n) {
    static const char* const kPrefixes[] = {"",
                                            "c",
                                            "custome",
                                            "Customer",
                                            "customer_",
                                            "CUSTOMER_0001_REGION_0042_",
                                            "customer_0001_region_0042_x"};
    static const char kAlphabet[] = "aAbBzZ09_@[`{\x00\x01\x7f\x80\xC4\xE4\xFF";
    std::vector<Fields> pool(n);
    for (Fields& k : pool) {
      s text = kPrefixes[rng() % std::size(kPrefixes)];
      for (std::size_t len = rng() % 12; len > 0; --len)
        text += kAlphabet[rng() % (sizeof kAlphabet - 1)];
      k = {u16(rng() % 3 ? 7 : rng()), text,
           u64(rng() % 2 ? rng() % 4 : rng() * 0x9E3779B97F4A7C15ull)};
      k.resize(rng() % 8 ? 3 : rng() % 4);
    }
    std::stable_sort(pool.begin(), pool.end(), ReferenceLess);
    return pool;
  }
  std::vector<Fields> Input(std::size_t n) {
    std::vector<Fields> pool = Pool(std::max<std::size_t>(n, 1)), in;
    for (std::size_t i = 0; i < n; ++i) {
      switch (GetParam()) {
        case Pattern::kShuffled:
          in.push_back(pool[rng() % n]);
          break;
        case Pattern::kFewDistinct:
          in.push_back(pool[rng() % std::min<std::size_t>(n, 4)]);
          break;
        case Pattern::kAllEqual:
          in.push_back({u16{1}, s(70, 'q') + s("\0", 1), u64{3}});
          break;
        case Pattern::kAscending:
          in.push_back(pool[i]);
          break;
        case Pattern::kDescending:
          in.push_back(pool[n - 1 - i]);
          break;
        case Pattern::kPipeOrgan:
          in.push_back(pool[std::min(i, n - 1 - i)]);
          break;
        case Pattern::kNearlySorted:
          in.push_back(pool[i]);
          break;
      }
    }
    if (GetParam() == Pattern::kNearlySorted) {
      for (std::size_t i = 0; i < n / 50 + 1 && n > 1; ++i) std::swap(in[rng() % n], in[rng() % n]);
    }
    return in;
  }
  std::mt19937_64 rng;
};

TEST_P(SorterRandomised, MatchesAStableSortOfTheFields) {
  testsupport::TestSeed const seed(314159);
  rng.seed(seed.value());
  for (std::size_t n : {1, 2, 3, 47, 48, 49, 300, 5000, 100000}) {
    std::vector<Fields> in = Input(n);
    bool const reverse = n % 2 == 1;
    Order const expected = StableOrder(in, n, reverse);
    // Sorting half-way leaves prefixes reloaded from deep in the keys; the second
    // sort must still order old and new keys together.
    sorter.Clear(false);
    Init(reverse);
    for (std::size_t i = 0; i < n; ++i) {
      if (i == n / 2) sorter.SortKeys();
      Add(in[i]);
    }
    Order const got = SortedFrom();
    ASSERT_EQ(expected.size(), got.size()) << "n=" << n;
    auto const diff = std::mismatch(expected.begin(), expected.end(), got.begin());
    ASSERT_TRUE(diff.first == expected.end())
        << "n=" << n << ": first difference at position " << diff.first - expected.begin()
        << ", expected key " << *diff.first << ", got " << *diff.second;
    sorter.Clear(true);
  }
}

// Reads that reach positions in any order see the order of a full sort: each
// window starts anywhere, in either direction, before and after a copy, a
// flip of the direction and more keys.
TEST_P(SorterRandomised, ReadsAtRandomPositionsSeeTheFullOrder) {
  testsupport::TestSeed const seed(161803);
  rng.seed(seed.value());
  for (std::size_t n : {49, 700, 5000, 60000}) {
    std::vector<Fields> in = Input(n);
    auto checkWindows = [&](I2::TVarlenSortCache& reader, const Order& expected, int windows) {
      for (int w = 0; w < windows; ++w) {
        std::size_t const start = rng() % (expected.size() + 1);
        std::size_t const length = rng() % 3 ? rng() % 120 : rng() % 3000;
        Order got;
        char* value = nullptr;
        if (w % 2 == 0) {
          for (int rc = reader.GetFirstVal(start, 0, value, false); rc == 0 && got.size() < length;
               rc = reader.GetNextVal(0, value, false)) {
            got.push_back(Decode(value));
          }
        } else {
          // A chunk at once, then one more read that continues after it.
          std::vector<char*> values(length + 1);
          std::size_t const n = reader.GetVals(start, length, values.data());
          for (std::size_t i = 0; i < n; ++i) got.push_back(Decode(values[i]));
          if (n > 0 && start + n < expected.size()) {
            ASSERT_EQ(0, reader.GetNextVal(0, value, false));
            ASSERT_EQ(expected[start + n], Decode(value)) << "GetNextVal after GetVals";
          }
        }
        Order const want(expected.begin() + start,
                         expected.begin() + std::min(expected.size(), start + length));
        ASSERT_EQ(want, got) << "n=" << n << " window at " << start;
        reader.checkInvariants();
      }
    };
    bool const reverse = rng() % 2;
    sorter.Clear(true);
    Init(reverse);
    for (std::size_t i = 0; i < n / 2; ++i) Add(in[i]);
    sorter.SortKeys();
    checkWindows(sorter, StableOrder(in, n / 2, reverse), 20);
    for (std::size_t i = n / 2; i < n; ++i) Add(in[i]);
    sorter.SortKeys();
    Order const expected = StableOrder(in, n, reverse);
    checkWindows(sorter, expected, 40);
    I2::TVarlenSortCache copy(sorter);
    Order reversed(expected.rbegin(), expected.rend());
    sorter.SetReverse(!reverse);
    checkWindows(sorter, reversed, 40);
    checkWindows(copy, expected, 40);
    sorter.Clear(true);
    checkWindows(copy, expected, 1);
    Order all;
    char* value = nullptr;
    for (int rc = copy.GetFirstVal(0, 0, value, false); rc == 0;
         rc = copy.GetNextVal(0, value, false))
      all.push_back(Decode(value));
    ASSERT_EQ(expected, all) << "n=" << n;
  }
}

// Lower size thresholds take keys through every path of the lazy sort (deep
// splits, reloads, eager sorts) with few keys; the order stays that of a
// stable sort, and the invariants hold after every read.
TEST_P(SorterRandomised, SmallSizeThresholdsSortAlike) {
  testsupport::TestSeed const seed(271828);
  rng.seed(seed.value());
  for (auto [small, eager] : {std::pair<std::size_t, std::size_t>{2, 2}, {2, 8}, {5, 40}}) {
    for (std::size_t n : {3, 50, 900}) {
      std::vector<Fields> in = Input(n);
      Order const expected = StableOrder(in, n);
      sorter.Clear(false);
      Init();
      I2::TVarlenSortCacheTestPeer::SetThresholds(sorter, small, eager);
      for (std::size_t i = 0; i < n; ++i) {
        if (i == n / 2) sorter.SortKeys();
        Add(in[i]);
      }
      sorter.SortKeys();
      for (std::size_t start : {n / 2, n - 1, std::size_t{0}}) {
        char* value = nullptr;
        Order got;
        for (int rc = sorter.GetFirstVal(start, 0, value, false); rc == 0;
             rc = sorter.GetNextVal(0, value, false)) {
          got.push_back(Decode(value));
          sorter.checkInvariants();
        }
        ASSERT_EQ(Order(expected.begin() + start, expected.end()), got)
            << "thresholds " << small << ", " << eager << ", n=" << n << ", from " << start;
      }
    }
  }
}

// A sorter that keeps only the ends delivers exactly the full order at every
// held position, in both directions, after a copy, a flip and more keys; it
// holds the positions that Holds names and no others.
TEST_P(SorterRandomised, KeptEndsMatchTheFullOrderWhereHeld) {
  testsupport::TestSeed const seed(141421);
  rng.seed(seed.value());
  // Each size twice: storing every key, and dropping what can be placed
  // between fields.
  std::vector<std::tuple<std::size_t, std::size_t, bool>> cases;
  for (bool drop : {false, true}) {
    for (auto [n, count] : {std::pair<std::size_t, std::size_t>{0, 3},
                            {1, 1},
                            {5, 3},
                            {6, 3},
                            {7, 3},
                            {400, 16},
                            {5000, 100}}) {
      cases.emplace_back(n, count, drop);
    }
  }
  for (auto [n, count, drop] : cases) {
    dropping = drop;
    dropped = 0;
    std::vector<Fields> in = Input(n);
    auto check = [&](I2::TVarlenSortCache& reader, const Order& expected) {
      reader.checkInvariants();
      ASSERT_EQ(expected.size(), reader.size());
      std::size_t held = 0;
      char* value = nullptr;
      for (std::size_t p = 0; p < expected.size(); ++p) {
        const bool holds = reader.Holds(p, 1);
        ASSERT_EQ(holds, reader.GetFirstVal(p, 0, value, false) == 0) << "n=" << n << " p=" << p;
        if (!holds) continue;
        ++held;
        ASSERT_EQ(expected[p], Decode(value)) << "n=" << n << " p=" << p;
      }
      ASSERT_EQ(std::min(expected.size(), 2 * count), held) << "n=" << n;
      // A run from the start: GetVals stops where the first end stops, and
      // GetNextVal does too.
      std::vector<char*> values(expected.size() + 1);
      const std::size_t got = reader.GetVals(0, expected.size(), values.data());
      ASSERT_EQ(expected.size() > 2 * count ? count : expected.size(), got);
      for (std::size_t i = 0; i < got; ++i) ASSERT_EQ(expected[i], Decode(values[i]));
      ASSERT_NE(0, reader.GetNextVal(0, value, false)) << "the gap or the end follows the run";
      EXPECT_EQ(expected.size() <= 2 * count, reader.Holds(0, expected.size()));
      EXPECT_TRUE(reader.Holds(expected.size() - std::min(expected.size(), count), count));
      reader.checkInvariants();
    };
    bool const reverse = rng() % 2;
    sorter.Clear(true);
    Init(reverse);
    sorter.KeepEnds(count);
    for (std::size_t i = 0; i < n / 2; ++i) Add(in[i]);
    sorter.SortKeys();
    check(sorter, StableOrder(in, n / 2, reverse));
    for (std::size_t i = n / 2; i < n; ++i) Add(in[i]);
    sorter.SortKeys();
    check(sorter, StableOrder(in, n, reverse));
    I2::TVarlenSortCache copy(sorter);
    sorter.SetReverse(!reverse);
    check(sorter, StableOrder(in, n, !reverse));
    check(copy, StableOrder(in, n, reverse));
    EXPECT_LT(sorter.memoryBytes(), 2 * count * 200 + 4096) << "only the ends are held";
    if (dropping && n == 5000 && GetParam() == Pattern::kShuffled) {
      EXPECT_GT(dropped, n / 4) << "most keys are placed by their first field";
    }
  }
}

TEST_F(SorterLifecycle, KeepEndsNeedsAnEmptyInitialisedSorterAndEndsWithClear) {
  ExpectMisuse([&] { sorter.KeepEnds(3); }, "KeepEnds", "not initialised");
  Init();
  Add({u16{1}});
  ExpectMisuse([&] { sorter.KeepEnds(3); }, "KeepEnds", "holds keys");
  sorter.Clear(true);
  Init();
  sorter.KeepEnds(1);
  for (u16 k : {5, 3, 9, 1, 7}) Add({k});
  EXPECT_EQ(5u, sorter.size());
  EXPECT_THAT(SortedFrom(), ElementsAre(3)) << "the first end ends after one key";
  EXPECT_FALSE(sorter.Holds(0, 5));
  EXPECT_TRUE(sorter.Holds(4, 100)) << "positions past the last key need nothing";
  sorter.SetReverse(true);
  char* value = nullptr;
  ExpectMisuse([&] { sorter.GetNextVal(0, value, false); }, "GetNextVal", "no GetFirstVal");
  ExpectMisuse([&] { Init(); }, "Initialize", "holds keys");
  EXPECT_THAT(OrderOf({{u16{2}}, {u16{1}}, {u16{3}}}), ElementsAre(1, 0, 2))
      << "Clear and Initialize store every key again";
  EXPECT_TRUE(sorter.Holds(0, 3));
}

std::string PatternName(const ::testing::TestParamInfo<Pattern>& info) {
  static const char* const kNames[] = {"Shuffled",   "FewDistinct", "AllEqual",    "Ascending",
                                       "Descending", "PipeOrgan",   "NearlySorted"};
  return kNames[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Patterns, SorterRandomised,
                         ::testing::Values(Pattern::kShuffled, Pattern::kFewDistinct,
                                           Pattern::kAllEqual, Pattern::kAscending,
                                           Pattern::kDescending, Pattern::kPipeOrgan,
                                           Pattern::kNearlySorted),
                         PatternName);

}  // namespace
