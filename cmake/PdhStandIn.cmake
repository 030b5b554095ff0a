# use_pdh_stand_in(<target> [TESTS <test>...])
#
# Keeps the counter-library stand-in (tests/fixtures/pdh) beside <target>'s output and has the
# named tests (by default the test named <target>, if there is one) load it in place of Wine's
# own pdh.dll. Call it in the folder that adds those tests. A program that the
# tests do not start themselves, such as a service, gets it through Wine's per-program setting
# instead: see tests/fixtures/pdh/README.md.
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/CopyBeside.cmake)

function(use_pdh_stand_in target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "" "TESTS")
  copy_beside(${target} pdh_stand_in)
  set(tests ${arg_TESTS})
  if(NOT tests AND TEST ${target})
    set(tests ${target})
  endif()
  foreach(test IN LISTS tests)
    # scripts/wine-env appends this to WINEDLLOVERRIDES.
    set_property(TEST ${test} APPEND PROPERTY ENVIRONMENT "WINEDLLOVERRIDES_EXTRA=pdh=n")
  endforeach()
endfunction()
