// The browse page's files (server/page/), embedded in the binary at build
// time, so that an installed `browse serve` has them: index.html is served
// at "/", every other file at "/page/NAME".
#pragma once

#include <cstddef>
#include <string_view>

namespace browse::serve {

struct PageFile {
  std::string_view path;         // "/" or "/page/app.js"
  std::string_view contentType;  // "text/javascript; charset=utf-8"
  std::string_view bytes;
};

// The file served at `path`, or null.
const PageFile* findPageFile(std::string_view path);

}  // namespace browse::serve
