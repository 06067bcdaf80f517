# SPDX-License-Identifier: LGPL-2.1-or-later
# The warnings every target of this project is built with; the tree stays free of them.
set(TESSARAVOLT_C_WARNINGS
    -Wall -Wextra -Wshadow -Wformat=2 -Wundef -Wpointer-arith -Wcast-align
    -Wmissing-declarations -Wstrict-prototypes -Wmissing-prototypes)
set(TESSARAVOLT_CXX_WARNINGS
    -Wall -Wextra -Wshadow -Wformat=2 -Wundef -Wpointer-arith -Wcast-align
    -Wmissing-declarations -Wnon-virtual-dtor -Woverloaded-virtual)
# clang checks the lock annotations of the driver and the simulated detector (common/mutex.h):
# what a comment says a mutex guards, the compiler enforces.
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  list(APPEND TESSARAVOLT_CXX_WARNINGS -Wthread-safety)
endif()

# CI turns warnings into errors, so that a warning cannot land unnoticed.
option(TESSARAVOLT_WERROR "Treat the project's warnings as errors" OFF)
if(TESSARAVOLT_WERROR)
  list(APPEND TESSARAVOLT_C_WARNINGS -Werror)
  list(APPEND TESSARAVOLT_CXX_WARNINGS -Werror)
endif()

function(tessaravolt_warnings target)
  target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:C>:${TESSARAVOLT_C_WARNINGS}>
      $<$<COMPILE_LANGUAGE:CXX>:${TESSARAVOLT_CXX_WARNINGS}>)
endfunction()
