# Writes OUTPUT, a C++ file that holds the bytes of FILES (a ;-list) as the page's
# assets: cmake -DOUTPUT=... -DFILES=... -P embed_page.cmake
set(types_html "text/html; charset=utf-8")
set(types_js "text/javascript; charset=utf-8")
set(types_css "text/css; charset=utf-8")
set(types_svg "image/svg+xml")
set(types_png "image/png")
set(types_ico "image/x-icon")

set(arrays "")
set(entries "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  get_filename_component(extension ${file} LAST_EXT)
  string(SUBSTRING "${extension}" 1 -1 extension)
  set(type "${types_${extension}}")
  if(type STREQUAL "")
    set(type "application/octet-stream")
  endif()
  file(READ ${file} hex HEX)
  file(SIZE ${file} size)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  string(APPEND arrays "const char kAsset${index}[] = {${bytes} 0};\n")
  string(APPEND entries "    {\"/${name}\", \"${type}\", {kAsset${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

file(WRITE ${OUTPUT}.new "// Made by embed_page.cmake from src/web/page; not edited by hand.
#include \"web/page_assets.h\"

namespace lindra::web {
namespace {
${arrays}
const PageAsset kAssets[] = {
${entries}};
}  // namespace

std::span<const PageAsset> PageAssets() { return kAssets; }

}  // namespace lindra::web
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
