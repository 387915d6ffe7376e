#include "FXErrorUtil.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

const std::string& CTzError::message() const {
  static const std::string kNoMessage;
  return details_ ? details_->message : kNoMessage;
}

namespace {

std::string formatMessage(char const* format, std::va_list args) {
  if (format == nullptr) return {};
  std::va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length < 0) return format;  // an unformattable message is kept as written
  std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::string textOrEmpty(char const* text) { return text ? text : ""; }

}  // namespace

namespace FXErrorUtil {

CTzError ErrorInt(FXCodeLocation const& location, int code, char const* message, ...) {
  auto details = std::make_shared<FXErrorPrivate>();
  details->file = textOrEmpty(location.file);
  details->function = textOrEmpty(location.function);
  details->line = location.line;
  std::va_list args;
  va_start(args, message);
  details->message = formatMessage(message, args);
  va_end(args);
  return CTzError(code, std::move(details));
}

}  // namespace FXErrorUtil
