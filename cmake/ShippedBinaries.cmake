# How each shipped binary is made: kelvrim.dll, KOVPatch.exe (carrying the module) and sphost.exe,
# from the code their folders define (kelvrim_core, kovpatch_core and kovpatch_app, sphost_code).
# Both trees compile that code with product_code(); only the shipped sub-build, with the shipped
# toolchain, links the binaries (add_shipped_binaries()).
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/CopyBeside.cmake)

# The shipped binaries and where each one's file lands below a build tree: the one list that
# the sub-build and the tree that imports its binaries (ShippedBuild.cmake) both read.
set(SHIPPED_BINARIES kelvrim KOVPatch sphost)
set(SHIPPED_BINARY_FILES module/kelvrim.dll installer/KOVPatch.exe tools/sphost/sphost.exe)

# The product's code throws and catches nothing and asks no types at run time: without these the
# runtime's unwinder and demangler come along. Where the tree lies leaves no trace in the code.
function(product_code target)
  target_compile_options(${target} PRIVATE -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffile-prefix-map=${PROJECT_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=.)
endfunction()

# The module KOVPatch.exe carries: the one built here, or a file given instead (a release carries
# the module once it is signed).
set(KOVPATCH_CARRIED_MODULE "" CACHE FILEPATH "The module KOVPatch.exe carries; empty: the one built here")

function(add_shipped_binaries)
  # Where the scripts and tests look for them: the test tree (KOVPATCH_OUTPUT_DIR), in the
  # folders a one-tree build would use.
  if(NOT KOVPATCH_OUTPUT_DIR)
    set(KOVPATCH_OUTPUT_DIR ${CMAKE_BINARY_DIR})
  endif()

  # A threads library would bring imports that Windows 2000 lacks. Empty archives stand in for
  # every name it links under, so a change that needs one fails the link with an undefined
  # pthread_* reference instead of quietly adding imports. They are put back before every build,
  # so the guard holds in a tree where something else has since been put in their place.
  set(no_threads_dir ${CMAKE_BINARY_DIR}/no-threads-library)
  add_custom_target(no_threads_library
    COMMAND ${CMAKE_COMMAND} -E make_directory ${no_threads_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/empty-archive.a ${no_threads_dir}/libpthread.a
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/cmake/empty-archive.a ${no_threads_dir}/libwinpthread.a
    VERBATIM)

  # The version records' numbers and the manifest, from VERSION.
  set(generated ${CMAKE_BINARY_DIR}/generated)
  set(KOVPATCH_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
  set(KOVPATCH_VERSION_MINOR ${PROJECT_VERSION_MINOR})
  set(KOVPATCH_VERSION_PATCH ${PROJECT_VERSION_PATCH})
  set(KOVPATCH_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
  set(KOVPATCH_VERSION ${PROJECT_VERSION})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.h.in ${generated}/version.h @ONLY)
  configure_file(${PROJECT_SOURCE_DIR}/installer/resources/KOVPatch.exe.manifest.in
                 ${generated}/KOVPatch.exe.manifest @ONLY)

  # kelvrim.dll: file and export directory both carry that name; exports under plain names.
  # Marked for the GUI subsystem, as Windows' own DLLs are.
  add_library(kelvrim SHARED ${PROJECT_SOURCE_DIR}/module/dll_main.cpp ${PROJECT_SOURCE_DIR}/module/kelvrim.def
                             ${PROJECT_SOURCE_DIR}/module/kelvrim.rc)
  set_target_properties(kelvrim PROPERTIES PREFIX "" OUTPUT_NAME kelvrim)
  target_link_libraries(kelvrim PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,kelvrim_core>")
  # A fixed preferred base: the linker would otherwise derive one from the output's path.
  target_link_options(kelvrim PRIVATE -s -mwindows -Wl,--disable-auto-image-base)

  # KOVPatch.exe: a GUI program with no console, carrying the module built here as a resource,
  # embedded again whenever the module is rebuilt.
  set(resources ${PROJECT_SOURCE_DIR}/installer/resources)
  add_executable(KOVPatch WIN32 ${resources}/kovpatch.rc)
  target_link_libraries(KOVPatch PRIVATE kovpatch_app kovpatch_core)
  target_link_options(KOVPatch PRIVATE -s)
  add_dependencies(KOVPatch kelvrim)
  set(carried ${KOVPATCH_CARRIED_MODULE})
  if(NOT carried)
    set(carried ${KOVPATCH_OUTPUT_DIR}/module/kelvrim.dll)  # the module's own output path, set below
  endif()
  set(image_dir ${CMAKE_CURRENT_BINARY_DIR}/module_image)
  file(GENERATE OUTPUT ${image_dir}/module_image.rc CONTENT "KELVRIM MODULE \"${carried}\"\n")
  target_include_directories(KOVPatch PRIVATE ${image_dir})
  set_source_files_properties(${resources}/kovpatch.rc PROPERTIES
    OBJECT_DEPENDS "${carried};${resources}/kovpatch.ico;${generated}/KOVPatch.exe.manifest")

  # sphost.exe: the console host for support staff, with the module beside it.
  add_executable(sphost $<TARGET_OBJECTS:sphost_code>)
  target_link_libraries(sphost PRIVATE kelvrim_core common_code)

  foreach(binary file IN ZIP_LISTS SHIPPED_BINARIES SHIPPED_BINARY_FILES)
    get_filename_component(folder ${file} DIRECTORY)
    set_target_properties(${binary} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KOVPATCH_OUTPUT_DIR}/${folder})
    target_include_directories(${binary} PRIVATE ${generated})
    # No link time in the file: two builds of one commit give the same bytes.
    target_link_options(${binary} PRIVATE -L${no_threads_dir} -Wl,--no-insert-timestamp)
    # The marks a scanner checks first: loaded anywhere, data never run, and (the code registers
    # no SEH handler of its own, which the Windows 2000 check makes sure of) no handler run at all.
    target_link_options(${binary} PRIVATE -Wl,--dynamicbase,--nxcompat,--no-seh)
    add_dependencies(${binary} no_threads_library)
    # The header's checksum, which signed files and drivers are checked against, is the linker's
    # own: it computes it as the system does (the test shipped_checksums_are_right reads it).
  endforeach()
  copy_beside(sphost kelvrim)
endfunction()
