// Reads arbitrary bytes as each kind of record. Reading either succeeds or
// throws JsonError; what was read is written back, and reading the written
// text gives the same record and the same text again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "databrowse/RecordJson.h"

namespace {

constexpr std::size_t kMaxInput = 8192;

template <class Parse>
void roundTrip(std::string_view input, Parse parse) {
  std::string written;
  try {
    const auto record = parse(input);
    written = databrowse::toJson(record);
    const auto again = parse(written);
    if (!(again == record) || databrowse::toJson(again) != written) std::abort();
  } catch (const databrowse::JsonError&) {
    // Text that was written must always read back.
    if (!written.empty()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return -1;  // not added to the corpus
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  roundTrip(input, [](std::string_view text) { return databrowse::parseRequest(text); });
  roundTrip(input, [](std::string_view text) { return databrowse::parseItem(text); });
  roundTrip(input, [](std::string_view text) { return databrowse::parseResponse(text); });
  return 0;
}
