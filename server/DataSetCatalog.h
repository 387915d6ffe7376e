// The data sets that the service answers from, and the confinement of their
// paths to the data directory.
//
// A data set is a JSON Lines file of items beneath the data directory, named
// by a path of the request's form: "/music/2024" is DIR/music/2024.jsonl.
// Every file is opened beneath the directory with the kernel's help
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS): ".." and symbolic
// links may move around inside the directory but never out of it. On a kernel
// without openat2 the catalog falls back to resolving the path with
// realpath and checking that it lies beneath the directory.
//
// Thread safety: every operation may run on any number of threads at once.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace browse::serve {

// What identifies the content of a data-set file: a file whose version
// changed is collected again.
struct FileVersion {
  dev_t device = 0;
  ino_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedNs = 0;

  bool operator==(const FileVersion&) const = default;
};

// An open data-set file; closes it unless its descriptor was released.
class DataSetFile {
 public:
  DataSetFile(int fd, FileVersion version) : fd_(fd), version_(version) {}
  DataSetFile(DataSetFile&& other) noexcept;
  DataSetFile& operator=(DataSetFile&& other) = delete;
  ~DataSetFile();

  const FileVersion& version() const { return version_; }
  // Hands the descriptor to the caller, who closes it.
  int release();

 private:
  int fd_;
  FileVersion version_;
};

struct DataSetInfo {
  std::string path;  // as a request names it: "/music/2024"
  FileVersion version;
};

class DataSetCatalog {
 public:
  enum class Resolution {
    kKernel,    // openat2 beneath the directory (realpath when the kernel lacks it)
    kRealpath,  // realpath and a prefix check, for kernels without openat2
  };

  // Serves the data sets beneath `directory`. Throws std::runtime_error naming
  // the directory when it cannot be opened as one.
  explicit DataSetCatalog(const std::string& directory,
                          Resolution resolution = Resolution::kKernel);
  ~DataSetCatalog();
  DataSetCatalog(const DataSetCatalog&) = delete;
  DataSetCatalog& operator=(const DataSetCatalog&) = delete;

  // The file name beneath the directory of a data-set path as a request gives
  // it: "/music/2024" -> "music/2024.jsonl". A path is '/' followed by parts
  // separated by '/'; a part is not empty, does not start with '.', holds no
  // '\\', NUL or other control character and leaves room for ".jsonl" in 255
  // bytes; at most 16 parts and 1024 bytes, all UTF-8. Throws ApiError 400
  // otherwise.
  static std::string fileNameOf(std::string_view dataSetPath);

  // Opens the data set's file for reading. Throws ApiError: 400 for a path
  // that fileNameOf refuses, 404 when there is no such regular file beneath
  // the directory (symbolic links out of it included), 503 when the process
  // is out of descriptors.
  DataSetFile open(std::string_view dataSetPath) const;

  struct Listing {
    std::vector<DataSetInfo> dataSets;  // sorted by path
    bool truncated = false;             // the walk stopped at its bound
  };
  // Every data set beneath the directory that open() would open, found by a
  // walk bounded in depth and in entries visited.
  Listing list() const;

  // False once the catalog resolves paths by realpath.
  bool usesKernelResolution() const { return resolution_ == Resolution::kKernel; }

 private:
  // A descriptor of `name` (relative, no leading '/') opened beneath the
  // directory with `flags`, or -errno.
  int openBeneath(const std::string& name, int flags) const;
  int openByRealpath(const std::string& name, int flags) const;
  void walk(const std::string& folder, int depth, Listing& listing, std::size_t& visited) const;

  int directoryFd_ = -1;
  std::string realDirectory_;
  mutable std::atomic<Resolution> resolution_;
};

}  // namespace browse::serve
