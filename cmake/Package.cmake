# upkpack as a Debian package, for release and support engineers:
#   cpack --config build/native/CPackConfig.cmake -G DEB
# makes build/native/upkpack_<product version>_amd64.deb of what the native
# build installs (the tool in /usr/bin, its manual page), its dependencies
# taken by dpkg-shlibdeps from the libraries the tool links.
set(UPKPACK_MAINTAINER "Kestrune Ostrel release engineering <release-engineering@kestrune.invalid>"
    CACHE STRING "The Debian package's maintainer: name <address>")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME upkpack)
set(CPACK_PACKAGE_VERSION "${UNPACK_PRODUCT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Kestrune Inc.")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs, checks and unpacks Kestrune Ostrel upgrade packages")
set(CPACK_PACKAGE_DESCRIPTION "upkpack packs a host's files behind UnPackFile.exe, inspects and extracts \
packaged files (their layout, SHA-256, cabinets and Authenticode signature) and reads the unpacker's unpack.log.")
set(CPACK_PACKAGE_DIRECTORY "${CMAKE_BINARY_DIR}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${UPKPACK_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
