# Cross build for the handheld's processor (32-bit little-endian ARM, hard-float) with Debian's
# arm-linux-gnueabihf compiler and the :armhf libraries; programs run under qemu-arm.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TESKEL_TRIPLET arm-linux-gnueabihf)
set(CMAKE_LIBRARY_ARCHITECTURE ${TESKEL_TRIPLET})

set(CMAKE_C_COMPILER ${TESKEL_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TESKEL_TRIPLET}-g++)

# Debian's cross compiler already looks in the multiarch folders of "/" (the :armhf packages) and
# in /usr/arm-linux-gnueabihf (its own runtime), so the system root is "/". The host's own
# multiarch folders are ignored so that no x86-64 library or package file can slip in.
set(CMAKE_SYSROOT /)
set(CMAKE_FIND_ROOT_PATH /usr/${TESKEL_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/include/x86_64-linux-gnu
                      /usr/lib/x86_64-linux-gnu/cmake)

# pkg-config answers for the target: Debian's wrapper reads only the armhf .pc files.
find_program(TESKEL_PKG_CONFIG ${TESKEL_TRIPLET}-pkg-config)
if(TESKEL_PKG_CONFIG)
  set(PKG_CONFIG_EXECUTABLE ${TESKEL_PKG_CONFIG} CACHE FILEPATH "pkg-config for the target")
endif()

# Test binaries, gtest discovery and programs started by tests run under user-mode emulation.
# The loader and the C runtime must come from one glibc build: those of the :armhf packages in
# "/" (libc6:armhf), not the cross compiler's copy in /usr/arm-linux-gnueabihf, whose older
# loader next to the newer libc.so.6 crashes every fork() child. Hence "-L /", not that folder.
find_program(TESKEL_QEMU_ARM qemu-arm REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TESKEL_QEMU_ARM} -L /)
