# The shipped binaries, built by a sub-build of this source tree with the shipped toolchain, and
# imported here under their own target names (kelvrim, KOVPatch, sphost), so tests name them as
# if they were built in this tree. They land where a one-tree build would put them.
include_guard(GLOBAL)
include(ExternalProject)

set(shipped_files
  ${CMAKE_BINARY_DIR}/module/kelvrim.dll
  ${CMAKE_BINARY_DIR}/installer/KOVPatch.exe
  ${CMAKE_BINARY_DIR}/tools/sphost/sphost.exe)

ExternalProject_Add(shipped
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${CMAKE_BINARY_DIR}/shipped
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-i686-mingw-shipped.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DKOVPATCH_SHIPPED=ON
    -DKOVPATCH_OUTPUT_DIR=${CMAKE_BINARY_DIR}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${shipped_files}
  INSTALL_COMMAND "")

# Where the shipped build keeps its stand-ins for a threads library (see ShippedTargets.cmake).
set(SHIPPED_NO_THREADS_DIR ${CMAKE_BINARY_DIR}/shipped/no-threads-library)

foreach(spec "kelvrim;SHARED;module/kelvrim.dll" "KOVPatch;EXECUTABLE;installer/KOVPatch.exe"
             "sphost;EXECUTABLE;tools/sphost/sphost.exe")
  list(GET spec 0 name)
  list(GET spec 1 kind)
  list(GET spec 2 file)
  if(kind STREQUAL "SHARED")
    add_library(${name} SHARED IMPORTED GLOBAL)
    set_target_properties(${name} PROPERTIES IMPORTED_IMPLIB ${CMAKE_BINARY_DIR}/shipped/module/libkelvrim.dll.a)
  else()
    add_executable(${name} IMPORTED GLOBAL)
  endif()
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION ${CMAKE_BINARY_DIR}/${file})
  add_dependencies(${name} shipped)
endforeach()
