#include "Io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

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
  struct stat info {};
  std::size_t expected = 0;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    expected = static_cast<std::size_t>(info.st_size);
  }
  bytes_.resize(expected + databrowse::kJsonPadding + 1);
  int readError = 0;
  for (;;) {
    if (bytes_.size() - length_ < databrowse::kJsonPadding + 1) bytes_.resize(bytes_.size() * 2);
    const std::size_t room = bytes_.size() - length_ - databrowse::kJsonPadding;
    const ssize_t got = ::read(fd, bytes_.data() + length_, room);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) readError = errno;
    if (got <= 0) break;
    length_ += static_cast<std::size_t>(got);
  }
  if (!standardInput) ::close(fd);
  if (readError != 0) throw std::runtime_error(systemError("cannot read", name_, readError));
  std::memset(bytes_.data() + length_, 0, bytes_.size() - length_);
}

LineReader::LineReader(const std::string& path) : name_(inputName(path)) {
  if (path == "-") {
    file_ = stdin;
  } else {
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) throw std::runtime_error(systemError("cannot open", name_, errno));
    ownsFile_ = true;
  }
  struct stat info {};
  regularFile_ = ::fstat(::fileno(file_), &info) == 0 && S_ISREG(info.st_mode);
}

LineReader::~LineReader() {
  std::free(buffer_);
  if (ownsFile_) std::fclose(file_);
}

bool LineReader::next(std::string_view& line) {
  errno = 0;
  const ssize_t got = ::getline(&buffer_, &capacity_, file_);
  if (got < 0) {
    if (std::ferror(file_)) throw std::runtime_error(systemError("cannot read", name_, errno));
    return false;
  }
  ++lineNumber_;
  auto length = static_cast<std::size_t>(got);
  if (length > 0 && buffer_[length - 1] == '\n') --length;
  if (capacity_ < length + databrowse::kJsonPadding) {
    const std::size_t grown = length + databrowse::kJsonPadding;
    char* bigger = static_cast<char*>(std::realloc(buffer_, grown));
    if (bigger == nullptr) throw std::bad_alloc();
    buffer_ = bigger;
    capacity_ = grown;
  }
  std::memset(buffer_ + length, 0, databrowse::kJsonPadding);
  line = std::string_view(buffer_, length);
  return true;
}

void Output::line(std::string_view text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
      std::fputc('\n', stdout) == EOF) {
    throw std::runtime_error(std::string("cannot write standard output: ") + std::strerror(errno));
  }
  if (flushEachLine_) flush();
}

void Output::flush() {
  if (std::fflush(stdout) != 0) {
    throw std::runtime_error(std::string("cannot write standard output: ") + std::strerror(errno));
  }
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
