# The driver's sources, shared by the host build (CMakeLists.txt here) and the Windows build of
# Teskel.dll (win32/driver).
set(TESKEL_DRIVER_SOURCES
  core/miniport.cpp
  core/interrupt.cpp
  core/timer.cpp
  core/status.cpp
  core/log.cpp
  controller/port.cpp
  controller/bringup.cpp
  controller/station.cpp
  controller/maintenance.cpp
  framepath/transmit.cpp
  framepath/receive.cpp
  oid/requests.cpp
  oid/private.cpp
  config/parameters.cpp
  config/install.cpp)
