// Where the seed of a randomised test comes from, and what its failures say.
#include "TestSeed.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

using testsupport::TestSeed;

// The seed that the last check took; EXPECT_NONFATAL_FAILURE cannot reach a
// local variable.
std::uint64_t taken = 0;

// Each test sets BROWSE_TEST_SEED as it needs; the value of the run comes
// back afterwards.
class TestSeedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* given = std::getenv(TestSeed::kVariable)) saved_ = given;
    ::unsetenv(TestSeed::kVariable);
  }
  void TearDown() override {
    if (saved_) {
      ::setenv(TestSeed::kVariable, saved_->c_str(), 1);
    } else {
      ::unsetenv(TestSeed::kVariable);
    }
  }

  std::optional<std::string> saved_;
};

TEST_F(TestSeedTest, TheDefaultHoldsUnlessTheEnvironmentGivesASeed) {
  EXPECT_EQ(20240607u, TestSeed(20240607).value());
  ::setenv(TestSeed::kVariable, "18446744073709551615", 1);
  EXPECT_EQ(18446744073709551615u, TestSeed(1).value());
  ::setenv(TestSeed::kVariable, "007", 1);
  EXPECT_EQ(7u, TestSeed(1).value());
}

TEST_F(TestSeedTest, ASeedThatIsNotADecimalNumberFailsTheTestAndTheDefaultHolds) {
  for (const char* bad : {"", "0x10", "-1", "+1", " 1", "1 ", "18446744073709551616", "seed"}) {
    SCOPED_TRACE(bad);
    ::setenv(TestSeed::kVariable, bad, 1);
    EXPECT_NONFATAL_FAILURE(taken = TestSeed(5).value(), "must be a decimal number");
    EXPECT_EQ(5u, taken);
  }
}

TEST_F(TestSeedTest, AFailureNamesTheSeedAndHowToRerunWithIt) {
  EXPECT_NONFATAL_FAILURE(
      {
        const TestSeed seed(31);
        ADD_FAILURE() << "a randomised check";
      },
      "seed 31; rerun with BROWSE_TEST_SEED=31");
}

}  // namespace
