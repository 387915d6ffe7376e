// CTzError: the result object that operations return by value.
//
// A result holds a signed 32-bit code (0 for success) and, for an error, a
// shared handle to the details: where it was raised and its message. Copies
// share the details; they are immutable once built, so sharing is safe.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "FXCodeLocation.h"
#include "TzUtilsExport.h"

// Details of one error: its location (texts copied) and its message.
struct FXErrorPrivate {
  std::string file;
  std::string function;
  int line = 0;
  std::string message;
};

class TZUTILS_EXPORT CTzError {
 public:
  // A success result: code 0, no details.
  CTzError() = default;
  // An error result with the given code and details.
  CTzError(std::int32_t code, std::shared_ptr<const FXErrorPrivate> details)
      : code_(code), details_(std::move(details)) {}

  static CTzError Success() { return CTzError(); }

  std::int32_t code() const { return code_; }
  bool isSuccess() const { return code_ == 0 && !details_; }

  // The error's message; empty for a success result.
  const std::string& message() const;
  // The error's details, or null for a success result.
  const FXErrorPrivate* details() const { return details_.get(); }

 private:
  std::int32_t code_ = 0;
  std::shared_ptr<const FXErrorPrivate> details_;
};
