// browse for tests, with allocations that fail on request: the k-th
// allocation (operator new or the malloc family) made after main() starts
// fails when the environment sets BROWSE_TEST_FAIL_ALLOCATION=k, and the
// number of allocations made is written to the file that
// BROWSE_TEST_ALLOCATION_COUNT names. Allocations before main() are the
// libraries' static initialisation, which no program can recover from, so
// they are neither counted nor failed.
#include <cstdio>
#include <cstdlib>

#include "Commands.h"
#include "FailingAllocator.h"

namespace {

void writeCount(const char* path, std::uint64_t allocations) {
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return;
  std::fprintf(file, "%llu\n", static_cast<unsigned long long>(allocations));
  std::fclose(file);
}

}  // namespace

int main(int argc, char** argv) {
  const char* k = std::getenv("BROWSE_TEST_FAIL_ALLOCATION");
  const std::uint64_t failAt = k != nullptr ? std::strtoull(k, nullptr, 10) : 0;
  const char* countFile = std::getenv("BROWSE_TEST_ALLOCATION_COUNT");
  const std::uint64_t before = testsupport::allocationCount();
  testsupport::failAllocation(failAt);
  const int status = browse::runBrowse(argc, argv);
  testsupport::failAllocation(0);
  const std::uint64_t made = testsupport::allocationCount() - before;
  if (countFile != nullptr) writeCount(countFile, made);
  return status;
}
