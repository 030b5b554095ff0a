# What every shipped binary's link must satisfy (see toolchain-i686-mingw-shipped.cmake).
include_guard(GLOBAL)

# A threads library would bring imports that Windows 2000 lacks. Empty archives stand in for
# every name it links under, so a change that needs one fails the link with an undefined
# pthread_* reference instead of quietly adding imports. They are put back before every build,
# so the guard holds in a tree where something else has since been put in their place.
set(no_threads_dir ${CMAKE_BINARY_DIR}/no-threads-library)
add_custom_target(no_threads_library
  COMMAND ${CMAKE_COMMAND} -E make_directory ${no_threads_dir}
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/empty-archive.a ${no_threads_dir}/libpthread.a
  COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/empty-archive.a ${no_threads_dir}/libwinpthread.a
  VERBATIM)
add_link_options(-L${no_threads_dir})

# Outputs go where the scripts and tests look for them (KOVPATCH_OUTPUT_DIR: the test tree).
if(NOT KOVPATCH_OUTPUT_DIR)
  set(KOVPATCH_OUTPUT_DIR ${CMAKE_BINARY_DIR})
endif()
function(shipped_output target folder)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${KOVPATCH_OUTPUT_DIR}/${folder})
  add_dependencies(${target} no_threads_library)
endfunction()
