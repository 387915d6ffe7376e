#include "DataSetCatalog.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <simdjson.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <utility>

#include "ApiError.h"

namespace browse::serve {

namespace {

constexpr std::string_view kExtension = ".jsonl";
constexpr std::size_t kMaxPathBytes = 1024;
constexpr std::size_t kMaxParts = 16;
constexpr std::size_t kMaxPartBytes = NAME_MAX;
// The listing visits at most this many directory entries.
constexpr std::size_t kMaxListedEntries = 10000;

bool isValidPart(std::string_view part) {
  if (part.empty() || part.size() > kMaxPartBytes || part.front() == '.') return false;
  return std::none_of(part.begin(), part.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || c == '\\' || c == '/';
  });
}

[[noreturn]] void badPath(const std::string& problem) {
  throw ApiError(400, "bad_request", problem);
}

FileVersion versionOf(const struct stat& info) {
  return {info.st_dev, info.st_ino, static_cast<std::int64_t>(info.st_size),
          static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

struct FdCloser {
  void operator()(const int* fd) const { ::close(*fd); }
};

struct DirCloser {
  void operator()(DIR* entries) const { ::closedir(entries); }
};

}  // namespace

DataSetFile::DataSetFile(DataSetFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), version_(other.version_) {}

DataSetFile::~DataSetFile() {
  if (fd_ >= 0) ::close(fd_);
}

int DataSetFile::release() { return std::exchange(fd_, -1); }

DataSetCatalog::DataSetCatalog(const std::string& directory, Resolution resolution)
    : resolution_(resolution) {
  directoryFd_ = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (directoryFd_ < 0) {
    throw std::runtime_error("cannot open the data directory " + directory + ": " +
                             std::strerror(errno));
  }
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(directory.c_str(), nullptr),
                                                   &std::free);
  if (!real) {
    const int error = errno;
    ::close(directoryFd_);
    throw std::runtime_error("cannot resolve the data directory " + directory + ": " +
                             std::strerror(error));
  }
  realDirectory_ = real.get();
}

DataSetCatalog::~DataSetCatalog() { ::close(directoryFd_); }

std::string DataSetCatalog::fileNameOf(std::string_view dataSetPath) {
  if (dataSetPath.empty()) badPath("the data set path paths[0].path is empty");
  if (dataSetPath.size() > kMaxPathBytes) {
    badPath("the data set path is longer than " + std::to_string(kMaxPathBytes) + " bytes");
  }
  // Requests name data sets in JSON, which holds only UTF-8.
  if (!simdjson::validate_utf8(dataSetPath)) badPath("the data set path is not UTF-8");
  // Built only for an error: every request's path passes here.
  const auto quoted = [dataSetPath] {
    return "the data set path '" + std::string(dataSetPath) + "'";
  };
  if (dataSetPath.front() != '/') badPath(quoted() + " does not start with '/'");
  std::string name;
  std::size_t parts = 0;
  std::string_view rest = dataSetPath.substr(1);
  for (;;) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    if (!isValidPart(part)) {
      badPath(quoted() +
              " has a part that is empty, starts with '.', holds '\\' or a control character, "
              "or is longer than " +
              std::to_string(kMaxPartBytes) + " bytes");
    }
    if (++parts > kMaxParts)
      badPath(quoted() + " has more than " + std::to_string(kMaxParts) + " parts");
    name.append(part);
    if (slash == std::string_view::npos) break;
    name += '/';
    rest.remove_prefix(slash + 1);
  }
  const std::size_t lastPart = name.size() - (name.rfind('/') + 1);
  if (lastPart + kExtension.size() > kMaxPartBytes) {
    badPath(quoted() + " ends in a part longer than " +
            std::to_string(kMaxPartBytes - kExtension.size()) + " bytes");
  }
  return name.append(kExtension);
}

int DataSetCatalog::openBeneath(const std::string& name, int flags) const {
  if (resolution_ == Resolution::kKernel) {
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, directoryFd_, name.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != ENOSYS) return -errno;
    resolution_ = Resolution::kRealpath;
  }
  return openByRealpath(name, flags);
}

