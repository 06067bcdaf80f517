# SPDX-License-Identifier: LGPL-2.1-or-later
# TESSARAVOLT_SANITIZE=address gives AddressSanitizer with UndefinedBehaviorSanitizer,
# TESSARAVOLT_SANITIZE=thread gives ThreadSanitizer; the whole build is instrumented.
set(TESSARAVOLT_SANITIZE "" CACHE STRING "Sanitizer build: empty, address or thread")
set_property(CACHE TESSARAVOLT_SANITIZE PROPERTY STRINGS "" address thread)

if(TESSARAVOLT_SANITIZE STREQUAL "address")
  set(_sanitize_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(TESSARAVOLT_SANITIZE STREQUAL "thread")
  set(_sanitize_flags -fsanitize=thread -fno-omit-frame-pointer)
elseif(NOT TESSARAVOLT_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TESSARAVOLT_SANITIZE must be empty, address or thread")
endif()
if(_sanitize_flags)
  add_compile_options(${_sanitize_flags})
  add_link_options(${_sanitize_flags})
endif()
