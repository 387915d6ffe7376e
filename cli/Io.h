// Reading input files and writing standard output for the browse commands.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "databrowse/RecordJson.h"

namespace browse {

// The name under which input from `path` is reported: the path itself, or
// "<stdin>" for "-".
std::string inputName(const std::string& path);

// True when the line holds nothing but spaces, tabs and carriage returns.
bool isBlank(std::string_view line);

// The whole content of a file or of standard input, followed in memory by
// databrowse::kJsonPadding readable bytes, so that any part of it can be
// parsed in place.
class InputText {
 public:
  // Reads `path`, or standard input for "-". Throws std::runtime_error
  // naming the file when it cannot be read.
  explicit InputText(const std::string& path);

  const std::string& name() const { return name_; }
  std::string_view text() const { return {bytes_.data(), length_}; }

 private:
  std::string name_;
  std::vector<char> bytes_;
  std::size_t length_ = 0;
};

// Calls visit(lineNumber, line) for each line of `text` that is not blank.
// Lines end at '\n' and count from 1; a last line without '\n' counts too.
template <class Visit>
void forEachLine(std::string_view text, Visit&& visit) {
  std::size_t number = 0;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    ++number;
    const std::string_view line = text.substr(start, end - start);
    if (!isBlank(line)) visit(number, line);
    start = end + 1;
  }
}

// Reads a file or standard input one line at a time.
class LineReader {
 public:
  // Opens `path`, or standard input for "-". Throws std::runtime_error
  // naming the file when it cannot be opened.
  explicit LineReader(const std::string& path);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line without its '\n' into `line` and returns true, or
  // returns false at the end of the input. The line is followed in memory by
  // databrowse::kJsonPadding readable bytes and stays valid until the next
  // call. Throws std::runtime_error when reading fails.
  bool next(std::string_view& line);

  const std::string& name() const { return name_; }
  // Number of the line that next() returned last, from 1.
  std::size_t lineNumber() const { return lineNumber_; }
  // True when the input is a regular file rather than a pipe or terminal.
  bool isRegularFile() const { return regularFile_; }

 private:
  std::string name_;
  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
  bool regularFile_ = false;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t lineNumber_ = 0;
};

// Writes whole lines to standard output. Throws std::runtime_error when a
// write fails, so that lost output is never reported as success.
class Output {
 public:
  // With flushEachLine, every line is handed to the system at once (for a
  // host that reads answers while it still writes operations).
  explicit Output(bool flushEachLine = false) : flushEachLine_(flushEachLine) {}

  void line(std::string_view text);
  void flush();

 private:
  bool flushEachLine_;
};

// Progress messages on stderr, shown only when stderr is a terminal. Each
// message replaces the previous one on the same terminal line.
class Progress {
 public:
  Progress();
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool enabled() const { return enabled_; }
  void show(const std::string& message);
  void clear();

 private:
  bool enabled_;
  bool shown_ = false;
};

}  // namespace browse
