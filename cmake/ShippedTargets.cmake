# What every shipped binary's link must satisfy (see toolchain-i686-mingw-shipped.cmake).
include_guard(GLOBAL)

# Outputs go where the scripts and tests look for them (KOVPATCH_OUTPUT_DIR: the test tree).
if(NOT KOVPATCH_OUTPUT_DIR)
  set(KOVPATCH_OUTPUT_DIR ${CMAKE_BINARY_DIR})
endif()
function(shipped_output target folder)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KOVPATCH_OUTPUT_DIR}/${folder})
endfunction()

# A threads library would bring imports that Windows 2000 lacks. Empty archives stand in for
# every name it links under, so a change that needs one fails the link with an undefined
# pthread_* reference instead of quietly adding imports.
set(no_threads_dir ${CMAKE_BINARY_DIR}/no-threads-library)
foreach(lib pthread winpthread)
  if(NOT EXISTS ${no_threads_dir}/lib${lib}.a)
    file(WRITE ${no_threads_dir}/lib${lib}.a "!<arch>\n")
  endif()
endforeach()
add_link_options(-L${no_threads_dir})
