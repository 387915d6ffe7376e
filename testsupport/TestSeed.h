// The seed of a randomised test.
//
// A randomised test draws from a generator seeded with a TestSeed, so that it
// runs the same on every run: with its own fixed default seed, or with the
// seed that the environment variable BROWSE_TEST_SEED gives (a decimal
// number), for instance to rerun a failure. While the TestSeed lives, every
// failure of the test says which seed it ran with and how to rerun with it.
//
// Construct it in the test's body or as a member of its fixture.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <source_location>

namespace testsupport {

class TestSeed {
 public:
  // The name of the environment variable that overrides every default seed.
  static constexpr const char* kVariable = "BROWSE_TEST_SEED";

  // Takes BROWSE_TEST_SEED when it is set, else `fallback`. A value that is
  // not a decimal number of 64 bits fails the test, which then runs with
  // `fallback`.
  explicit TestSeed(std::uint64_t fallback,
                    std::source_location where = std::source_location::current());
  TestSeed(const TestSeed&) = delete;
  TestSeed& operator=(const TestSeed&) = delete;

  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_;
  ::testing::ScopedTrace trace_;
};

}  // namespace testsupport
