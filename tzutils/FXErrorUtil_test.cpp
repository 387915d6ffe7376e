#include "FXErrorUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CTzErrorTest, SuccessHasCodeZeroAndNoDetails) {
  const CTzError result = CTzError::Success();
  EXPECT_EQ(0, result.code());
  EXPECT_TRUE(result.isSuccess());
  EXPECT_EQ(nullptr, result.details());
  EXPECT_EQ("", result.message());
}

TEST(ErrorIntTest, CarriesLocationCodeAndMessage) {
  const CTzError error = FXErrorUtil::ErrorInt(FXCodeLocation("File", "void f()", 58), -1,
                                               "sort object failed to initialize");
  EXPECT_EQ(-1, error.code());
  EXPECT_FALSE(error.isSuccess());
  ASSERT_NE(nullptr, error.details());
  EXPECT_EQ("File", error.details()->file);
  EXPECT_EQ("void f()", error.details()->function);
  EXPECT_EQ(58, error.details()->line);
  EXPECT_EQ("sort object failed to initialize", error.message());
}

TEST(ErrorIntTest, FormatsArgumentsAndOwnsItsTexts) {
  std::string function = "int g(long)";
  const CTzError error =
      FXErrorUtil::ErrorInt(FXCodeLocation("a.cpp", function.c_str(), 3), 7, "%d of %s", 2, "x");
  function.assign("overwritten");
  EXPECT_EQ("2 of x", error.message());
  EXPECT_EQ("int g(long)", error.details()->function);
}

TEST(ErrorIntTest, ErrorWithCodeZeroIsNotSuccess) {
  const CTzError error = FXErrorUtil::ErrorInt(FXCodeLocation("f", "g", 1), 0, "odd");
  EXPECT_FALSE(error.isSuccess());
  const CTzError copy = error;
  EXPECT_EQ(error.details(), copy.details());
}

}  // namespace
