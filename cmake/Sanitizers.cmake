# SPDX-License-Identifier: LGPL-2.1-or-later
# TESSARAVOLT_SANITIZE=address gives AddressSanitizer with UndefinedBehaviorSanitizer,
# TESSARAVOLT_SANITIZE=thread gives ThreadSanitizer; the whole build is instrumented.
# TESSARAVOLT_SANITIZE=fuzzer (clang only) adds libFuzzer's coverage to AddressSanitizer with
# UndefinedBehaviorSanitizer everywhere, so that the fuzz targets of tests/fuzz see the edges of
# the libraries they load too; only those targets link libFuzzer itself (TESSARAVOLT_FUZZER_LINK).
set(TESSARAVOLT_SANITIZE "" CACHE STRING "Sanitizer build: empty, address, thread or fuzzer")
set_property(CACHE TESSARAVOLT_SANITIZE PROPERTY STRINGS "" address thread fuzzer)

if(TESSARAVOLT_SANITIZE STREQUAL "address")
  set(_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(TESSARAVOLT_SANITIZE STREQUAL "thread")
  set(_sanitize_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(TESSARAVOLT_SANITIZE STREQUAL "fuzzer")
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "TESSARAVOLT_SANITIZE=fuzzer needs clang: "
                        "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
  endif()
  set(_sanitize_flags -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  set(TESSARAVOLT_FUZZER_LINK -fsanitize=fuzzer)
elseif(NOT TESSARAVOLT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TESSARAVOLT_SANITIZE must be empty, address, thread or fuzzer")
endif()
if(_sanitize_flags)
  add_compile_options(${_sanitize_flags})
  add_link_options(${_sanitize_flags})
endif()
