# Writes OUTPUT, a C++ source that holds the browse page's files (FILES, in
# SOURCE_DIR) as the array kPageFiles of PageFiles.h: index.html is served at
# "/", every other file at "/page/NAME". FILES is a comma-separated list.
# Run with cmake -P at build time.
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")

set(arrays "")
set(entries "")
set(index 0)
string(REPLACE "," ";" FILES "${FILES}")
foreach(name IN LISTS FILES)
  get_filename_component(extension "${name}" LAST_EXT)
  string(SUBSTRING "${extension}" 1 -1 extension)
  if(NOT DEFINED types_${extension})
    message(FATAL_ERROR "no content type for the page file ${name}")
  endif()
  file(READ "${SOURCE_DIR}/${name}" bytes HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  # A terminating 0 keeps the array of an empty file legal.
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}0x00};\n")
  if(name STREQUAL "index.html")
    set(path "/")
  else()
    set(path "/page/${name}")
  endif()
  string(APPEND entries "    {\"${path}\", \"${types_${extension}}\",\n"
         "     {reinterpret_cast<const char*>(kFile${index}), sizeof kFile${index} - 1}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(source "// Generated from server/page/ by EmbedPageFiles.cmake.
#include \"PageFiles.h\"

namespace browse::serve {

namespace {
${arrays}}  // namespace

extern const PageFile kPageFiles[] = {
${entries}};
extern const std::size_t kPageFileCount = ${index};

}  // namespace browse::serve
")
# Rewritten only when changed, so that an unchanged page compiles nothing.
file(CONFIGURE OUTPUT "${OUTPUT}" CONTENT "${source}" @ONLY)
