#include "PageFiles.h"

#include <algorithm>

namespace browse::serve {

// Defined in the source that EmbedPageFiles.cmake generates.
extern const PageFile kPageFiles[];
extern const std::size_t kPageFileCount;

const PageFile* findPageFile(std::string_view path) {
  const PageFile* end = kPageFiles + kPageFileCount;
  const PageFile* file =
      std::find_if(kPageFiles, end, [&](const PageFile& f) { return f.path == path; });
  return file == end ? nullptr : file;
}

}  // namespace browse::serve
