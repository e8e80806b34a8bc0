# The package's own version: the product version in the version block, which the
# upgrade compares with the installed host's "Version". Release engineers set it
# when configuring: cmake --preset windows -DUNPACK_PRODUCT_VERSION=3.6.2.1
set(UNPACK_PRODUCT_VERSION "3.6.2.1" CACHE STRING "Product version of the package (four dotted numbers)")

# The file version follows the product version unless it was set on its own. A
# cached value equal to the one last taken from the product version was not set
# on its own, so configuring again with another product version moves it too.
if(NOT DEFINED UNPACK_FILE_VERSION OR "${UNPACK_FILE_VERSION}" STREQUAL "${UNPACK_FILE_VERSION_FOLLOWED}")
  set(UNPACK_FILE_VERSION "${UNPACK_PRODUCT_VERSION}" CACHE STRING
      "File version of UnPackFile.exe (four dotted numbers; follows UNPACK_PRODUCT_VERSION unless set)" FORCE)
  set(UNPACK_FILE_VERSION_FOLLOWED "${UNPACK_PRODUCT_VERSION}" CACHE INTERNAL "")
endif()

# Each field is a 16-bit half of the version block's numbers: a larger one
# would be cut silently (70000 becomes 4464), so it is refused here.
foreach(kind PRODUCT FILE)
  set(value "${UNPACK_${kind}_VERSION}")
  if(NOT value MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "UNPACK_${kind}_VERSION must be four dotted numbers, not '${value}'")
  endif()
  string(REPLACE "." ";" fields "${value}")
  foreach(field ${fields})
    string(LENGTH "${field}" digits)
    if(digits GREATER 5 OR field GREATER 65535)
      message(FATAL_ERROR "UNPACK_${kind}_VERSION '${value}': each field must be at most 65535, not ${field}")
    endif()
  endforeach()
endforeach()
