# Windows build with Debian's mingw-w64 cross compiler for x86-64. See win32/CMakeLists.txt for what
# is built with it.

set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TESKEL_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
