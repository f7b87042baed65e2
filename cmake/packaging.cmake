# The publisher as a Debian package: `cpack` in a native build folder (scripts/make-deb.sh) makes
# orvane-publisher_<version>_amd64.deb with the stripped program, its unit, its logrotate entry, an
# example manifest and the load tool beside it (load/CMakeLists.txt); dpkg-shlibdeps finds the run-time
# libraries they depend on.
if(WIN32 OR NOT TARGET orvane-publisher)
    return()
endif()
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane-publisher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Talvik Information")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Orvane package publisher: the check and download services installers use")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Orvane developers <dev@orvane.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
# The logrotate entry is the deployer's to adjust: an upgrade must not overwrite it silently.
file(WRITE ${CMAKE_BINARY_DIR}/deb/conffiles "/etc/logrotate.d/orvane-publisher\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/deb/conffiles)
include(CPack)
