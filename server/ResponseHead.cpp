#include "ResponseHead.h"

#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>

namespace browse::serve {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// Headers whose value Beast merges with what it sets itself.
bool isFramingHeader(std::string_view text) {
  const beast::string_view name(text.data(), text.size());
  return beast::iequals(name, "Content-Type") || beast::iequals(name, "Content-Length") ||
         beast::iequals(name, "Connection") || beast::iequals(name, "Transfer-Encoding");
}

// HTTP forbids Content-Length on an answer that never has a body.
bool mayCarryLength(int status) { return status >= 200 && status != 204; }

// Beast's own serialization, for an answer that sets one of the framing
// headers itself.
void appendBeastHead(std::string& out, const HttpAnswer& answer, bool keepAlive,
                     std::size_t contentLength) {
  http::response<http::empty_body> head;
  head.version(11);
  head.result(static_cast<unsigned>(answer.status));
  for (const auto& [name, value] : answer.headers) head.insert(name, value);
  if (!answer.contentType.empty()) head.set(http::field::content_type, answer.contentType);
  head.keep_alive(keepAlive);
  if (mayCarryLength(answer.status)) {
    head.content_length(contentLength);
  } else {
    head.erase(http::field::content_length);
  }
  http::response_serializer<http::empty_body> serializer(head);
  serializer.split(true);
  beast::error_code error;
  while (!error && !serializer.is_header_done()) {
    serializer.next(error, [&](beast::error_code&, const auto& buffers) {
      for (const auto buffer : beast::buffers_range_ref(buffers)) {
        out.append(static_cast<const char*>(buffer.data()), buffer.size());
      }
      serializer.consume(beast::buffer_bytes(buffers));
    });
  }
}

void appendField(std::string& out, std::string_view name, std::string_view value) {
  out += name;
  out += ": ";
  out += value;
  out += "\r\n";
}

}  // namespace

void appendResponseHead(std::string& out, const HttpAnswer& answer, bool keepAlive,
                        std::size_t contentLength) {
  for (const auto& header : answer.headers) {
    if (isFramingHeader(header.first))
      return appendBeastHead(out, answer, keepAlive, contentLength);
  }
  char number[24];
  out += "HTTP/1.1 ";
  out.append(number, std::to_chars(number, number + sizeof number, answer.status).ptr);
  out += ' ';
  const beast::string_view reason =
      http::obsolete_reason(http::int_to_status(static_cast<unsigned>(answer.status)));
  out.append(reason.data(), reason.size());
  out += "\r\n";
  for (const auto& [name, value] : answer.headers) appendField(out, name, value);
  if (!answer.contentType.empty()) appendField(out, "Content-Type", answer.contentType);
  if (!keepAlive) appendField(out, "Connection", "close");
  if (mayCarryLength(answer.status)) {
    appendField(
        out, "Content-Length",
        std::string_view(
            number, std::to_chars(number, number + sizeof number, contentLength).ptr - number));
  }
  out += "\r\n";
}

}  // namespace browse::serve
