// The answer's head against the one Boost.Beast's serializer writes for the
// same response, which clients saw before the head was built directly.
#include "ResponseHead.h"

#include <gtest/gtest.h>

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

namespace browse::serve {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// The whole response as Beast writes it: head, then the body unless `head`.
std::string beastResponse(const HttpAnswer& answer, bool keepAlive, bool head) {
  http::response<http::string_body> response;
  response.version(11);
  response.result(static_cast<unsigned>(answer.status));
  for (const auto& [name, value] : answer.headers) response.insert(name, value);
  if (!answer.contentType.empty()) response.set(http::field::content_type, answer.contentType);
  response.keep_alive(keepAlive);
  if (answer.status == 204) {
    response.erase(http::field::content_length);  // as HTTP asks of an answer without a body
  } else {
    response.content_length(answer.body.size());
  }
  if (!head) response.body() = answer.body;
  http::response_serializer<http::string_body> serializer(response);
  std::string text;
  beast::error_code error;
  while (!error && !serializer.is_done()) {
    serializer.next(error, [&](beast::error_code&, const auto& buffers) {
      text += beast::buffers_to_string(buffers);
      serializer.consume(beast::buffer_bytes(buffers));
    });
  }
  EXPECT_FALSE(error) << error.message();
  return text;
}

std::string ourResponse(const HttpAnswer& answer, bool keepAlive, bool head) {
  std::string text;
  appendResponseHead(text, answer, keepAlive, answer.body.size());
  if (!head) text += answer.body;
  return text;
}

void expectSameAsBeast(const HttpAnswer& answer) {
  for (const bool keepAlive : {true, false}) {
    for (const bool head : {false, true}) {
      EXPECT_EQ(beastResponse(answer, keepAlive, head), ourResponse(answer, keepAlive, head))
          << "status " << answer.status << (keepAlive ? ", kept alive" : ", closing")
          << (head ? ", HEAD" : "");
    }
  }
}

TEST(ResponseHeadTest, AnswersOfTheHandlerAreWrittenAsBeastWroteThem) {
  HttpAnswer page{200, "application/json; charset=utf-8", {}, "[\n  {}\n]\n"};
  page.headers = {{"X-Content-Type-Options", "nosniff"},
                  {"Cache-Control", "no-store"},
                  {"Server-Timing", "handler;dur=0.412"}};
  expectSameAsBeast(page);

  HttpAnswer notAllowed{405, "application/json; charset=utf-8", {{"Allow", "POST"}}, "{}"};
  expectSameAsBeast(notAllowed);
  expectSameAsBeast(HttpAnswer{204, "", {{"Access-Control-Max-Age", "600"}}, ""});
  expectSameAsBeast(HttpAnswer{503, "text/plain", {}, std::string(70000, 'x')});
  expectSameAsBeast(HttpAnswer{431, "", {}, "no content type"});
}

TEST(ResponseHeadTest, StatusesWithoutAKnownReasonAndRepeatedHeaders) {
  expectSameAsBeast(HttpAnswer{299, "text/plain", {}, "odd"});
  expectSameAsBeast(HttpAnswer{418, "text/plain", {}, "teapot"});
  expectSameAsBeast(
      HttpAnswer{200, "text/plain", {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}}, "two"});
}

TEST(ResponseHeadTest, NoContentCarriesNoLength) {
  for (const HttpAnswer& answer : {HttpAnswer{204, "", {{"Access-Control-Max-Age", "600"}}, ""},
                                   HttpAnswer{204, "", {{"Connection", "close"}}, ""}}) {
    std::string head;
    appendResponseHead(head, answer, true, 0);
    EXPECT_EQ(std::string::npos, head.find("Content-Length")) << head;
    EXPECT_EQ(0u, head.rfind("HTTP/1.1 204 No Content\r\n", 0)) << head;
  }
}

TEST(ResponseHeadTest, HeadersThatBeastMergesAreLeftToIt) {
  // Beast replaces a Content-Type of the headers in place, edits a
  // Connection header's tokens and sets Content-Length over the given one.
  expectSameAsBeast(HttpAnswer{200, "application/json", {{"content-type", "text/html"}}, "{}"});
  expectSameAsBeast(HttpAnswer{200, "", {{"Connection", "upgrade"}}, "x"});
  expectSameAsBeast(HttpAnswer{200, "text/plain", {{"Content-Length", "99"}}, "short"});
}

}  // namespace
}  // namespace browse::serve
