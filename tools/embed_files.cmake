# Writes OUTPUT, a C++ source that holds each of FILES (full paths, '|'
# separated) as bytes under its name in the table tm350 setup serves from.
# Run as cmake -DOUTPUT=... -DFILES=... -P embed_files.cmake.
string(REPLACE "|" ";" FILES "${FILES}")
set(entries "")
set(arrays "")
set(index 0)
foreach(file IN LISTS FILES)
  get_filename_component(name ${file} NAME)
  file(READ ${file} content HEX)
  string(LENGTH "${content}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${content}")
  string(APPEND arrays "const unsigned char kFile${index}[] = {${bytes}0};\n")
  string(APPEND entries "    {\"${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from tools/tm350/web at build time.
#include \"tools/tm350/web_files.h\"

namespace tm350::tool {
namespace {
${arrays}}  // namespace

const EmbeddedFile kWebFiles[] = {
${entries}};
const size_t kWebFileCount = ${index};

}  // namespace tm350::tool
")
# Rewritten only when it changed, so that an unchanged client relinks nothing.
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
