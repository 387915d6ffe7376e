// Data-set paths are confined to the data directory, by the kernel
// (openat2) and by the realpath fallback alike.
#include "DataSetCatalog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "ApiError.h"
#include "testing/DataDirectory.h"

namespace browse::serve {
namespace {

namespace fs = std::filesystem;

class DataSetCatalogTest : public ::testing::TestWithParam<DataSetCatalog::Resolution> {
 protected:
  DataSetCatalogTest() {
    data_.write("music/2024.jsonl", "{\"name\":\"a\"}\n");
    data_.write("top.jsonl", "{}\n");
    // A file beyond the data directory that no path may reach.
    std::ofstream(data_.outside() / "secret.jsonl") << "{\"name\":\"secret\"}\n";
    fs::create_directories(data_.outside() / "elsewhere");
    std::ofstream(data_.outside() / "elsewhere" / "more.jsonl") << "{}\n";
  }

  // The status of opening `path`, 200 when it opens; the message of a
  // refusal must not name the server's directories.
  int openStatus(const std::string& path) {
    try {
      catalog_.open(path);
      return 200;
    } catch (const ApiError& e) {
      EXPECT_EQ(std::string(e.what()).find(data_.outside().string()), std::string::npos)
          << e.what();
      return e.status();
    }
  }

  testing::DataDirectory data_;
  DataSetCatalog catalog_{data_.path().string(), GetParam()};
};

TEST_P(DataSetCatalogTest, OpensDataSetsBeneathTheDirectory) {
  EXPECT_EQ(200, openStatus("/music/2024"));
  EXPECT_EQ(200, openStatus("/top"));
  fs::create_symlink("music/2024.jsonl", data_.path() / "alias.jsonl");
  fs::create_directories(data_.path() / "links");
  fs::create_symlink("../music", data_.path() / "links" / "music");
  EXPECT_EQ(200, openStatus("/alias")) << "a link that stays inside is followed";
  EXPECT_EQ(200, openStatus("/links/music/2024"));
  EXPECT_EQ(GetParam() == DataSetCatalog::Resolution::kKernel, catalog_.usesKernelResolution());
}

TEST_P(DataSetCatalogTest, NoPathLeavesTheDirectory) {
  fs::create_symlink(data_.outside() / "secret.jsonl", data_.path() / "absolute.jsonl");
  fs::create_symlink("../secret.jsonl", data_.path() / "relative.jsonl");
  fs::create_symlink(data_.outside() / "elsewhere", data_.path() / "away");
  EXPECT_EQ(404, openStatus("/absolute"));
  EXPECT_EQ(404, openStatus("/relative"));
  EXPECT_EQ(404, openStatus("/away/more"));
  EXPECT_EQ(404, openStatus("/%2e%2e/secret")) << "no decoding: a name like any other";
  EXPECT_EQ(404, openStatus("/etc/passwd"));
  EXPECT_EQ(404, openStatus("/proc/self/root/etc/passwd"));

  EXPECT_EQ(400, openStatus("/../secret"));
  EXPECT_EQ(400, openStatus("/music/../../secret"));
  EXPECT_EQ(400, openStatus("/./top"));
  EXPECT_EQ(400, openStatus("//etc/passwd"));
  EXPECT_EQ(400, openStatus("../secret"));
  EXPECT_EQ(400, openStatus("top"));
  EXPECT_EQ(400, openStatus("/music\\..\\..\\secret"));
  EXPECT_EQ(400, openStatus(std::string("/top\0x", 6)));
  EXPECT_EQ(400, openStatus("/top\n"));
  EXPECT_EQ(400, openStatus("/music/"));
  EXPECT_EQ(400, openStatus(""));
  EXPECT_EQ(400, openStatus("/" + std::string(250, 'a')));
  EXPECT_EQ(400, openStatus("/" + std::string(2000, 'a')));
  std::string deep;
  for (int i = 0; i < 17; ++i) deep += "/d";
  EXPECT_EQ(400, openStatus(deep));
}

TEST_P(DataSetCatalogTest, RefusesWhatIsNoRegularFileWithoutBlocking) {
  fs::create_directories(data_.path() / "folder.jsonl");
  ASSERT_EQ(0, ::mkfifo((data_.path() / "pipe.jsonl").c_str(), 0600));
  EXPECT_EQ(404, openStatus("/folder"));
  EXPECT_EQ(404, openStatus("/pipe")) << "opening a FIFO must not wait for a writer";
  EXPECT_EQ(404, openStatus("/missing"));
}

TEST_P(DataSetCatalogTest, ListsTheDataSetsThatOpenWouldOpen) {
  data_.write(".hidden.jsonl", "{}\n");
  data_.write("notes.txt", "not a data set\n");
  fs::create_symlink(data_.outside() / "secret.jsonl", data_.path() / "absolute.jsonl");
  fs::create_symlink("music/2024.jsonl", data_.path() / "alias.jsonl");
  const DataSetCatalog::Listing listing = catalog_.list();
  std::vector<std::string> paths;
  for (const DataSetInfo& dataSet : listing.dataSets) paths.push_back(dataSet.path);
  EXPECT_EQ((std::vector<std::string>{"/alias", "/music/2024", "/top"}), paths);
  EXPECT_FALSE(listing.truncated);
  EXPECT_EQ(13, listing.dataSets[1].version.size);
}

TEST_P(DataSetCatalogTest, EveryListedDataSetOpens) {
  // Parts within the bound of one name, together past the bound of a path.
  std::string deep;
  for (int i = 0; i < 5; ++i) deep += std::string(220, static_cast<char>('a' + i)) + "/";
  data_.write(deep + "x.jsonl", "{}\n");
  const DataSetCatalog::Listing listing = catalog_.list();
  for (const DataSetInfo& dataSet : listing.dataSets) {
    EXPECT_EQ(200, openStatus(dataSet.path))
        << "listed (" << dataSet.path.size() << " bytes), but does not open: " << dataSet.path;
  }
}

TEST_P(DataSetCatalogTest, AChangedFileHasAnotherVersion) {
  const FileVersion before = catalog_.open("/top").version();
  EXPECT_EQ(before, catalog_.open("/top").version());
  data_.write("top.jsonl", "{}\n{}\n");
  EXPECT_NE(before, catalog_.open("/top").version()) << "size changed";

  const FileVersion sized = catalog_.open("/top").version();
  const fs::path file = data_.path() / "top.jsonl";
  fs::last_write_time(file, fs::last_write_time(file) + std::chrono::seconds(1));
  EXPECT_NE(sized, catalog_.open("/top").version()) << "modification time changed";
}

INSTANTIATE_TEST_SUITE_P(Resolutions, DataSetCatalogTest,
                         ::testing::Values(DataSetCatalog::Resolution::kKernel,
                                           DataSetCatalog::Resolution::kRealpath),
                         [](const auto& info) {
                           return info.param == DataSetCatalog::Resolution::kKernel ? "openat2"
                                                                                    : "realpath";
                         });

TEST(DataSetCatalogConstructionTest, RefusesAMissingDirectory) {
  EXPECT_THROW(DataSetCatalog("/nonexistent/data/dir"), std::runtime_error);
}

}  // namespace
}  // namespace browse::serve
