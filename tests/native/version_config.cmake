# Configures a project holding only cmake/Version.cmake and a VERSION file, as a
# release engineer configures the product, and checks which versions the cache
# ends with.
#   cmake -DSOURCE_DIR=<checkout> -DWORK_DIR=<scratch> -P version_config.cmake
file(REMOVE_RECURSE "${WORK_DIR}")
file(COPY "${SOURCE_DIR}/cmake/Version.cmake" DESTINATION "${WORK_DIR}/src/cmake")
file(WRITE "${WORK_DIR}/src/VERSION" "3.6.2.1\n")
file(WRITE "${WORK_DIR}/src/CMakeLists.txt"
     "cmake_minimum_required(VERSION 3.20)\nproject(VersionOnly LANGUAGES NONE)\ninclude(cmake/Version.cmake)\n")

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
configure(TRUE "a field must not start with 0 (the resource compiler would read it as octal), not 010"
          -DUNPACK_PRODUCT_VERSION=3.6.2.010)
configure(TRUE "not 08" -DUNPACK_PRODUCT_VERSION=3.6.2.1 -DUNPACK_FILE_VERSION=3.6.08.1)
configure(TRUE 3.0.0.0 -DUNPACK_PRODUCT_VERSION=3.0.0.0)
# The file gives every build folder its version, and an edit moves them all.
file(WRITE "${WORK_DIR}/src/VERSION" "3.9.0.2\n")
configure(TRUE 3.9.0.2)
file(WRITE "${WORK_DIR}/src/VERSION" "3.9.0.3\n")
configure(FALSE 3.9.0.3)
file(WRITE "${WORK_DIR}/src/VERSION" "3.9.0.04\n")
configure(FALSE "not 04")
file(REMOVE_RECURSE "${WORK_DIR}")
