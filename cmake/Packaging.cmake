# The Debian package vci-ident_<version>_<arch>.deb: everything the install
# rules place (the service, the tools, the client library with its headers,
# pkg-config and CMake files, the systemd unit, the default configuration).
# scripts/package.sh builds it (cpack in a configured build folder).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vci-ident)
set(CPACK_PACKAGE_VENDOR "VCI identification service developers")
set(CPACK_PACKAGE_CONTACT "VCI identification service developers <vci-ident@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "VCI identification service, its tools and client library")
set(CPACK_PACKAGE_DESCRIPTION "Finds the vehicle communication interfaces (VCIs) reachable from this PC and
keeps client applications told about them: the service vci-identd, the command vci-ident, the
provisioning tool vci-ident-tool, the VCI simulator vci-sim, and libvci-ident-client for applications.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
