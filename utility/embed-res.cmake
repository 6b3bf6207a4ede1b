# Turns a compiled .res file into a C++ source defining teskel_program_res and its size.
# Usage: cmake -DINPUT=file.res -DOUTPUT=file.cpp -P embed-res.cmake
if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "embed-res.cmake needs -DINPUT=<file.res> and -DOUTPUT=<file.cpp>")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" digits)
math(EXPR size "${digits} / 2")
if(size EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()
# Sixteen bytes a line keeps the generated file readable in a diff of two builds.
string(REPEAT "[0-9a-f]" 32 line)
string(REGEX REPLACE "(${line})" "\\1\n  " hex "${hex}")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} by embed-res.cmake; do not edit.\n"
  "extern \"C\" const unsigned char teskel_program_res[] = {\n  ${bytes}\n};\n"
  "extern \"C\" const unsigned long teskel_program_res_size = ${size}UL;\n")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
