# Pemblo's sources apart from its resources, shared by the host build (CMakeLists.txt here) and
# the Windows build of Pemblo.exe (win32/CMakeLists.txt).
set(PEMBLO_SOURCES
  winmain.cpp
  settings.cpp
  status_page.cpp
  config_page.cpp
  encryption_page.cpp
  about_page.cpp)
