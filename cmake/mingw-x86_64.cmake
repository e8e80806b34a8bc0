# Cross-compiles the x86-64 build of the same sources. Releases ship the 32-bit
# build (mingw-i686.cmake); this one lets the whole suite run on hosts that
# cannot execute 32-bit x86 code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
