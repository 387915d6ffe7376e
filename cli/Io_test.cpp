// Reading lines: the reader against a plain split of the same text.
#include "Io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "TestSeed.h"

namespace browse {
namespace {

namespace fs = std::filesystem;

// The lines of `text` as the reader must return them: split at '\n', with a
// last line only when something follows the last '\n'.
std::vector<std::string> referenceLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

class LineReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::path(::testing::TempDir()) / "line_reader_XXXXXX").string();
    ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path file(const std::string& text) {
    const fs::path path = dir_ / "input";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  // Reads the padding behind `line`; the sanitizer build reports a read
  // beyond the reader's buffer.
  static void touchPadding(std::string_view line) {
    volatile char sink = 0;
    for (std::size_t i = 0; i < databrowse::kJsonPadding; ++i) {
      sink = static_cast<char>(sink ^ line.data()[line.size() + i]);
    }
  }

  // Reads every line, checking on the way that the reader counts lines and
  // bytes.
  static std::vector<std::string> readAll(LineReader& reader) {
    std::vector<std::string> lines;
    std::string_view line;
    while (reader.next(line)) {
      lines.emplace_back(line);
      touchPadding(line);
      EXPECT_EQ(lines.size(), reader.lineNumber());
    }
    EXPECT_FALSE(reader.next(line)) << "the end stays the end";
    EXPECT_EQ(reader.size(), reader.offset());
    return lines;
  }

  fs::path dir_;
};

// Lines of every length around the reader's block size and its doubling,
// empty lines, carriage returns and a last line with or without '\n'.
TEST_F(LineReaderTest, RandomTextsSplitLikeTheReference) {
  const testsupport::TestSeed seed(223606);
  std::mt19937_64 engine(seed.value());
  const std::size_t block = std::size_t{1} << 18;
  const std::size_t lengths[] = {
      0, 1, 2, 63, 64, 65, 4095, 4096, block - 1, block, block + 1, 2 * block + 3, 5 * block};
  for (int round = 0; round < 12; ++round) {
    std::string text;
    const int lines = std::uniform_int_distribution<int>(0, 12)(engine);
    for (int i = 0; i < lines; ++i) {
      const std::size_t length =
          lengths[std::uniform_int_distribution<std::size_t>(0, std::size(lengths) - 1)(engine)];
      text.append(length, static_cast<char>('a' + i % 26));
      if (length > 0 && engine() % 4 == 0) text.back() = '\r';
      if (i + 1 < lines || engine() % 2 == 0) text += '\n';
    }
    SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(text.size()) + " bytes");
    const std::vector<std::string> expected = referenceLines(text);

    LineReader inMemory("<text>", text);
    EXPECT_EQ(expected, readAll(inMemory));
    LineReader fromFile(file(text).string());
    EXPECT_TRUE(fromFile.isRegularFile());
    EXPECT_EQ(expected, readAll(fromFile));
  }
}

TEST_F(LineReaderTest, StandardInputIsNamedAndAFailedReadIsAnError) {
  LineReader standardInput("-");
  EXPECT_EQ("<stdin>", standardInput.name());

  LineReader directory(dir_.string());
  std::string_view line;
  try {
    directory.next(line);
    ADD_FAILURE() << "reading a directory succeeded";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ("cannot read " + dir_.string() + ": Is a directory", std::string(e.what()));
  }
  EXPECT_THROW(LineReader((dir_ / "missing").string()), std::runtime_error);
}

// A reader handed an open descriptor reads it like a path, owns it, and with
// a line cap refuses a longer line by name and number instead of growing.
TEST_F(LineReaderTest, OpenDescriptorIsReadOwnedAndItsLinesCapped) {
  const std::string block(std::size_t{1} << 18, 'x');
  const std::string text = "short\n" + block + block + "\nafter\n";
  const int fd = ::open(file(text).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    LineReader reader("data set /d", fd);
    EXPECT_TRUE(reader.isRegularFile());
    EXPECT_EQ(text.size(), reader.size());
    EXPECT_EQ(referenceLines(text), readAll(reader));
  }
  EXPECT_EQ(-1, ::fcntl(fd, F_GETFD)) << "the reader closed the descriptor";

  LineReader capped("data set /d", ::open(file(text).c_str(), O_RDONLY | O_CLOEXEC));
  capped.setMaxLineLength(block.size());
  std::string_view line;
  ASSERT_TRUE(capped.next(line));
  EXPECT_EQ("short", line);
  try {
    capped.next(line);
    ADD_FAILURE() << "a line over the cap was read";
  } catch (const std::length_error& e) {
    EXPECT_EQ("data set /d:2: the line is longer than 262144 bytes", std::string(e.what()));
  }
}

