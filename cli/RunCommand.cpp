#include <cstdio>
#include <exception>

#include "Commands.h"

namespace browse {

namespace {

int report(const char* message, int status) {
  // Whatever the command wrote comes first, complete.
  std::fflush(stdout);
  std::fprintf(stderr, "browse: %s\n", message);
  return status;
}

}  // namespace

int runCommand(const std::function<int()>& command) {
  try {
    const int status = command();
    if (std::fflush(stdout) != 0) return report("cannot write standard output", kExitFailure);
    return status;
  } catch (const InputError& e) {
    return report(e.what(), kExitBadInput);
  } catch (const std::bad_alloc&) {
    return report("out of memory", kExitFailure);
  } catch (const std::exception& e) {
    return report(e.what(), kExitFailure);
  }
}

}  // namespace browse
