# The package's own version: the product version in the version block, which the
# upgrade compares with the installed host's "Version", and the version of the
# upkpack built beside it. It comes from the file VERSION at the top of the
# checkout, so that both Windows presets and the tool of one commit carry the
# same number and a rebuild of that commit gets it back. A build folder may
# still be given another one: cmake --preset windows -DUNPACK_PRODUCT_VERSION=3.6.2.1
set(UNPACK_VERSION_FILE "${CMAKE_CURRENT_LIST_DIR}/../VERSION")
file(STRINGS "${UNPACK_VERSION_FILE}" version_from_file LIMIT_COUNT 1)
string(STRIP "${version_from_file}" version_from_file)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${UNPACK_VERSION_FILE}")

# A cached value equal to the one last taken from the file (or from the product
# version) was not set on its own, so it moves when its source moves. A build
# folder from before the file holds the file's number without that record.
if(NOT DEFINED UNPACK_PRODUCT_VERSION_FOLLOWED)
  set(UNPACK_PRODUCT_VERSION_FOLLOWED "${version_from_file}" CACHE INTERNAL "")
endif()
if(NOT DEFINED UNPACK_PRODUCT_VERSION OR "${UNPACK_PRODUCT_VERSION}" STREQUAL "${UNPACK_PRODUCT_VERSION_FOLLOWED}")
  set(UNPACK_PRODUCT_VERSION "${version_from_file}" CACHE STRING
      "Product version of the package (four dotted numbers; from the file VERSION unless set)" FORCE)
  set(UNPACK_PRODUCT_VERSION_FOLLOWED "${version_from_file}" CACHE INTERNAL "")
endif()
if(NOT DEFINED UNPACK_FILE_VERSION OR "${UNPACK_FILE_VERSION}" STREQUAL "${UNPACK_FILE_VERSION_FOLLOWED}")
  set(UNPACK_FILE_VERSION "${UNPACK_PRODUCT_VERSION}" CACHE STRING
      "File version of UnPackFile.exe (four dotted numbers; follows UNPACK_PRODUCT_VERSION unless set)" FORCE)
  set(UNPACK_FILE_VERSION_FOLLOWED "${UNPACK_PRODUCT_VERSION}" CACHE INTERNAL "")
endif()

# Each field is a 16-bit half of the version block's numbers: a larger one
# would be cut silently (70000 becomes 4464), so it is refused here. The
# resource compiler reads a field with a leading zero as octal (010 is 8, and
# 08 only warns), so the version block would differ from the version strings.
foreach(kind PRODUCT FILE)
  set(value "${UNPACK_${kind}_VERSION}")
  if(NOT value MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "UNPACK_${kind}_VERSION must be four dotted numbers, not '${value}'")
  endif()
  string(REPLACE "." ";" fields "${value}")
  foreach(field ${fields})
    string(LENGTH "${field}" digits)
    if(field MATCHES "^0[0-9]")
      message(FATAL_ERROR "UNPACK_${kind}_VERSION '${value}': a field must not start with 0 (the resource "
                          "compiler would read it as octal), not ${field}")
    endif()
    if(digits GREATER 5 OR field GREATER 65535)
      message(FATAL_ERROR "UNPACK_${kind}_VERSION '${value}': each field must be at most 65535, not ${field}")
    endif()
  endforeach()
endforeach()
