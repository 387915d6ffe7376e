#include "testing/RecordingSortCache.h"

#include <cstring>
#include <string>

#include "I2/TVarlenSortCache.h"

namespace I2::detail {
class SorterState {};
}  // namespace I2::detail

namespace sorter_double {

Recording& recording() {
  static Recording instance;
  return instance;
}

}  // namespace sorter_double

namespace I2 {
namespace {

using sorter_double::recording;

void log(std::string call) { recording().calls.push_back(std::move(call)); }

std::string flag(bool value) { return value ? "true" : "false"; }

// The position of the value last read, shared by GetFirstVal and GetNextVal.
std::size_t readCursor = 0;

std::int32_t deliver(std::size_t position, char*& value) {
  readCursor = position;
  if (position >= recording().values.size()) return 1;
  value = reinterpret_cast<char*>(&recording().values[position]);
  return 0;
}

}  // namespace

// The stand-in keeps its state in the recording; the sorter's own state
// pointer stays null.
TVarlenSortCache::TVarlenSortCache() noexcept = default;
TVarlenSortCache::TVarlenSortCache(const TVarlenSortCache&) {}
TVarlenSortCache::TVarlenSortCache(TVarlenSortCache&&) noexcept = default;
TVarlenSortCache& TVarlenSortCache::operator=(const TVarlenSortCache&) { return *this; }
TVarlenSortCache& TVarlenSortCache::operator=(TVarlenSortCache&&) noexcept = default;
TVarlenSortCache::~TVarlenSortCache() = default;

void TVarlenSortCache::Clear(bool releaseMemory) {
  log("Clear(" + flag(releaseMemory) + ")");
  recording().values.clear();
}

std::int32_t TVarlenSortCache::Initialize(unsigned long keyFields, unsigned long valueSize,
                                          std::string name, std::string location, bool reverse,
                                          bool unique, ProgressCallBack* progress) {
  log("Initialize(" + std::to_string(keyFields) + ", " + std::to_string(valueSize) + ", " + name +
      ", " + location + ", " + flag(reverse) + ", " + flag(unique) + ", " +
      (progress ? "callback" : "null") + ")");
  return recording().initializeResult;
}

void TVarlenSortCache::Reserve(std::size_t keys) { log("Reserve(" + std::to_string(keys) + ")"); }

void TVarlenSortCache::KeepEnds(std::size_t count) {
  log("KeepEnds(" + std::to_string(count) + ")");
}

// The stand-in keeps every key, so it never drops one.
bool TVarlenSortCache::DropsCurrentKey() { return false; }

// A question about what is held, not a step of the conversation: not logged.
// The stand-in holds every value it was given.
bool TVarlenSortCache::Holds(unsigned long, std::size_t) const { return true; }

void TVarlenSortCache::SetReverse(bool reverse) { log("SetReverse(" + flag(reverse) + ")"); }

void TVarlenSortCache::PrepareKey() { log("PrepareKey()"); }

std::size_t TVarlenSortCache::size() const { return recording().values.size(); }

std::size_t TVarlenSortCache::memoryBytes() const { return 0; }

void TVarlenSortCache::AddFieldToKey(unsigned short const& value) {
  log("u16(" + std::to_string(value) + ")");
}

void TVarlenSortCache::AddFieldToKey(unsigned long const& value) {
  log("u64(" + std::to_string(value) + ")");
}

void TVarlenSortCache::AddFieldToKey_IgnoreCase(char const* text, unsigned short length) {
  log("text(" + (text ? std::string(text, length) : std::string()) + ", " + std::to_string(length) +
      ")");
}

void TVarlenSortCache::FinishKey() { log("FinishKey()"); }

void TVarlenSortCache::StoreCurrentKeywithVal(char* value) {
  std::int32_t stored;
  std::memcpy(&stored, value, sizeof stored);
  recording().values.push_back(stored);
  log("Store(" + std::to_string(stored) + ")");
}

void TVarlenSortCache::SortKeys() { log("SortKeys()"); }

std::int32_t TVarlenSortCache::GetFirstVal(unsigned long position, int reserved, char*& value,
                                           bool unused) {
  log("GetFirstVal(" + std::to_string(position) + ", " + std::to_string(reserved) + ", " +
      flag(unused) + ")");
  return deliver(position, value);
}

std::size_t TVarlenSortCache::GetVals(unsigned long position, std::size_t count, char** values) {
  log("GetVals(" + std::to_string(position) + ", " + std::to_string(count) + ")");
  std::size_t n = 0;
  while (n < count && deliver(position + n, values[n]) == 0) ++n;
  return n;
}

std::int32_t TVarlenSortCache::GetNextVal(int reserved, char*& value, bool unused) {
  log("GetNextVal(" + std::to_string(reserved) + ", " + flag(unused) + ")");
  return deliver(readCursor + 1, value);
}

}  // namespace I2
