# SPDX-License-Identifier: LGPL-2.1-or-later
# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which gives
# std::thread, std::mutex and std::condition_variable):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Test programs run under Wine when it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARAVOLT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARAVOLT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARAVOLT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARAVOLT_MINGW_TRIPLET}-windres)

# Libraries and headers for the target only; programs (pkg-config, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSARAVOLT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TESSARAVOLT_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(TESSARAVOLT_WINE NAMES wine64 wine)
if(TESSARAVOLT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TESSARAVOLT_WINE}")
endif()
