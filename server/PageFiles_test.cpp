// The browse page as the handler serves it: every file that index.html
// loads, with its content type and a policy that allows the server's own
// origin only, and nothing from elsewhere.
#include "PageFiles.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "RequestHandler.h"
#include "testing/DataDirectory.h"

namespace browse::serve {
namespace {

class PageFilesTest : public ::testing::Test {
 protected:
  HttpAnswer get(std::string_view path, std::string_view method = "GET") {
    return handler_.handle({.method = method, .path = path, .body = ""});
  }
  static std::string header(const HttpAnswer& answer, const std::string& name) {
    for (const auto& [key, value] : answer.headers) {
      if (key == name) return value;
    }
    return "";
  }

  testing::DataDirectory data_;
  ServeOptions options_;
  DataSetCatalog catalog_{data_.path().string()};
  Metrics metrics_;
  ConsumerPool pool_{{std::size_t{1} << 30, std::chrono::minutes(10)}, metrics_};
  RequestHandler handler_{options_, catalog_, pool_, metrics_};
};

TEST_F(PageFilesTest, ThePageAndEveryFileItLoadsAreServedFromTheBinary) {
  const HttpAnswer page = get("/");
  ASSERT_EQ(200, page.status);
  EXPECT_EQ("text/html; charset=utf-8", page.contentType);
  EXPECT_EQ(0u, page.body.find("<!doctype html>"));
  const std::string policy = header(page, "Content-Security-Policy");
  EXPECT_NE(std::string::npos, policy.find("default-src 'none'"));
  EXPECT_NE(std::string::npos, policy.find("script-src 'self'"));
  EXPECT_NE(std::string::npos, policy.find("connect-src 'self'"));

  // The files the page names, and the modules they import.
  std::vector<std::string> loaded;
  const std::regex reference(R"re((?:href|src)="(/page/[^"]+)"|from "\./([^"]+)")re");
  std::vector<std::string> texts{page.body};
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::string text = texts[i];
    for (std::sregex_iterator m(text.begin(), text.end(), reference), end; m != end; ++m) {
      const std::string path = (*m)[1].matched ? (*m)[1].str() : "/page/" + (*m)[2].str();
      if (std::find(loaded.begin(), loaded.end(), path) != loaded.end()) continue;
      const HttpAnswer file = get(path);
      ASSERT_EQ(200, file.status) << path;
      EXPECT_FALSE(header(file, "Content-Security-Policy").empty()) << path;
      loaded.push_back(path);
      texts.push_back(file.body);
    }
  }
  EXPECT_EQ((std::vector<std::string>{"/page/style.css", "/page/app.js", "/page/api.js",
                                      "/page/state.js"}),
            loaded);
  EXPECT_EQ("text/javascript; charset=utf-8", get("/page/app.js").contentType);
  EXPECT_EQ("text/css; charset=utf-8", get("/page/style.css").contentType);
  for (const std::string& text : texts) {
    EXPECT_EQ(std::string::npos, text.find("://")) << "the page loads nothing from elsewhere";
  }
}

TEST_F(PageFilesTest, OnlyGetReachesThePageAndUnknownFilesAreNotFound) {
  EXPECT_EQ(200, get("/", "HEAD").status);
  const HttpAnswer posted = get("/", "POST");
  EXPECT_EQ(405, posted.status);
  EXPECT_EQ("GET", header(posted, "Allow"));
  EXPECT_EQ(404, get("/page/missing.js").status);
  EXPECT_EQ(404, get("/index.html").status);
  EXPECT_EQ(404, get("/page/").status);
}

TEST_F(PageFilesTest, AnswersSayHowLongTheHandlerTook) {
  for (const std::string_view path : {"/healthz", "/v1/datasets", "/", "/missing"}) {
    const std::string timing = header(get(path), "Server-Timing");
    EXPECT_TRUE(std::regex_match(timing, std::regex(R"(handler;dur=[0-9]+\.[0-9]{3})")))
        << path << ": " << timing;
  }
}

}  // namespace
}  // namespace browse::serve