// Items read in blocks: the hint learns once, before the first item, about
// how many lines the input has, from its size and its first block; an input
// of unknown size gives no hint.
TEST_F(LineReaderTest, ItemReadingEstimatesTheItemsFromTheFirstBlock) {
  std::string text;
  constexpr std::size_t kItems = 40000;  // several blocks of the reader
  for (std::size_t i = 0; i < kItems; ++i) {
    text += "{\"name\":\"item " + std::to_string(i * 7919 % kItems) +
            "\",\"number\":" + std::to_string(i) + "}\n";
  }
  ASSERT_GT(text.size(), std::size_t{4} << 18);
  databrowse::JsonReader json;
  std::size_t added = 0;
  std::vector<std::pair<std::uint64_t, std::size_t>> hints;  // estimate, items added by then
  const auto add = [&](databrowse::BrowseData&, std::size_t) { ++added; };
  const auto bad = [](const databrowse::JsonError& e, std::size_t) { FAIL() << e.what(); };
  const auto hint = [&](std::uint64_t lines) { hints.emplace_back(lines, added); };
  LineReader known("items", text);
  readItemLines(known, json, add, bad, hint);
  EXPECT_EQ(kItems, added);
  ASSERT_EQ(1u, hints.size());
  EXPECT_EQ(0u, hints[0].second) << "the hint comes before the first item";
  EXPECT_NEAR(static_cast<double>(kItems), static_cast<double>(hints[0].first), kItems * 0.05);

  hints.clear();
  added = 0;
  LineReader whole("items", "{\"number\":1}\n\n{\"number\":2}\n");
  readItemLines(whole, json, add, bad, hint);
  EXPECT_EQ(2u, added);
  ASSERT_EQ(1u, hints.size());
  EXPECT_EQ(3u, hints[0].first) << "an input read in one block has its lines counted";

  int pipeEnds[2];
  ASSERT_EQ(0, ::pipe(pipeEnds));
  const std::string piped = "{\"number\":1}\n";
  ASSERT_EQ(static_cast<ssize_t>(piped.size()), ::write(pipeEnds[1], piped.data(), piped.size()));
  ::close(pipeEnds[1]);
  hints.clear();
  added = 0;
  LineReader unknown("<pipe>", pipeEnds[0]);
  readItemLines(unknown, json, add, bad, hint);
  EXPECT_EQ(1u, added);
  EXPECT_TRUE(hints.empty()) << "no size, no estimate";
}

// A line of more than 1 MiB grows the buffer past the size that items are
// parsed in as a stream, so its block is read line by line; when that block
// ends with a blank line, the lines of the next block keep their numbers.
TEST_F(LineReaderTest, ItemLinesKeepTheirNumbersAfterALongLineAndABlankLine) {
  constexpr std::size_t kBuffer = std::size_t{1} << 21;  // what the long line grows it to
  std::string text = "{\"name\":\"" + std::string(1250000, 'x') + "\"}\n";
  std::size_t lines = 1;
  std::size_t items = 1;
  const std::string item = "{\"number\":1}\n";
  for (; text.size() + item.size() < kBuffer; ++items, ++lines) text += item;
  for (; text.size() < kBuffer; ++lines) text += '\n';  // the buffer ends with blank lines
  text += "{\"number\":2}\n{\"number\":1.5}\n";
  const std::size_t secondBlockItem = lines + 1;
  const std::size_t badLine = lines + 2;

  databrowse::JsonReader json;
  LineReader input("items", text);
  std::vector<std::size_t> itemLines;
  std::size_t reportedBad = 0;
  EXPECT_THROW(readItemLines(
                   input, json,
                   [&](databrowse::BrowseData&, std::size_t line) { itemLines.push_back(line); },
                   [&](const databrowse::JsonError&, std::size_t line) { reportedBad = line; }),
               databrowse::JsonError);
  ASSERT_EQ(items + 1, itemLines.size());
  EXPECT_EQ(secondBlockItem, itemLines.back());
  EXPECT_EQ(badLine, reportedBad);
}

TEST(OutOfMemoryTest, SaysWhatRanOutOfMemoryWithoutNeedingMemory) {
  EXPECT_STREQ("out of memory while sorting", OutOfMemory("sorting").what());
  EXPECT_STREQ("out of memory while reading items.jsonl:3",
               OutOfMemory("reading", "items.jsonl", 3).what());
  const std::string longName(2000, 'x');
  const std::string cut = OutOfMemory("reading", longName, 7).what();
  EXPECT_EQ(0u, cut.rfind("out of memory while reading xxx", 0));
  EXPECT_LT(cut.size(), longName.size());
}

}  // namespace
}  // namespace browse
