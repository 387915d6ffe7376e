#include "Io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

namespace browse {

namespace {

std::string systemError(const std::string& what, const std::string& name, int error) {
  return what + " " + name + ": " + std::strerror(error);
}

}  // namespace

std::string inputName(const std::string& path) { return path == "-" ? "<stdin>" : path; }

bool isBlank(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

InputText::InputText(const std::string& path) : name_(inputName(path)) {
  const bool standardInput = path == "-";
  const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error(systemError("cannot open", name_, errno));
  // Closed however reading ends, running out of memory included.
  const std::unique_ptr<const int, void (*)(const int*)> closer(
      standardInput ? nullptr : &fd, [](const int* owned) { ::close(*owned); });
  struct stat info {};
  std::size_t expected = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    expected = static_cast<std::size_t>(info.st_size);
  }
  bytes_.resize(expected + databrowse::kJsonPadding + 1);
  for (;;) {
    if (bytes_.size() - length_ < databrowse::kJsonPadding + 1) bytes_.resize(bytes_.size() * 2);
    const std::size_t room = bytes_.size() - length_ - databrowse::kJsonPadding;
    const ssize_t got = ::read(fd, bytes_.data() + length_, room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw std::runtime_error(systemError("cannot read", name_, errno));
    if (got == 0) break;
    length_ += static_cast<std::size_t>(got);
  }
  std::memset(bytes_.data() + length_, 0, bytes_.size() - length_);
}

OutOfMemory::OutOfMemory(std::string_view doing, std::string_view where,
                         std::size_t line) noexcept {
  const auto length = [](std::string_view text) { return static_cast<int>(text.size()); };
  int used = std::snprintf(message_, sizeof message_, "out of memory while %.*s", length(doing),
                           doing.data());
  if (!where.empty() && used >= 0 && static_cast<std::size_t>(used) < sizeof message_) {
    used += std::snprintf(message_ + used, sizeof message_ - used, " %.*s", length(where),
                          where.data());
  }
  if (line != 0 && used >= 0 && static_cast<std::size_t>(used) < sizeof message_) {
    std::snprintf(message_ + used, sizeof message_ - used, ":%zu", line);
  }
}

namespace {

// Input is read in blocks of this size; a longer line makes the buffer grow.
constexpr std::size_t kReadBlock = std::size_t{1} << 18;
// The smallest buffer, for inputs known to be short.
constexpr std::size_t kSmallestBuffer = std::size_t{1} << 12;

std::size_t initialCapacity(std::uint64_t size) {
  if (size == 0 || size >= kReadBlock) return kReadBlock;
  return std::max(kSmallestBuffer, static_cast<std::size_t>(size) + 1);
}

}  // namespace

LineReader::LineReader(const std::string& path) : name_(inputName(path)) {
  if (path == "-") {
    fd_ = STDIN_FILENO;
  } else {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error(systemError("cannot open", name_, errno));
    ownsFd_ = true;
  }
  inspectFile();
}

LineReader::LineReader(std::string name, int fd) : name_(std::move(name)), fd_(fd), ownsFd_(true) {
  try {
    inspectFile();
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

void LineReader::inspectFile() {
  struct stat info {};
  regularFile_ = ::fstat(fd_, &info) == 0 && S_ISREG(info.st_mode);
  if (regularFile_) size_ = static_cast<std::uint64_t>(info.st_size);
  allocate(initialCapacity(size_));
}

LineReader::LineReader(std::string name, std::string_view text)
    : name_(std::move(name)), text_(text), size_(text.size()) {
  allocate(initialCapacity(size_));
}

LineReader::~LineReader() {
  if (ownsFd_) ::close(fd_);
}

void LineReader::allocate(std::size_t capacity) {
  // Zeroed, so that the padding behind the last line holds no stale bytes
  // that tools would see as uninitialised reads.
  std::unique_ptr<char[]> bigger(new (std::nothrow) char[capacity + databrowse::kJsonPadding]());
  if (!bigger) throw OutOfMemory("reading", name_, lineNumber_ + 1);
  if (end_ > begin_) std::memcpy(bigger.get(), buffer_.get() + begin_, end_ - begin_);
  buffer_ = std::move(bigger);
  capacity_ = capacity;
  end_ -= begin_;
  scanned_ -= begin_;
  begin_ = 0;
}

bool LineReader::next(std::string_view& line) {
  for (;;) {
    const char* start = buffer_.get() + begin_;
    const auto* newline =
        static_cast<const char*>(std::memchr(buffer_.get() + scanned_, '\n', end_ - scanned_));
    if (newline != nullptr || (atEnd_ && begin_ < end_)) {
      const char* stop = newline != nullptr ? newline : buffer_.get() + end_;
      line = std::string_view(start, static_cast<std::size_t>(stop - start));
      const std::size_t consumed = line.size() + (newline != nullptr ? 1 : 0);
      begin_ += consumed;
      scanned_ = begin_;
      offset_ += consumed;
      ++lineNumber_;
      return true;
    }
    scanned_ = end_;
    if (atEnd_) return false;
    fill();
  }
}

bool LineReader::nextBlock(std::string_view& block) {
  for (;;) {
    char* const base = buffer_.get();
    const auto* lastNewline =
        static_cast<const char*>(::memrchr(base + scanned_, '\n', end_ - scanned_));
    if (lastNewline != nullptr || (atEnd_ && begin_ < end_)) {
      const char* stop = lastNewline != nullptr ? lastNewline : base + end_;
      block = std::string_view(base + begin_, static_cast<std::size_t>(stop - (base + begin_)));
      const std::size_t consumed = block.size() + (lastNewline != nullptr ? 1 : 0);
      begin_ += consumed;
      scanned_ = begin_;
      offset_ += consumed;
      return true;
    }
    scanned_ = end_;
    if (atEnd_) return false;
    fill();
  }
}

namespace {

// The lines of an input of `size` bytes whose first block, `block`, ends
// at a line end or the input's end.
std::uint64_t estimateLines(std::uint64_t size, std::string_view block) {
  const auto lines = static_cast<std::uint64_t>(std::count(block.begin(), block.end(), '\n')) + 1;
  const std::uint64_t bytes = block.size() + 1;  // with the line end after it
  if (bytes >= size) return lines;
  return static_cast<std::uint64_t>(static_cast<double>(size) / static_cast<double>(bytes) *
                                    static_cast<double>(lines)) +
         1;
}

}  // namespace

void readItemLines(LineReader& input, databrowse::JsonReader& reader, const ItemLineSink& add,
                   const BadItemLine& bad, const ItemCountHint& hint) {
  std::size_t firstLine = 1;  // of the block
  const auto addFromBlock = [&](databrowse::BrowseData& item, std::size_t line) {
    add(item, firstLine + line);
  };
  std::string_view block;
  bool hinted = !hint || input.size() == 0;
  while (input.nextBlock(block)) {
    if (!hinted) {
      hinted = true;
      hint(estimateLines(input.size(), block));
    }
    firstLine = input.lineNumber() + 1;
    const databrowse::JsonReader::ItemsRead read =
        reader.items(databrowse::PaddedJson{block}, addFromBlock);
    std::size_t line = read.lines;
    // Every line of the block counts, the last one (without its '\n') even
    // when it is empty or the stream took it.
    for (std::size_t start = read.offset; start <= block.size(); ++line) {
      const std::size_t end = std::min(block.find('\n', start), block.size());
      const std::string_view text = block.substr(start, end - start);
      if (!isBlank(text)) {
        databrowse::BrowseData item;
        try {
          item = reader.item(databrowse::PaddedJson{text});
        } catch (const databrowse::JsonError& e) {
          bad(e, firstLine + line);
          throw;
        } catch (const std::bad_alloc&) {
          throw OutOfMemory("reading", input.name(), firstLine + line);
        }
        add(item, firstLine + line);
      }
      start = end + 1;
    }
    input.countLines(line);
  }
}

void LineReader::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  if (end_ == capacity_) {
    if (maxLineLength_ != 0 && capacity_ > maxLineLength_) {
      throw std::length_error(name_ + ":" + std::to_string(lineNumber_ + 1) +
                              ": the line is longer than " + std::to_string(maxLineLength_) +
                              " bytes");
    }
    if (capacity_ > std::numeric_limits<std::size_t>::max() / 4) {
      throw OutOfMemory("reading", name_, lineNumber_ + 1);
    }
    allocate(2 * capacity_);
  }
  const std::size_t got = readSome(buffer_.get() + end_, capacity_ - end_);
  if (got == 0) atEnd_ = true;
  end_ += got;
}

std::size_t LineReader::readSome(char* into, std::size_t room) {
  if (fd_ < 0) {
    const std::size_t got = std::min(room, text_.size());
    std::memcpy(into, text_.data(), got);
    text_.remove_prefix(got);
    return got;
  }
  for (;;) {
    const ssize_t got = ::read(fd_, into, room);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == ENOMEM) throw OutOfMemory("reading", name_, lineNumber_ + 1);
    if (errno != EINTR) throw std::runtime_error(systemError("cannot read", name_, errno));
  }
}

namespace {

[[noreturn]] void failWrite() {
  throw std::runtime_error(std::string("cannot write standard output: ") + std::strerror(errno));
}

}  // namespace

void writeStdout(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) failWrite();
}

void StdoutSink::line(std::string_view text) {
  writeStdout(text);
  if (std::fputc('\n', stdout) == EOF) failWrite();
  if (flushEachLine_) flush();
}

void StdoutSink::flush() {
  if (std::fflush(stdout) != 0) failWrite();
}

Progress::Progress() : enabled_(::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() { clear(); }

void Progress::show(const std::string& message) {
  if (!enabled_) return;
  // Back to the line start, the message, then erase what is left of an
  // earlier, longer message.
  std::fprintf(stderr, "\r%s\033[K", message.c_str());
  std::fflush(stderr);
  shown_ = true;
}

void Progress::clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace browse
