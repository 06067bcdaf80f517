# SPDX-License-Identifier: LGPL-2.1-or-later
# Introspection data (Uca-2.0.gir, Uca-2.0.typelib) for the bundled libuca, so that Python and
# other GObject-introspection clients can drive cameras. Included from libuca/CMakeLists.txt.
#
# Sets TESSARAVOLT_UCA_TYPELIB_DIR to the build-tree folder holding the typelib (empty when off).

# The scanner links and runs a dump program against libuca, and Python does not load the
# sanitizers' runtimes, so sanitizer builds leave introspection out by default; so do cross
# builds, whose dump program the host cannot run.
if(TESSARAVOLT_SANITIZE OR CMAKE_CROSSCOMPILING)
  set(_introspection_default OFF)
else()
  set(_introspection_default ON)
endif()
option(TESSARAVOLT_INTROSPECTION "Generate Uca-2.0.gir and Uca-2.0.typelib for the bundled libuca"
       ${_introspection_default})
set(TESSARAVOLT_UCA_TYPELIB_DIR "" CACHE INTERNAL "Build-tree folder of Uca-2.0.typelib")
if(NOT TESSARAVOLT_INTROSPECTION)
  return()
endif()
if(TESSARAVOLT_SANITIZE)
  message(FATAL_ERROR "TESSARAVOLT_INTROSPECTION cannot be combined with TESSARAVOLT_SANITIZE: "
                      "the introspection dump program and Python do not load the sanitizer runtime")
endif()

find_program(G_IR_SCANNER g-ir-scanner)
find_program(G_IR_COMPILER g-ir-compiler)
pkg_check_modules(GOBJECT_INTROSPECTION gobject-introspection-1.0)
if(NOT G_IR_SCANNER OR NOT G_IR_COMPILER OR NOT GOBJECT_INTROSPECTION_FOUND)
  message(FATAL_ERROR "Introspection needs g-ir-scanner, g-ir-compiler and gobject-introspection-1.0 "
                      "(Debian: gobject-introspection libgirepository1.0-dev; scripts/install-deps.sh "
                      "installs them), or configure with -DTESSARAVOLT_INTROSPECTION=OFF")
endif()

# Everything the scanner reads, relative to libuca/: the headers, plus the sources whose doc
# comments carry the annotations. Whichever header declares the enums' *_get_type functions
# belongs here, or Uca.CameraError and the other enums lose their GTypes and error domain.
# The sources are the library's own, so a new source file cannot be forgotten here.
get_target_property(_uca_sources uca SOURCES)
set(UCA_GIR_INPUTS
    uca/uca-camera.h
    uca/uca-plugin-manager.h
    uca/uca-ring-buffer.h
    uca-enums.h
    ${_uca_sources})

set(_gir "${CMAKE_CURRENT_BINARY_DIR}/Uca-2.0.gir")
set(_typelib_dir "${CMAKE_CURRENT_BINARY_DIR}/girepository-1.0")
list(TRANSFORM UCA_GIR_INPUTS PREPEND "${CMAKE_CURRENT_SOURCE_DIR}/" OUTPUT_VARIABLE _gir_input_paths)
list(TRANSFORM GLIB_INCLUDE_DIRS PREPEND "-I" OUTPUT_VARIABLE _glib_include_flags)

add_custom_command(
    OUTPUT "${_gir}"
    COMMAND ${CMAKE_COMMAND} -E env "CC=${CMAKE_C_COMPILER}" "CFLAGS=" "LDFLAGS="
            ${G_IR_SCANNER}
            --quiet --warn-all --warn-error --no-libtool
            --namespace=Uca --nsversion=2.0
            --identifier-prefix=Uca --symbol-prefix=uca
            --include=GObject-2.0
            --pkg-export=libuca
            --c-include=uca/uca-camera.h --c-include=uca/uca-plugin-manager.h
            --c-include=uca/uca-ring-buffer.h
            --library=uca "--library-path=$<TARGET_FILE_DIR:uca>"
            "-I${CMAKE_CURRENT_SOURCE_DIR}" ${_glib_include_flags}
            --output "${_gir}"
            ${_gir_input_paths}
    DEPENDS uca ${_gir_input_paths}
    WORKING_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}"
    COMMENT "Scanning libuca for Uca-2.0.gir"
    COMMAND_EXPAND_LISTS
    VERBATIM)

# The build tree's typelib names libuca by its full path, so build-tree clients need no
# LD_LIBRARY_PATH; the installed one names the soname written by the scanner.
add_custom_command(
    OUTPUT "${_typelib_dir}/Uca-2.0.typelib" "${CMAKE_CURRENT_BINARY_DIR}/Uca-2.0.typelib"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${_typelib_dir}"
    COMMAND ${G_IR_COMPILER} "--shared-library=$<TARGET_FILE:uca>"
            --output "${_typelib_dir}/Uca-2.0.typelib" "${_gir}"
    COMMAND ${G_IR_COMPILER} --output "${CMAKE_CURRENT_BINARY_DIR}/Uca-2.0.typelib" "${_gir}"
    DEPENDS "${_gir}"
    COMMENT "Compiling Uca-2.0.typelib"
    VERBATIM)
add_custom_target(uca-introspection ALL
    DEPENDS "${_typelib_dir}/Uca-2.0.typelib" "${CMAKE_CURRENT_BINARY_DIR}/Uca-2.0.typelib")

install(FILES "${_gir}" DESTINATION ${CMAKE_INSTALL_DATADIR}/gir-1.0 COMPONENT libuca)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/Uca-2.0.typelib"
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/girepository-1.0 COMPONENT libuca)
set(TESSARAVOLT_UCA_TYPELIB_DIR "${_typelib_dir}" CACHE INTERNAL "Build-tree folder of Uca-2.0.typelib")
