// Synthetic browse items for tests, examples and benchmarks.
//
// The items look like real ones: names of 4 to 30 bytes in mixed case that
// share prefixes, repeat now and then and are sometimes non-ASCII UTF-8;
// numbers over the whole signed 64-bit range, most of them small; flags that
// are mostly 0. The sequence depends only on the seed: it is built from the
// raw output of std::mt19937_64 by this generator's own arithmetic, never by
// the standard distributions, whose results differ between libraries.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "databrowse/BrowseRecords.h"

namespace browse {

class ItemGenerator {
 public:
  static constexpr std::size_t kMinNameBytes = 4;
  static constexpr std::size_t kMaxNameBytes = 30;

  explicit ItemGenerator(std::uint64_t seed) : engine_(seed) {}

  // The next item, with its name, number and flags set.
  databrowse::BrowseData next();

 private:
  // Uniform in [0, bound), bound > 0, without modulo bias.
  std::uint64_t below(std::uint64_t bound);
  // True with the given chance in percent.
  bool chance(unsigned percent) { return below(100) < percent; }

  std::string name();
  std::string freshName();
  std::int64_t number();
  std::int64_t flag();

  std::mt19937_64 engine_;
  // Recent names, so that some names repeat.
  std::array<std::string, 256> recent_;
  std::uint64_t made_ = 0;
};

}  // namespace browse
