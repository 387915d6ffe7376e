// browse for tests, with allocations that fail on request: the k-th call of
// operator new (any form) made after main() starts fails when the
// environment sets BROWSE_TEST_FAIL_ALLOCATION=k, and the number of calls
// made is written to the file that BROWSE_TEST_ALLOCATION_COUNT names.
// Allocations before main() are the libraries' static initialisation, which
// no program can recover from, so they are neither counted nor failed.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "Commands.h"

namespace {

bool armed = false;
unsigned long allocations = 0;
unsigned long failAt = 0;  // 0: none fails

// True when this call is the one that must fail.
bool failsNow() noexcept {
  if (!armed) return false;
  return ++allocations == failAt;
}

void* allocate(std::size_t size) {
  if (failsNow()) throw std::bad_alloc();
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  return memory;
}

void* allocateNoThrow(std::size_t size) noexcept {
  if (failsNow()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void writeCount(const char* path) {
  std::FILE* file = std::fopen(path, "w");
  if (file == nullptr) return;
  std::fprintf(file, "%lu\n", allocations);
  std::fclose(file);
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocateNoThrow(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocateNoThrow(size);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }

int main(int argc, char** argv) {
  if (const char* k = std::getenv("BROWSE_TEST_FAIL_ALLOCATION"))
    failAt = std::strtoul(k, nullptr, 10);
  const char* countFile = std::getenv("BROWSE_TEST_ALLOCATION_COUNT");
  armed = true;
  const int status = browse::runBrowse(argc, argv);
  armed = false;
  if (countFile != nullptr) writeCount(countFile);
  return status;
}
