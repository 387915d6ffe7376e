// Byte sizes and listen addresses as the command line gives them.
#include "ServeOptions.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace browse::serve {
namespace {

TEST(ParseByteSizeTest, ReadsNumbersWithBinaryAndDecimalUnits) {
  EXPECT_EQ(1048576u, parseByteSize("1048576"));
  EXPECT_EQ(512u, parseByteSize("512B"));
  EXPECT_EQ(std::uint64_t{1} << 30, parseByteSize("1GiB"));
  EXPECT_EQ(std::uint64_t{1} << 30, parseByteSize("1G"));
  EXPECT_EQ(std::uint64_t{512} << 20, parseByteSize("512M"));
  EXPECT_EQ(64u * 1024, parseByteSize("64KiB"));
  EXPECT_EQ(2000000u, parseByteSize("2MB"));
  EXPECT_EQ(3000u, parseByteSize("3kB"));
  EXPECT_EQ(std::uint64_t{1} << 40, parseByteSize("1TiB"));
}

TEST(ParseByteSizeTest, RefusesWhatIsNoSizeAndSaysWhy) {
  const auto problem = [](const std::string& text) {
    try {
      parseByteSize(text);
    } catch (const std::invalid_argument& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ("'' is not a size (a number with K, M, G, KiB, MB...)", problem(""));
  EXPECT_EQ("'-1G' is not a size (a number with K, M, G, KiB, MB...)", problem("-1G"));
  EXPECT_EQ("'1.5G' has an unknown unit '.5G' (B, K, M, G, T, KiB, MB...)", problem("1.5G"));
  EXPECT_EQ("'1 GiB' has an unknown unit ' GiB' (B, K, M, G, T, KiB, MB...)", problem("1 GiB"));
  EXPECT_EQ("'12gb' has an unknown unit 'gb' (B, K, M, G, T, KiB, MB...)", problem("12gb"));
  EXPECT_EQ("'99999999999999999999' is too large", problem("99999999999999999999"));
  EXPECT_EQ("'17179869184GiB' is too large", problem("17179869184GiB"));
}

TEST(ParseListenAddressTest, ReadsHostsPortsAndBracketedIpv6) {
  const ListenAddress v4 = parseListenAddress("127.0.0.1:8080");
  EXPECT_EQ("127.0.0.1", v4.host);
  EXPECT_EQ(8080, v4.port);
  const ListenAddress v6 = parseListenAddress("[::1]:0");
  EXPECT_EQ("::1", v6.host);
  EXPECT_EQ(0, v6.port);
  EXPECT_EQ("http://[::1]:0", urlOf(v6));
  EXPECT_EQ("127.0.0.1", parseListenAddress(":9000").host) << "no host is loopback, not any";
  EXPECT_EQ("0.0.0.0", parseListenAddress("0.0.0.0:80").host);

  for (const char* bad :
       {"8080", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", "::1:80", "127.0.0.1:80x"}) {
    EXPECT_THROW(parseListenAddress(bad), std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace browse::serve
