# copy_beside(<target> <built-target>...)
#
# Keeps a copy of each built target's file beside <target>'s file, copied again whenever that
# file is rebuilt, even when <target> itself is not (a post-build step of <target> would leave a
# stale copy behind).
include_guard(GLOBAL)

function(copy_beside target)
  get_target_property(dir ${target} BINARY_DIR)
  foreach(built IN LISTS ARGN)
    set(stamp ${dir}/${target}_${built}.copied)
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:${built}> $<TARGET_FILE_DIR:${target}>
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${built} $<TARGET_FILE:${built}>
      VERBATIM)
    add_custom_target(${target}_with_${built} ALL DEPENDS ${stamp})
    # A shipped binary is imported from the sub-build: order after the build that makes it.
    add_dependencies(${target}_with_${built} ${built})
    add_dependencies(${target} ${target}_with_${built})
  endforeach()
endfunction()
