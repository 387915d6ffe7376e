#include "FreshProcess.h"

#include <fcntl.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <type_traits>

namespace bench {

namespace {

// ---- Pipes ------------------------------------------------------------------

bool writeAll(int fd, const void* data, std::size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t wrote = ::write(fd, next, size);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    next += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

// Reads exactly `size` bytes; false at end of input or on an error.
bool readAll(int fd, void* data, std::size_t size) {
  char* next = static_cast<char*>(data);
  while (size > 0) {
    const ssize_t got = ::read(fd, next, size);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    next += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

pid_t waitFor(pid_t pid, int& status) {
  pid_t done;
  do {
    done = ::waitpid(pid, &status, 0);
  } while (done < 0 && errno == EINTR);
  return done;
}

// What a holder sends back for one measurement, followed by `length` bytes of
// the child's report.
struct ResponseHeader {
  std::int32_t waitStatus = 0;  // of the child, as waitpid gives it
  std::int32_t forkError = 0;   // errno of a failed pipe or fork, else 0
  std::uint32_t truncated = 0;  // the report did not fit the holder's buffer
  std::uint32_t unused = 0;
  std::uint64_t length = 0;
};

// The holder relays reports through this buffer rather than the heap, so that
// serving a measurement leaves no freed block for the next child. A report
// holds one page of items, far below this.
constexpr std::size_t kReportCapacity = std::size_t{1} << 20;
char reportBuffer[kReportCapacity];

std::string describeExit(int waitStatus) {
  if (WIFSIGNALED(waitStatus)) {
    const int signal = WTERMSIG(waitStatus);
    return "the measurement's process was killed by signal " + std::to_string(signal) + " (" +
           strsignal(signal) + ")";
  }
  if (WIFEXITED(waitStatus)) {
    return "the measurement's process exited with status " +
           std::to_string(WEXITSTATUS(waitStatus)) + " without a report";
  }
  return "the measurement's process ended in an unknown way";
}

// ---- Report bytes -----------------------------------------------------------

class ByteWriter {
 public:
  template <class T>
  void number(T value) {
    static_assert(std::is_arithmetic_v<T>);
    bytes_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  void text(std::string_view value) {
    number(static_cast<std::uint64_t>(value.size()));
    bytes_.append(value);
  }
  std::string take() { return std::move(bytes_); }

 private:
  std::string bytes_;
};

class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : bytes_(bytes) {}
  template <class T>
  T number() {
    static_assert(std::is_arithmetic_v<T>);
    T value;
    std::memcpy(&value, take(sizeof value).data(), sizeof value);
    return value;
  }
  std::string text() { return std::string(take(number<std::uint64_t>())); }
  bool atEnd() const { return bytes_.empty(); }

 private:
  std::string_view take(std::uint64_t size) {
    if (size > bytes_.size()) throw std::runtime_error("a measurement's report is cut short");
    const std::string_view part = bytes_.substr(0, static_cast<std::size_t>(size));
    bytes_.remove_prefix(static_cast<std::size_t>(size));
    return part;
  }
  std::string_view bytes_;
};

// ---- Clocks -----------------------------------------------------------------

double wallNow() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU time of the process, user and system; system time includes the page
// faults that fresh memory costs.
double cpuNow() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::int64_t minorFaultsNow() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// The value in kB of the line "<key>: <value> kB" of /proc/self/status, in
// bytes, or -1.
std::int64_t statusBytes(std::string_view status, std::string_view key) {
  std::size_t at = 0;
  while (at < status.size()) {
    const std::size_t end = std::min(status.find('\n', at), status.size());
    const std::string_view line = status.substr(at, end - at);
    if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
      return std::strtoll(std::string(line.substr(key.size() + 1)).c_str(), nullptr, 10) * 1024;
    }
    at = end + 1;
  }
  return -1;
}

// Reads every field of every item, as the process that built the items has.
// A forked child maps its parent's memory only as it first touches it, and on
// a virtual machine that first touch can cost more than the copy of the item
// that a measurement makes; a service hands over items that it has just built
// in its own memory, so no measurement should pay for it.
void readEveryItem(const std::vector<databrowse::BrowseData>& items) {
  std::uint64_t sum = 0;
  for (const databrowse::BrowseData& item : items) {
    const PlainItem plain = plainOf(item);
    sum += static_cast<std::uint64_t>(plain.number + plain.flag) + plain.name.size();
  }
  // Keeps the reads from being optimised away.
  asm volatile("" : : "r"(sum) : "memory");
}

// Runs in the child: measures, reports into `fd` and exits.
[[noreturn]] void measureInChild(const Measurement& measurement,
                                 std::vector<databrowse::BrowseData>& items, int fd) {
  ChildReport report;
  const bool peakReset = resetPeakResident();
  readEveryItem(items);
  const ResidentBytes atFork = residentBytes();
  try {
    report = measurement(items);
  } catch (const std::exception& error) {
    report.error = error.what();
  } catch (...) {
    report.error = "the measurement threw an unknown exception";
  }
  const ResidentBytes atEnd = residentBytes();
  if (peakReset && atFork.now >= 0 && atEnd.peak >= 0) {
    report.counters["rss_peak_above_fork_bytes"] = static_cast<double>(atEnd.peak - atFork.now);
  }
  const std::string bytes = serializeReport(report);
  // No teardown: freeing what the measurement built is not part of it.
  ::_exit(writeAll(fd, bytes.data(), bytes.size()) ? 0 : 3);
}

}  // namespace

std::string serializeReport(const ChildReport& report) {
  ByteWriter out;
  out.number(report.wallSeconds);
  out.number(report.cpuSeconds);
  out.number(report.minorFaults);
  out.number(static_cast<std::uint64_t>(report.counters.size()));
  for (const auto& [name, value] : report.counters) {
    out.text(name);
    out.number(value);
  }
  out.text(report.label);
  out.number(static_cast<std::uint64_t>(report.page.size()));
  for (const PlainItem& item : report.page) {
    out.text(item.name);
    out.number(item.number);
    out.number(item.flag);
  }
  out.text(report.error);
  return out.take();
}

ChildReport parseReport(std::string_view bytes) {
  ByteReader in(bytes);
  ChildReport report;
  report.wallSeconds = in.number<double>();
  report.cpuSeconds = in.number<double>();
  report.minorFaults = in.number<std::int64_t>();
  for (auto counters = in.number<std::uint64_t>(); counters > 0; --counters) {
    std::string name = in.text();
    report.counters[std::move(name)] = in.number<double>();
  }
  report.label = in.text();
  for (auto items = in.number<std::uint64_t>(); items > 0; --items) {
    PlainItem& item = report.page.emplace_back();
    item.name = in.text();
    item.number = in.number<std::int64_t>();
    item.flag = in.number<std::int64_t>();
  }
  report.error = in.text();
  if (!in.atEnd()) throw std::runtime_error("a measurement's report has bytes past its end");
  return report;
}

TimedRegion::TimedRegion(ChildReport& report)
    : report_(&report),
      wallStart_(wallNow()),
      cpuStart_(cpuNow()),
      faultsStart_(minorFaultsNow()) {}

TimedRegion::~TimedRegion() { stop(); }

void TimedRegion::stop() {
  if (report_ == nullptr) return;
  const double wall = wallNow();
  const double cpu = cpuNow();
  report_->wallSeconds = wall - wallStart_;
  report_->cpuSeconds = cpu - cpuStart_;
  report_->minorFaults = minorFaultsNow() - faultsStart_;
  report_ = nullptr;
}

ResidentBytes residentBytes() {
  // Read into the stack: the heap of a measured process stays untouched.
  char buffer[8192];
  const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::size_t size = 0;
  ssize_t got;
  while (size < sizeof buffer && (got = ::read(fd, buffer + size, sizeof buffer - size)) != 0) {
    if (got < 0) {
      if (errno == EINTR) continue;
      break;
    }
    size += static_cast<std::size_t>(got);
  }
  ::close(fd);
  const std::string_view status(buffer, size);
  return ResidentBytes{statusBytes(status, "VmRSS"), statusBytes(status, "VmHWM")};
}

bool resetPeakResident() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool done = writeAll(fd, "5", 1);
  ::close(fd);
  return done;
}

FreshProcessPool::FreshProcessPool(ItemSource items) : items_(std::move(items)) {}

FreshProcessPool::~FreshProcessPool() { stop(); }

int FreshProcessPool::add(std::size_t itemCount, Measurement measurement) {
  if (started()) throw std::logic_error("FreshProcessPool::add after start()");
  measurements_.emplace_back(itemCount, std::move(measurement));
  return static_cast<int>(measurements_.size() - 1);
}

void FreshProcessPool::start() {
  std::vector<std::size_t> sizes;
  for (const auto& [itemCount, measurement] : measurements_) sizes.push_back(itemCount);
  start(sizes);
}

void FreshProcessPool::start(const std::vector<std::size_t>& itemCounts) {
  if (started()) throw std::logic_error("FreshProcessPool::start called twice");
  // A holder that dies makes writes to it fail instead of killing this process.
  std::signal(SIGPIPE, SIG_IGN);
  try {
    for (const std::size_t itemCount : itemCounts) {
      if (holderFreeHeapBytes(itemCount) < 0) startHolder(itemCount);
    }
  } catch (...) {
    stop();
    throw;
  }
}

void FreshProcessPool::startHolder(std::size_t itemCount) {
  int request[2];
  int response[2];
  if (::pipe(request) != 0) throw std::runtime_error(std::string("pipe: ") + strerror(errno));
  if (::pipe(response) != 0) {
    const int error = errno;
    ::close(request[0]);
    ::close(request[1]);
    throw std::runtime_error(std::string("pipe: ") + strerror(error));
  }
  // Buffered output would otherwise be written once more by the holder.
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(request[1]);
    ::close(response[0]);
    // The other holders must see the end of their requests when this process ends.
    for (const Holder& other : holders_) {
      ::close(other.requestFd);
      ::close(other.responseFd);
    }
    serve(itemCount, request[0], response[1]);
  }
  const int forkError = errno;
  ::close(request[0]);
  ::close(response[1]);
  if (pid < 0) {
    ::close(request[1]);
    ::close(response[0]);
    throw std::runtime_error(std::string("fork: ") + strerror(forkError));
  }
  Holder holder{itemCount, pid, request[1], response[0], -1};
  if (!readAll(holder.responseFd, &holder.freeHeapBytes, sizeof holder.freeHeapBytes)) {
    ::close(holder.requestFd);
    ::close(holder.responseFd);
    int status = 0;
    waitFor(pid, status);
    throw std::runtime_error("the process that makes the " + std::to_string(itemCount) +
                             " items failed: " + describeExit(status));
  }
  holders_.push_back(holder);
}

void FreshProcessPool::serve(std::size_t itemCount, int requestFd, int responseFd) {
  std::vector<databrowse::BrowseData>* items = nullptr;
  try {
    items = &items_(itemCount);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "making %zu items: %s\n", itemCount, error.what());
    ::_exit(1);
  }
  // Pages of freed blocks go back to the system; a child that reuses such a
  // block faults its pages in again, as a fresh process would.
  ::malloc_trim(0);
  const auto freeHeapBytes = static_cast<std::int64_t>(::mallinfo2().fordblks);
  if (!writeAll(responseFd, &freeHeapBytes, sizeof freeHeapBytes)) ::_exit(1);

