# The Debian package: `cpack -G DEB` in a build folder (README, "Package").
#
# CPack installs the one CMake build into a staging folder under the prefix
# /usr and packs it; no second build and no debian/ folder to keep in step
# with CMake's install rules. DESTDIR staging (CPACK_SET_DESTDIR) lets the
# install rules put the configuration into /etc (cmake/InstallService.cmake).
set(POSHARK_PACKAGE_CONTACT "poshark maintainers <maintainers@poshark.example>"
  CACHE STRING "Maintainer of the Debian package")

# cpack packs what the build made; it does not build the whole tree (tests
# included) first. `cmake --install` never builds either.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME poshark)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${POSHARK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "receipt text of point-of-sale terminals, as they print it")
set(CPACK_PACKAGE_DESCRIPTION
  "poshark follows the bytes a point-of-sale terminal sends to its receipt
printer (serial port, network printer port, or in front of a network
printer), turns them into lines of text, and keeps a searchable journal of
every receipt. `poshark serve` runs as a system service for a whole store,
with a live page, health and metrics for a browser or a monitor.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends from the libraries the programs link (dpkg-shlibdeps), and a shlibs
# file and ldconfig trigger for libposhark.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS logrotate)
# The ldconfig trigger Debian wants for a package with shared libraries.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/conffiles" "${PROJECT_SOURCE_DIR}/packaging/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
