# SPDX-License-Identifier: LGPL-2.1-or-later
# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, which gives
# std::thread, std::mutex and std::condition_variable):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# Test programs run under Wine when it is installed. GLib for MinGW-w64 comes from
# scripts/build-windows-deps.sh, whose prefix is found here by itself (TESSARAVOLT_WINDOWS_DEPS
# names another); without it only what needs no GLib can be built.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TESSARAVOLT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TESSARAVOLT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TESSARAVOLT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TESSARAVOLT_MINGW_TRIPLET}-windres)

# Libraries and headers for the target only; programs (pkg-config, wine) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TESSARAVOLT_MINGW_TRIPLET})

# The link the dependency script leaves beside the prefixes it builds, in its cache folder.
if(NOT TESSARAVOLT_WINDOWS_DEPS)
  foreach(_cache "$ENV{TESSARAVOLT_CACHE}" /var/cache/tessaravolt "$ENV{HOME}/.cache/tessaravolt")
    if(_cache AND EXISTS "${_cache}/windows-deps-current/.complete")
      file(REAL_PATH "${_cache}/windows-deps-current" TESSARAVOLT_WINDOWS_DEPS)
      break()
    endif()
  endforeach()
endif()
set(TESSARAVOLT_WINDOWS_DEPS "${TESSARAVOLT_WINDOWS_DEPS}" CACHE PATH
    "Prefix of GLib and its dependencies built for MinGW-w64 (scripts/build-windows-deps.sh)")
if(TESSARAVOLT_WINDOWS_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH "${TESSARAVOLT_WINDOWS_DEPS}")
  # pkg-config sees the prefix's .pc files only, never the host's.
  set(ENV{PKG_CONFIG_LIBDIR} "${TESSARAVOLT_WINDOWS_DEPS}/lib/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TESSARAVOLT_WINE NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(TESSARAVOLT_WINE NAMES wine64 wine)
if(TESSARAVOLT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TESSARAVOLT_WINE}")
endif()
