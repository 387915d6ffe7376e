// A recording stand-in for I2::TVarlenSortCache, linked in place of the real
// sorter. It writes every call, with its arguments, to a log, returns the
// Initialize result that a test chooses, and hands stored values back in
// insertion order (it does not sort).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorter_double {

struct Recording {
  std::vector<std::string> calls;     // one entry per sorter call, in order
  std::int32_t initializeResult = 0;  // what Initialize returns
  std::vector<std::int32_t> values;   // stored values, in insertion order
};

// The recording of the process; tests clear it between cases.
Recording& recording();

}  // namespace sorter_double
