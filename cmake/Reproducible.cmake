# The Windows executables are built to the same bytes from the same commit,
# wherever and whenever they are built, so that anyone can rebuild a release
# and compare it with what shipped.
#
# The one date in a PE image is its link time. The linker takes it from
# SOURCE_DATE_EPOCH: the value from the environment at configure time when set,
# else the last commit's time, else (no git checkout) a fixed date. The
# configuration runs again whenever HEAD moves, so a build after a commit links
# with that commit's time, as a rebuild of the commit does.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(UNPACK_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE UNPACK_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_result ERROR_QUIET)
  if(NOT git_result EQUAL 0 OR NOT UNPACK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(UNPACK_SOURCE_DATE_EPOCH 946684800)  # 2000-01-01 00:00 UTC, as the cabinet's file times
  else()
    foreach(what HEAD logs/HEAD)
      execute_process(COMMAND git -C "${PROJECT_SOURCE_DIR}" rev-parse --path-format=absolute --git-path ${what}
                      OUTPUT_VARIABLE git_file OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
      if(EXISTS "${git_file}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_file}")
      endif()
    endforeach()
  endif()
endif()
if(NOT UNPACK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970, not '${UNPACK_SOURCE_DATE_EPOCH}'")
endif()
message(STATUS "PE link time (SOURCE_DATE_EPOCH): ${UNPACK_SOURCE_DATE_EPOCH}")
set(CMAKE_C_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${UNPACK_SOURCE_DATE_EPOCH})
set(CMAKE_CXX_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${UNPACK_SOURCE_DATE_EPOCH})
# __FILE__ (in an assert, say) names sources relative to the checkout, not
# where it lies on the build machine.
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=)
