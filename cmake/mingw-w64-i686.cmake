# Windows build with Debian's mingw-w64 cross compiler for 32-bit x86. See win32/CMakeLists.txt for what
# is built with it.

set(CMAKE_SYSTEM_PROCESSOR i686)
set(TESKEL_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
