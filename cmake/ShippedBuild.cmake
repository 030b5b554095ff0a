# The shipped binaries, built by a sub-build of this source tree with the shipped toolchain, and
# imported here under their own target names (kelvrim, KOVPatch, sphost), so tests name them as
# if they were built in this tree. They land where a one-tree build would put them.
include_guard(GLOBAL)
include(ExternalProject)

# SHIPPED_BINARIES and SHIPPED_BINARY_FILES come from ShippedBinaries.cmake.
set(shipped_files ${SHIPPED_BINARY_FILES})
list(TRANSFORM shipped_files PREPEND ${CMAKE_BINARY_DIR}/)

# The shipped build's own tree; its stand-ins for a threads library are in no-threads-library
# (see add_shipped_binaries() in ShippedBinaries.cmake).
set(SHIPPED_BUILD_DIR ${CMAKE_BINARY_DIR}/shipped)

ExternalProject_Add(shipped
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${SHIPPED_BUILD_DIR}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/toolchain-i686-mingw-shipped.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DKOVPATCH_SHIPPED=ON
    -DKOVPATCH_OUTPUT_DIR=${CMAKE_BINARY_DIR}
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${shipped_files}
  INSTALL_COMMAND "")

# Nothing links the module's import library: hosts and tests load it by name.
add_library(kelvrim UNKNOWN IMPORTED GLOBAL)
add_executable(KOVPatch IMPORTED GLOBAL)
add_executable(sphost IMPORTED GLOBAL)
foreach(name file IN ZIP_LISTS SHIPPED_BINARIES shipped_files)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION ${file})
  add_dependencies(${name} shipped)
endforeach()
