#include "ItemGenerator.h"

#include <algorithm>
#include <limits>
#include <string_view>

namespace browse {

namespace {

// Stems that names start with; variants in case and a shared start make
// prefixes and case-insensitive ties common.
constexpr std::array<std::string_view, 32> kAsciiStems{
    "invoice", "Invoice", "INVOICE", "report",  "Report", "ReportDraft", "photo",  "Photo",
    "IMG",     "img",     "backup",  "Backup",  "log",    "Log",         "data",   "Data",
    "dataset", "Project", "project", "Meeting", "notes",  "Notes",       "draft",  "archive",
    "Archive", "budget",  "Budget",  "client",  "Client", "server",      "Server", "a"};

constexpr std::array<std::string_view, 16> kNonAsciiStems{
    "Café",   "café", "Müller", "Ångström", "naïve",  "Smørrebrød", "Straße", "résumé",
    "Résumé", "東京", "Привет", "Ελλάδα",   "Zürich", "façade",     "niño",   "Ärger"};

constexpr std::array<std::string_view, 16> kWords{
    "final", "FINAL", "v2",    "copy",    "old", "new",     "Q1",   "Q4",
    "march", "March", "draft", "summary", "(1)", "scanned", "east", "West"};

constexpr std::array<std::string_view, 5> kSeparators{"", "_", "-", " ", "."};

// Numbers that a workload should always meet now and then.
constexpr std::array<std::int64_t, 6> kExtremes{std::numeric_limits<std::int64_t>::min(),
                                                std::numeric_limits<std::int64_t>::min() + 1,
                                                -1,
                                                0,
                                                std::numeric_limits<std::int64_t>::max() - 1,
                                                std::numeric_limits<std::int64_t>::max()};

constexpr std::array<std::int64_t, 8> kFlags{1, 2, 3, 4, 8, 16, 255, -1};

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

}  // namespace

std::uint64_t ItemGenerator::below(std::uint64_t bound) {
  // Values under `threshold` would make the low results more likely.
  const std::uint64_t threshold = (0 - bound) % bound;
  for (;;) {
    const std::uint64_t value = engine_();
    if (value >= threshold) return value % bound;
  }
}

std::string ItemGenerator::freshName() {
  auto pick = [this](const auto& list) { return std::string(list[below(list.size())]); };
  auto digits = [this](std::uint64_t limit) { return std::to_string(below(limit)); };
  const std::string stem = chance(20) ? pick(kNonAsciiStems) : pick(kAsciiStems);
  const std::string separator = pick(kSeparators);
  std::string name;
  switch (below(10)) {
    case 0:
    case 1:
    case 2:
      name = stem + separator + digits(10000);
      break;
    case 3:
      name = stem + separator + std::to_string(2000 + below(30));
      break;
    case 4:
    case 5:
      name = stem + separator + pick(kWords);
      break;
    case 6:
    case 7: {
      // Separate statements: the order of the draws must not depend on the
      // compiler's order of evaluating operands.
      const std::string second = pick(kAsciiStems);
      name = stem + separator + second + separator + digits(100);
      break;
    }
    case 8:
      name = stem;
      break;
    default:
      name = pick(kWords) + separator + stem;
      break;
  }
  if (chance(5)) {
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
      return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
  }
  // Cut to the longest length that ends on a character boundary.
  if (name.size() > kMaxNameBytes) {
    std::size_t cut = kMaxNameBytes;
    while (cut > 0 && isContinuationByte(name[cut])) --cut;
    name.resize(cut);
  }
  while (name.size() < kMinNameBytes) name += static_cast<char>('0' + below(10));
  return name;
}

std::string ItemGenerator::name() {
  const std::uint64_t known = std::min<std::uint64_t>(made_, recent_.size());
  std::string result = known > 0 && chance(8) ? recent_[below(known)] : freshName();
  recent_[made_ % recent_.size()] = result;
  ++made_;
  return result;
}

std::int64_t ItemGenerator::number() {
  const std::uint64_t kind = below(100);
  if (kind < 45) return static_cast<std::int64_t>(below(1000));
  if (kind < 55) return -1 - static_cast<std::int64_t>(below(1000));
  if (kind < 70) {
    const auto medium = static_cast<std::int64_t>(below(std::uint64_t{1} << 32));
    return chance(50) ? -medium : medium;
  }
  // The whole range; the conversion keeps the bit pattern.
  if (kind < 97) return static_cast<std::int64_t>(engine_());
  return kExtremes[below(kExtremes.size())];
}

std::int64_t ItemGenerator::flag() { return chance(90) ? 0 : kFlags[below(kFlags.size())]; }

databrowse::BrowseData ItemGenerator::next() {
  databrowse::BrowseData item;
  item.setName(name());
  item.setNumber(number());
  item.setFlagValue(flag());
  return item;
}

}  // namespace browse
