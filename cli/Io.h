// Reading input files and writing output for the browse commands.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
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

// Memory ran out. what() is "out of memory while DOING", held in the
// exception itself so that reporting it needs no memory.
class OutOfMemory : public std::bad_alloc {
 public:
  // DOING, then " WHERE" when `where` is not empty, then ":LINE" when `line`
  // is not 0; cut short when it does not fit.
  explicit OutOfMemory(std::string_view doing, std::string_view where = {},
                       std::size_t line = 0) noexcept;
  const char* what() const noexcept override { return message_; }

 private:
  char message_[512];
};

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

// Reads a file, standard input or a text in memory one line at a time,
// through a buffer that holds a few blocks of the input, so that memory use
// does not grow with the input but only with its longest line.
class LineReader {
 public:
  // Opens `path`, or standard input for "-". Throws std::runtime_error
  // naming the file when it cannot be opened.
  explicit LineReader(const std::string& path);
  // Reads `text`, which must outlive the reader, reported under `name`.
  LineReader(std::string name, std::string_view text);
  // Reads the open file `fd`, reported under `name`; the reader owns `fd`
  // and closes it.
  LineReader(std::string name, int fd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Reads the next line without its '\n' into `line` and returns true, or
  // returns false at the end of the input. The line is followed in memory by
  // databrowse::kJsonPadding readable bytes and stays valid until the next
  // call. Throws std::runtime_error naming the file when reading fails, and
  // OutOfMemory naming the line when the line does not fit in memory.
  bool next(std::string_view& line);

  // Reads as many whole lines as the buffer holds (at least one) into
  // `block`, without the '\n' of the last one, and returns true, or returns
  // false at the end of the input. The block is followed in memory by
  // databrowse::kJsonPadding readable bytes and stays valid until the next
  // call. Lines are not counted: the caller counts those of each block with
  // countLines before it asks for the next, so that lineNumber() and the
  // errors of the reader stay right. Throws as next() does.
  bool nextBlock(std::string_view& block);
  // Counts `lines` more lines as read.
  void countLines(std::size_t lines) { lineNumber_ += lines; }

  const std::string& name() const { return name_; }
  // From now on next() and nextBlock() throw std::length_error naming the line when a line
  // is longer than `bytes`, before its buffer grows past twice that
  // (default: no limit but memory).
  void setMaxLineLength(std::size_t bytes) { maxLineLength_ = bytes; }

  // Number of the line that next() returned last (or the last one counted),
  // from 1.
  std::size_t lineNumber() const { return lineNumber_; }
  // True when the input is a regular file rather than a pipe or terminal.
  bool isRegularFile() const { return regularFile_; }
  // Bytes of the input handed out so far, line ends included.
  std::uint64_t offset() const { return offset_; }
  // Size of the whole input when known in advance (a regular file or a
  // text), else 0.
  std::uint64_t size() const { return size_; }

 private:
  // Learns whether the input is a regular file and its size; sizes the buffer.
  void inspectFile();
  void allocate(std::size_t capacity);
  // Makes room and reads more input behind what is buffered; sets atEnd_
  // when there is none.
  void fill();
  std::size_t readSome(char* into, std::size_t room);

  std::string name_;
  int fd_ = -1;
  bool ownsFd_ = false;
  bool regularFile_ = false;
  std::string_view text_;  // what is left of an in-memory input
  std::unique_ptr<char[]> buffer_;
  std::size_t capacity_ = 0;  // bytes for input; kJsonPadding more follow
  std::size_t begin_ = 0;     // start of the line being read
  std::size_t scanned_ = 0;   // bytes from begin_ on already known to hold no '\n'
  std::size_t end_ = 0;       // end of the buffered input
  bool atEnd_ = false;
  std::size_t lineNumber_ = 0;
  std::uint64_t offset_ = 0;
  std::uint64_t size_ = 0;
  std::size_t maxLineLength_ = 0;  // 0: no limit
};

// Called with each item read by readItemLines and the number of its line.
using ItemLineSink = std::function<void(databrowse::BrowseData& item, std::size_t line)>;
// Called with the problem of a line that holds no item, and its number;
// throws the error to report (should it return, the JsonError is thrown).
using BadItemLine = std::function<void(const databrowse::JsonError& problem, std::size_t line)>;

// Called once, before the first item, with an estimate of the lines of the
// whole input: its size over the bytes per line of its first block.
using ItemCountHint = std::function<void(std::uint64_t lines)>;

// Reads every item of `input`, a file of JSON Lines of items (blank lines
// skipped), and hands each to `add` in order. The input is read in blocks
// of whole lines, each parsed as a stream of many items; from a line that
// the stream does not take on, the rest of the block is read line by line,
// and the first line that holds no item goes to `bad`. When the size of
// the input is known and `hint` is given, `hint` learns about how many
// items to expect. Throws what `input`, `add`, `bad` and `hint` throw, and
// OutOfMemory naming the line when parsing it runs out of memory.
void readItemLines(LineReader& input, databrowse::JsonReader& reader, const ItemLineSink& add,
                   const BadItemLine& bad, const ItemCountHint& hint = {});

// Where the lines of a command's output go.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // Writes `text` and a '\n'. Throws std::runtime_error when it cannot.
  virtual void line(std::string_view text) = 0;
  // Hands on everything written so far. Throws std::runtime_error when it
  // cannot.
  virtual void flush() = 0;
};

// Writes whole lines to standard output. Throws std::runtime_error when a
// write fails, so that lost output is never reported as success.
class StdoutSink final : public LineSink {
 public:
  // With flushEachLine, every line is handed to the system at once (for a
  // host that reads answers while it still writes operations).
  explicit StdoutSink(bool flushEachLine = false) : flushEachLine_(flushEachLine) {}

  void setFlushEachLine(bool flushEachLine) { flushEachLine_ = flushEachLine; }
  void line(std::string_view text) override;
  void flush() override;

 private:
  bool flushEachLine_;
};

// Writes `text` as it is to standard output, or throws std::runtime_error.
void writeStdout(std::string_view text);

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
