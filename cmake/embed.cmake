# Turns each file of FILES into a byte array in OUT:
#   extern const unsigned char embedded_<PREFIX><name>[]; extern const unsigned long embedded_<PREFIX><name>_size;
# With TABLE set, also a table of them all by name (the file name without its extension):
#   extern const Embedded_File embedded_<TABLE>[]; extern const unsigned long embedded_<TABLE>_count;
set(body "// Generated at build time; do not edit.\n")
set(entries "")
set(count 0)
foreach(path ${FILES})
  get_filename_component(name ${path} NAME_WE)
  string(MAKE_C_IDENTIFIER "${PREFIX}${name}" id)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR size "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "extern const unsigned char embedded_${id}[] = {${bytes}};\n")
  string(APPEND body "extern const unsigned long embedded_${id}_size = ${size};\n")
  string(APPEND entries "{\"${name}\", embedded_${id}, ${size}},\n")
  math(EXPR count "${count} + 1")
endforeach()
if(TABLE)
  string(APPEND body "struct Embedded_File { const char* name; const unsigned char* bytes; unsigned long size; };\n")
  # One empty entry at the end, so that the table is never an empty array.
  string(APPEND body "extern const Embedded_File embedded_${TABLE}[] = {\n${entries}{nullptr, nullptr, 0}};\n")
  string(APPEND body "extern const unsigned long embedded_${TABLE}_count = ${count};\n")
endif()
file(WRITE ${OUT} "${body}")
