# The Debian package: `cpack -G DEB` in the build directory.  It holds what
# `cmake --install` installs, under /usr, with the manual pages compressed as
# Debian expects.

set(TESSEL_PACKAGE_MAINTAINER "tessel developers <tessel-developers@example.org>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME tessel)
set(CPACK_PACKAGE_VENDOR "the tessel developers")
set(CPACK_PACKAGE_CONTACT "${TESSEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "store files whole in one simple archive, list and test it")
set(CPACK_PACKAGE_DESCRIPTION [[
tessel writes one archive holding, for each file given on the command
line or in a list file, its name without directories, its size, its
bytes and a 16-bit checksum.  It does not compress or descend into
directories.  Its companion untessel lists an archive's entries and
tests that it arrived whole, checking every checksum.  The manual page
tessel(1) describes the archive format byte by byte.]])
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TESSEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The dependencies come from the libraries the binaries really link, when
# dpkg-shlibdeps (dpkg-dev) and file, which CPack needs to run it, are there.
find_program(TESSEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
find_program(TESSEL_FILE_PROGRAM file)
if(TESSEL_DPKG_SHLIBDEPS AND TESSEL_FILE_PROGRAM)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Only the C library is linked (see ldd); without dpkg-shlibdeps its
  # minimum version cannot be known.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6")
endif()

set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-manpages.cmake)

include(CPack)