// Without openat2 the check and the open are two steps; a link swapped in
// between is caught by opening the resolved path without following a last
// link, though not a directory swapped higher up. Kernels since 5.6 take the
// kernel's way.
int DataSetCatalog::openByRealpath(const std::string& name, int flags) const {
  const std::string full = realDirectory_ + "/" + name;
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(full.c_str(), nullptr), &std::free);
  if (!real) return -errno;
  const std::string_view resolved = real.get();
  if (resolved != realDirectory_ &&
      (resolved.size() <= realDirectory_.size() ||
       resolved.compare(0, realDirectory_.size(), realDirectory_) != 0 ||
       resolved[realDirectory_.size()] != '/')) {
    return -EXDEV;
  }
  const int fd = ::open(real.get(), flags | O_NOFOLLOW);
  return fd >= 0 ? fd : -errno;
}

DataSetFile DataSetCatalog::open(std::string_view dataSetPath) const {
  const std::string name = fileNameOf(dataSetPath);
  // Non-blocking, so that a FIFO placed under the directory cannot hold the
  // request; anything but a regular file is refused below. The flag stays
  // set: reads of a regular file ignore it, and clearing it would cost two
  // more system calls on every request.
  const int fd = openBeneath(name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    if (fd == -EMFILE || fd == -ENFILE || fd == -ENOMEM) {
      throw ApiError(503, "unavailable", "the server is out of file descriptors; retry later");
    }
    throw ApiError(404, "not_found", "no data set " + std::string(dataSetPath));
  }
  DataSetFile file(fd, {});
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    throw ApiError(404, "not_found", "no data set " + std::string(dataSetPath));
  }
  return DataSetFile(file.release(), versionOf(info));
}

DataSetCatalog::Listing DataSetCatalog::list() const {
  Listing listing;
  std::size_t visited = 0;
  walk("", 0, listing, visited);
  std::sort(listing.dataSets.begin(), listing.dataSets.end(),
            [](const DataSetInfo& a, const DataSetInfo& b) { return a.path < b.path; });
  return listing;
}

void DataSetCatalog::walk(const std::string& folder, int depth, Listing& listing,
                          std::size_t& visited) const {
  const int fd = openBeneath(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A listing that skipped a folder or a file for want of memory would look
  // complete.
  if (fd == -ENOMEM) throw std::bad_alloc();
  if (fd < 0) return;
  std::unique_ptr<DIR, DirCloser> entries(::fdopendir(fd));
  if (!entries) {
    const int error = errno;
    ::close(fd);
    if (error == ENOMEM) throw std::bad_alloc();
    return;
  }
  while (const dirent* entry = ::readdir(entries.get())) {
    if (++visited > kMaxListedEntries) {
      listing.truncated = true;
      return;
    }
    const std::string_view part = entry->d_name;
    if (!isValidPart(part)) continue;
    std::string name = folder;
    if (!name.empty()) name += '/';
    name.append(part);
    // Opened beneath the directory, so that a link out of it is skipped.
    const int found = openBeneath(name, O_PATH | O_CLOEXEC);
    if (found == -ENOMEM) throw std::bad_alloc();
    if (found < 0) continue;
    const std::unique_ptr<const int, FdCloser> closer(&found);
    struct stat info {};
    if (::fstat(found, &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      if (depth + 1 < static_cast<int>(kMaxParts)) walk(name, depth + 1, listing, visited);
      if (listing.truncated) return;
    } else if (S_ISREG(info.st_mode) && part.size() > kExtension.size() &&
               part.substr(part.size() - kExtension.size()) == kExtension) {
      name.resize(name.size() - kExtension.size());
      std::string path = '/' + std::move(name);
      // Only what a request can name: fileNameOf refuses the rest.
      if (path.size() > kMaxPathBytes || !simdjson::validate_utf8(path)) continue;
      listing.dataSets.push_back({std::move(path), versionOf(info)});
    }
  }
}

}  // namespace browse::serve
