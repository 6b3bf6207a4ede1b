# Turns a compiled .res file into a C++ source that defines teskel_program_res and its size.
# Usage: cmake -DINPUT=file.res -DOUTPUT=file.cpp -P embed_res.cmake
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "embed_res.cmake needs -DINPUT=<file.res> and -DOUTPUT=<file.cpp>")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT}; do not edit.\n"
  "extern \"C\" const unsigned char teskel_program_res[] = {${bytes}};\n"
  "extern \"C\" const unsigned long teskel_program_res_size = ${size}UL;\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
