#include "CompactForm.h"

#include <new>

#include "RecordChecks.h"

namespace pk_detail {

void setCompact(Storage& s, std::string_view encoding) {
  if (encoding.size() <= Storage::kInlineCapacity) {
    s.inlined.used = static_cast<std::uint8_t>(encoding.size());
    if (!encoding.empty()) std::memcpy(s.inlined.bytes, encoding.data(), encoding.size());
    return;
  }
  const std::uint32_t size = checkedCount(encoding.size());
  char* data = static_cast<char*>(::operator new(size));
  std::memcpy(data, encoding.data(), size);
  s.outOfLine = Storage::OutOfLine{Storage::kOutOfLine, size, data, size};
}

void replaceCompactInNewBlock(Storage& s, std::size_t begin, std::size_t end,
                              std::string_view header, std::string_view payload,
                              std::uint32_t size) {
  const std::string_view old = compactBytes(s);
  const bool isInline = s.form() == Storage::Form::kInline;
  const std::uint32_t capacity =
      isInline ? std::uint32_t{Storage::kInlineCapacity} : s.outOfLine.capacity;
  // Room for as much again, so that a record built field by field copies
  // its bytes a logarithmic number of times.
  const auto grown = static_cast<std::uint32_t>(std::min<std::uint64_t>(
      std::max<std::uint64_t>(size, 2 * std::uint64_t{capacity}), kMaxBlockCount));
  char* data = static_cast<char*>(::operator new(grown));
  std::memcpy(data, old.data(), begin);
  std::memcpy(data + begin, header.data(), header.size());
  if (!payload.empty()) std::memcpy(data + begin + header.size(), payload.data(), payload.size());
  std::memcpy(data + begin + header.size() + payload.size(), old.data() + end, old.size() - end);
  const std::uint8_t form = s.holdsBoxes() ? Storage::kOutOfLineWithBoxes : Storage::kOutOfLine;
  if (!isInline) ::operator delete(s.outOfLine.data);
  s.outOfLine = Storage::OutOfLine{form, size, data, grown};
}

}  // namespace pk_detail
