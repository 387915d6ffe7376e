#include <cstring>
#include <exception>
#include <new>

#include "Commands.h"

namespace browse {

namespace {

void tell(const ReportFailure& report, const char* message) noexcept {
  try {
    report(message);
  } catch (...) {
    // Nowhere left to say it; the status still tells.
  }
}

// Reports the failure of a flush that came after the command's own failure,
// unless it is the same failure again (the output failed the command).
void tellFlushFailure(const ReportFailure& report, const std::exception_ptr& failure,
                      const char* commandFailure) noexcept {
  try {
    std::rethrow_exception(failure);
  } catch (const std::exception& e) {
    if (std::strcmp(e.what(), commandFailure) != 0) tell(report, e.what());
  } catch (...) {
    tell(report, "cannot write the output");
  }
}

int fail(LineSink& output, const ReportFailure& report, const char* message, int status) noexcept {
  // Whatever the command wrote comes first, as complete as it can be. When
  // even that fails, the output is lost as well: both failures are reported,
  // the command's first, and the status stays the command's.
  std::exception_ptr flushFailure;
  try {
    output.flush();
  } catch (...) {
    flushFailure = std::current_exception();
  }
  tell(report, message);
  if (flushFailure) tellFlushFailure(report, flushFailure, message);
  return status;
}

}  // namespace

int runCommand(const std::function<int()>& command, LineSink& output, const ReportFailure& report,
               const char* activity) noexcept {
  try {
    const int status = command();
    output.flush();
    return status;
  } catch (const InputError& e) {
    return fail(output, report, e.what(), kExitBadInput);
  } catch (const OutOfMemory& e) {
    return fail(output, report, e.what(), kExitFailure);
  } catch (const std::bad_alloc&) {
    return fail(output, report, OutOfMemory(activity).what(), kExitFailure);
  } catch (const std::exception& e) {
    return fail(output, report, e.what(), kExitFailure);
  } catch (...) {
    return fail(output, report, "unexpected failure", kExitFailure);
  }
}

}  // namespace browse
