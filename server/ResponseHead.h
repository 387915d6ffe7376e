// The status line and headers of an answer with a body of known length, as
// the HTTP layer sends them: HTTP/1.1, the answer's headers in order, then
// Content-Type (when the answer has one), "Connection: close" when the
// connection closes after it, and Content-Length.
//
// The text is the one that Boost.Beast's serializer writes for such a
// response; it is built directly, without Beast's field list, because every
// answer pays for it.
#pragma once

#include <cstddef>
#include <string>

#include "RequestHandler.h"

namespace browse::serve {

// Appends the head of `answer` (status, headers, content type; not its body)
// for a body of `contentLength` bytes to `out`, ending with the blank line.
void appendResponseHead(std::string& out, const HttpAnswer& answer, bool keepAlive,
                        std::size_t contentLength);

}  // namespace browse::serve
