# SPDX-License-Identifier: LGPL-2.1-or-later
# What a Windows build needs beyond the compiler: spdlog, fmt and GoogleTest when the toolchain
# has none of its own, and the MinGW run-time DLLs beside the programs so that they start from
# the build folder, under Wine or on Windows.

# Programs and DLLs share one folder: Windows finds a program's DLLs beside it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY "${CMAKE_BINARY_DIR}/bin")

if(NOT CMAKE_CROSSCOMPILING)
  return()
endif()

# A cross toolchain has no spdlog or fmt: the host's headers serve, header-only. Only their two
# folders are made visible, never the host's C library headers beside them.
set(TESSARAVOLT_HOST_INCLUDE_DIR "/usr/include" CACHE PATH
    "Folder holding the host's spdlog/ and fmt/ headers, used header-only by a cross build")
set(_headers "${CMAKE_BINARY_DIR}/host-headers")
foreach(library spdlog fmt)
  if(NOT EXISTS "${TESSARAVOLT_HOST_INCLUDE_DIR}/${library}")
    message(FATAL_ERROR "No ${library} headers in ${TESSARAVOLT_HOST_INCLUDE_DIR}")
  endif()
  file(MAKE_DIRECTORY "${_headers}")
  file(CREATE_LINK "${TESSARAVOLT_HOST_INCLUDE_DIR}/${library}" "${_headers}/${library}" SYMBOLIC)
endforeach()
add_library(tessaravolt-fmt INTERFACE)
target_include_directories(tessaravolt-fmt SYSTEM INTERFACE "${_headers}")
target_compile_definitions(tessaravolt-fmt INTERFACE FMT_HEADER_ONLY)
add_library(fmt::fmt ALIAS tessaravolt-fmt)
add_library(tessaravolt-spdlog INTERFACE)
target_compile_definitions(tessaravolt-spdlog INTERFACE SPDLOG_HEADER_ONLY SPDLOG_FMT_EXTERNAL)
target_link_libraries(tessaravolt-spdlog INTERFACE fmt::fmt)
add_library(spdlog::spdlog ALIAS tessaravolt-spdlog)
set(spdlog_FOUND TRUE)
set(fmt_FOUND TRUE)

# GoogleTest from Debian's sources, built with the cross compiler.
set(TESSARAVOLT_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH
    "GoogleTest sources built for a cross build's tests")
if(TESSARAVOLT_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  # Its own CMake project defines GTest::gtest and GTest::gtest_main.
  add_subdirectory("${TESSARAVOLT_GOOGLETEST_SOURCE_DIR}" googletest EXCLUDE_FROM_ALL SYSTEM)
endif()

# pkg-config's findings are cached: a build folder that meets another prefix (the sources or the
# recipe changed) looks GLib up there again instead of keeping the old prefix's paths.
if(NOT "${TESSARAVOLT_WINDOWS_DEPS}" STREQUAL "${TESSARAVOLT_WINDOWS_DEPS_CONFIGURED}")
  unset(__pkg_config_checked_GLIB CACHE)
  get_cmake_property(_cached CACHE_VARIABLES)
  foreach(_variable IN LISTS _cached)
    if(_variable MATCHES "^pkgcfg_lib_GLIB_")
      unset(${_variable} CACHE)
    endif()
  endforeach()
  set(TESSARAVOLT_WINDOWS_DEPS_CONFIGURED "${TESSARAVOLT_WINDOWS_DEPS}" CACHE INTERNAL
      "The prefix GLib was last looked up in")
endif()

# GLib's DLLs and those of its dependencies, from scripts/build-windows-deps.sh's prefix, beside
# the programs too, and installed with them: an installation then runs as it is.
set(_dlls "")
if(TESSARAVOLT_WINDOWS_DEPS AND NOT TESSARAVOLT_CORE_ONLY)
  file(GLOB _dlls "${TESSARAVOLT_WINDOWS_DEPS}/bin/*.dll")
endif()

# The compiler's run-time DLLs, copied next to the programs.
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                  OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
    list(APPEND _dlls "${_path}")
  endif()
endforeach()
file(COPY ${_dlls} DESTINATION "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
install(FILES ${_dlls} DESTINATION ${CMAKE_INSTALL_BINDIR})
