#include "TestSeed.h"

#include <charconv>
#include <cstdlib>
#include <string>
#include <string_view>

namespace testsupport {

namespace {

std::uint64_t seedOf(std::uint64_t fallback) {
  const char* given = std::getenv(TestSeed::kVariable);
  if (given == nullptr) return fallback;
  const std::string_view text(given);
  std::uint64_t seed = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seed);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) {
    ADD_FAILURE() << TestSeed::kVariable << " must be a decimal number below 2^64, not \"" << text
                  << "\"";
    return fallback;
  }
  return seed;
}

std::string rerunNote(std::uint64_t seed) {
  const std::string number = std::to_string(seed);
  return "seed " + number + "; rerun with " + TestSeed::kVariable + "=" + number;
}

}  // namespace

TestSeed::TestSeed(std::uint64_t fallback, std::source_location where)
    : value_(seedOf(fallback)),
      trace_(where.file_name(), static_cast<int>(where.line()), rerunNote(value_)) {}

}  // namespace testsupport
