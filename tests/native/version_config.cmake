# Configures a project holding only cmake/Version.cmake, as a release engineer
# configures the product, and checks which versions the cache ends with.
#   cmake -DSOURCE_DIR=<checkout> -DWORK_DIR=<scratch> -P version_config.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(WRITE "${WORK_DIR}/src/CMakeLists.txt"
     "cmake_minimum_required(VERSION 3.20)\nproject(VersionOnly LANGUAGES NONE)\ninclude(\"${SOURCE_DIR}/cmake/Version.cmake\")\n")

# Each step configures the same build folder again (a fresh one where "fresh"),
# with the -D arguments given; then the file version, or the failure's words.
function(configure fresh expected)
  if(fresh)
    file(REMOVE_RECURSE "${WORK_DIR}/build")
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} -S "${WORK_DIR}/src" -B "${WORK_DIR}/build" ${ARGN}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(code EQUAL 0)
    file(STRINGS "${WORK_DIR}/build/CMakeCache.txt" line REGEX "^UNPACK_FILE_VERSION:")
    string(REGEX REPLACE "^[^=]*=" "" got "${line}")
  else()
    string(REGEX REPLACE "[ \n]+" " " got "${out}")  # the message comes wrapped
  endif()
  string(FIND "${got}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "configure ${ARGN}: expected '${expected}', got: ${got}")
  endif()
endfunction()

configure(TRUE 3.6.2.1)
configure(FALSE 3.7.0.5 -DUNPACK_PRODUCT_VERSION=3.7.0.5)  # follows the product version
configure(TRUE 1.2.3.4 -DUNPACK_PRODUCT_VERSION=3.7.0.5 -DUNPACK_FILE_VERSION=1.2.3.4)
configure(FALSE 1.2.3.4 -DUNPACK_PRODUCT_VERSION=3.8.0.0)   # set on its own: it stays
configure(TRUE "each field must be at most 65535, not 70000" -DUNPACK_PRODUCT_VERSION=3.6.0.70000)
configure(TRUE "each field must be at most 65535, not 65536" -DUNPACK_PRODUCT_VERSION=3.6.0.1 -DUNPACK_FILE_VERSION=65536.0.0.0)
configure(TRUE 3.6.0.65535 -DUNPACK_PRODUCT_VERSION=3.6.0.65535)
file(REMOVE_RECURSE "${WORK_DIR}")