  std::int32_t id;
  while (readAll(requestFd, &id, sizeof id)) {
    ResponseHeader header;
    int report[2];
    pid_t child = -1;
    if (::pipe(report) != 0) {
      header.forkError = errno;
    } else if ((child = ::fork()) < 0) {
      header.forkError = errno;
      ::close(report[0]);
      ::close(report[1]);
    } else if (child == 0) {
      ::close(report[0]);
      ::close(requestFd);
      ::close(responseFd);
      measureInChild(measurements_[static_cast<std::size_t>(id)].second, *items, report[1]);
    } else {
      ::close(report[1]);
      char overflow[4096];
      for (;;) {
        const bool fits = header.length < kReportCapacity;
        char* const into = fits ? reportBuffer + header.length : overflow;
        const std::size_t room = fits ? kReportCapacity - header.length : sizeof overflow;
        const ssize_t got = ::read(report[0], into, room);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (fits) {
          header.length += static_cast<std::uint64_t>(got);
        } else {
          header.truncated = 1;
        }
      }
      ::close(report[0]);
      waitFor(child, header.waitStatus);
    }
    if (!writeAll(responseFd, &header, sizeof header) ||
        !writeAll(responseFd, reportBuffer, static_cast<std::size_t>(header.length))) {
      ::_exit(1);
    }
  }
  ::_exit(0);
}

