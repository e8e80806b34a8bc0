# Builds UnPackFile.exe (the x86-64 build, which this host can also run) twice
# from this checkout, in two scratch folders of different names, one after the
# other, and checks that the two images are the same bytes, that their link
# time is the commit's (or SOURCE_DATE_EPOCH's), and that neither names the
# checkout, the build folder or the host.
#   cmake -DSOURCE_DIR=<checkout> -DWORK_DIR=<scratch> -P reproducible_build.cmake
#
# A compiler cache keeps this short: both folders lie at the same depth, so
# with CCACHE_BASEDIR the second build's compiles are the first's. The links,
# where the date and paths would enter, always run.
file(REMOVE_RECURSE "${WORK_DIR}")
set(launcher "")
find_program(CCACHE ccache)
if(CCACHE AND NOT DEFINED ENV{CMAKE_CXX_COMPILER_LAUNCHER})
  set(launcher -DCMAKE_C_COMPILER_LAUNCHER=${CCACHE} -DCMAKE_CXX_COMPILER_LAUNCHER=${CCACHE})
endif()
if(NOT DEFINED ENV{CCACHE_BASEDIR})
  set(ENV{CCACHE_BASEDIR} "${SOURCE_DIR}")
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(expected_time "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct OUTPUT_VARIABLE expected_time
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
cmake_host_system_information(RESULT host QUERY HOSTNAME)

set(images "")
foreach(folder first-build build-two)
  set(build "${WORK_DIR}/${folder}")
  foreach(step "-S;${SOURCE_DIR};-B;${build};-G;Ninja;-DCMAKE_BUILD_TYPE=Release;-DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/mingw-x86_64.cmake;${launcher}"
               "--build;${build};--target;UnPackFile")
    execute_process(COMMAND ${CMAKE_COMMAND} ${step} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT code EQUAL 0)
      message(FATAL_ERROR "cmake ${step} failed:\n${out}")
    endif()
  endforeach()
  set(image "${build}/app/UnPackFile.exe")
  list(APPEND images "${image}")
  # e_lfanew (at 60) + 8, then the link time there; both little-endian.
  set(stamp 60)
  foreach(add 8 0)
    file(READ "${image}" stamp OFFSET ${stamp} LIMIT 4 HEX)
    string(REGEX REPLACE "(..)(..)(..)(..)" "\\4\\3\\2\\1" stamp "${stamp}")
    math(EXPR stamp "0x${stamp} + ${add}")
  endforeach()
  if(NOT stamp EQUAL expected_time)
    message(FATAL_ERROR "${image}: link time ${stamp}, not the commit's ${expected_time}")
  endif()
  file(STRINGS "${image}" texts)
  foreach(leak "${SOURCE_DIR}" "${WORK_DIR}" "${folder}" "${host}")
    string(FIND "${texts}" "${leak}" found)
    if(NOT found EQUAL -1)
      message(FATAL_ERROR "${image} names '${leak}'")
    endif()
  endforeach()
  # Whole seconds apart, so that a build's own clock would show.
  execute_process(COMMAND ${CMAKE_COMMAND} -E sleep 1.1)
endforeach()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${images} RESULT_VARIABLE differ)
if(NOT differ EQUAL 0)
  message(FATAL_ERROR "the two builds differ: ${images}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
