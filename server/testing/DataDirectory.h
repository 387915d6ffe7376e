// A temporary data directory for the server's tests: data-set files written
// on request, removed with the directory at the end of the test.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "ItemGenerator.h"
#include "databrowse/RecordJson.h"

namespace browse::serve::testing {

class DataDirectory {
 public:
  DataDirectory() {
    std::string pattern =
        (std::filesystem::path(::testing::TempDir()) / "serve_data_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
    std::filesystem::create_directory(root_ / "data");
  }
  ~DataDirectory() { std::filesystem::remove_all(root_); }
  DataDirectory(const DataDirectory&) = delete;
  DataDirectory& operator=(const DataDirectory&) = delete;

  // The data directory; outside() is a sibling folder beyond its reach.
  std::filesystem::path path() const { return root_ / "data"; }
  std::filesystem::path outside() const { return root_; }

  // Writes `text` to the file at `relative` beneath the data directory.
  std::filesystem::path write(const std::string& relative, const std::string& text) const {
    const std::filesystem::path file = path() / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  // Writes `count` generated items (ItemGenerator of `seed`) as the data set
  // `dataSet` ("/a/b" is a/b.jsonl); returns the file.
  std::filesystem::path writeItems(const std::string& dataSet, std::size_t count,
                                   std::uint64_t seed = 1) const {
    return write(dataSet.substr(1) + ".jsonl", generatedItems(count, seed));
  }

  static std::string generatedItems(std::size_t count, std::uint64_t seed) {
    ItemGenerator generator(seed);
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += databrowse::toJson(generator.next()) + "\n";
    return text;
  }

 private:
  std::filesystem::path root_;
};

// A browse request for one page of `dataSet`, sorted by `fields` (a JSON
// array) in `direction`.
inline std::string pageRequest(const std::string& dataSet, long long offset, long long limit,
                               const std::string& fields = R"(["ByName","ByNumber"])",
                               int direction = 0) {
  return R"({"paths":[{"path":")" + dataSet + R"("}],"queries":[{"queryId":"page",)" +
         R"("parameters":{"sort":{"fields":)" + fields + R"(,"direction":)" +
         std::to_string(direction) + R"(},"paging":{"offset":)" + std::to_string(offset) +
         R"(,"limit":)" + std::to_string(limit) +
         R"(}}},{"queryId":"total","aggregate":{"type":4}}],)" +
         R"("context":{"sessionId":"test","sequence":1}})";
}

}  // namespace browse::serve::testing
