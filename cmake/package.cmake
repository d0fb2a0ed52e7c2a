# The Debian package (cpack -G DEB in the build folder): the installed layout under /usr, the
# library packages that the plug-ins need found by dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME kernova)
set(CPACK_PACKAGE_VERSION 0.1.0)
set(CPACK_PACKAGE_CONTACT "Kernova developers <kernova@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Console audio converter with decoder and encoder plug-ins")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Only what the install rules name: no test programs or test plug-ins.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};ALL;/")
include(CPack)
