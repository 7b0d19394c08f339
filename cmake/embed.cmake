# Turns each file of FILES into a byte array in OUT:
#   extern const unsigned char embedded_<name>[]; extern const unsigned long embedded_<name>_size;
set(body "// Generated at build time from assets/; do not edit.\n")
foreach(path ${FILES})
  get_filename_component(name ${path} NAME_WE)
  string(MAKE_C_IDENTIFIER ${name} id)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" n)
  math(EXPR size "${n} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND body "extern const unsigned char embedded_${id}[] = {${bytes}};\n")
  string(APPEND body "extern const unsigned long embedded_${id}_size = ${size};\n")
endforeach()
file(WRITE ${OUT} "${body}")
