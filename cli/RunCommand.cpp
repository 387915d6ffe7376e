#include <exception>
#include <new>

#include "Commands.h"

namespace browse {

namespace {

int fail(LineSink& output, const ReportFailure& report, const char* message, int status) noexcept {
  // Whatever the command wrote comes first, as complete as it can be.
  try {
    output.flush();
  } catch (...) {
    // The failure being reported comes first; a write error is one already.
  }
  try {
    report(message);
  } catch (...) {
    // Nowhere left to say it; the status still tells.
  }
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
