# SPDX-License-Identifier: LGPL-2.1-or-later
# uca-record-platform-check: uca-record's system modules against the promises their headers
# make. Included by this folder and, in a Windows cross build (which builds no tools), by the
# top level: the Windows files need nothing but the C runtime, and the check runs under Wine.
if(WIN32)
  set(_record_system win32)
else()
  set(_record_system posix)
endif()
add_executable(uca-record-platform-check
    ${CMAKE_CURRENT_LIST_DIR}/platform-check.c
    ${CMAKE_CURRENT_LIST_DIR}/platform-${_record_system}.c
    ${CMAKE_CURRENT_LIST_DIR}/sync-${_record_system}.c)
tessaravolt_warnings(uca-record-platform-check)
if(NOT WIN32)
  target_link_libraries(uca-record-platform-check PRIVATE Threads::Threads)
endif()
add_test(NAME uca-record-platform-check COMMAND uca-record-platform-check
         WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}")
set_tests_properties(uca-record-platform-check PROPERTIES TIMEOUT 60 LABELS record)
