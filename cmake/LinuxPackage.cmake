# The Debian package: `cpack` in a build tree makes morvane-flasher_<version>_amd64.deb from the
# install rules (scripts/linux-package.sh does the whole build). Included on Linux only.
set(MORVANE_PACKAGE_MAINTAINER "Morvane Flasher developers <developers@morvane-flasher.invalid>"
    CACHE STRING "The Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME morvane-flasher)
set(CPACK_PACKAGE_VENDOR "Morvane Flasher developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flasher for RQ75x printer-controller chips")
# The control file's long description, as lines of Debian's usual width.
set(CPACK_PACKAGE_DESCRIPTION [[
Writes firmware into RQ75x printer-controller chips over a serial line,
through the chip's serial bootloader, with a time-out on every request and
a log of every step. The package holds the window (morvane-flasher), the
command-line flasher for benches, production lines and scripts
(morvane-flash: several chips at once, JSON output) and a simulated chip on
a pseudo-terminal for trying both without hardware (rq75x-sim).]])
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)

set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # morvane-flasher_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