const FreshProcessPool::Holder& FreshProcessPool::holderFor(std::size_t itemCount) const {
  for (const Holder& holder : holders_) {
    if (holder.itemCount == itemCount) return holder;
  }
  throw std::logic_error("no fresh-process holder for " + std::to_string(itemCount) +
                         " items; was FreshProcessPool::start called?");
}

ChildReport FreshProcessPool::run(int id) {
  if (id < 0 || static_cast<std::size_t>(id) >= measurements_.size()) {
    throw std::out_of_range("no fresh-process measurement " + std::to_string(id));
  }
  const Holder& holder = holderFor(measurements_[static_cast<std::size_t>(id)].first);
  const std::string lost =
      "the process holding the " + std::to_string(holder.itemCount) + " items has gone";
  const auto request = static_cast<std::int32_t>(id);
  if (!writeAll(holder.requestFd, &request, sizeof request)) throw std::runtime_error(lost);
  ResponseHeader header;
  if (!readAll(holder.responseFd, &header, sizeof header)) throw std::runtime_error(lost);
  std::string bytes(static_cast<std::size_t>(header.length), '\0');
  if (!readAll(holder.responseFd, bytes.data(), bytes.size())) throw std::runtime_error(lost);
  if (header.forkError != 0) {
    throw std::runtime_error(std::string("starting the measurement's process: ") +
                             strerror(header.forkError));
  }
  if (!WIFEXITED(header.waitStatus) || WEXITSTATUS(header.waitStatus) != 0) {
    throw std::runtime_error(describeExit(header.waitStatus));
  }
  if (header.truncated != 0) {
    throw std::runtime_error("a measurement's report is longer than " +
                             std::to_string(kReportCapacity) + " bytes");
  }
  return parseReport(bytes);
}

std::int64_t FreshProcessPool::holderFreeHeapBytes(std::size_t itemCount) const {
  for (const Holder& holder : holders_) {
    if (holder.itemCount == itemCount) return holder.freeHeapBytes;
  }
  return -1;
}

void FreshProcessPool::stop() {
  for (const Holder& holder : holders_) {
    ::close(holder.requestFd);  // the holder reads the end of its requests and exits
    int status = 0;
    waitFor(holder.pid, status);
    ::close(holder.responseFd);
  }
  holders_.clear();
}

}  // namespace bench
