# The Debian packages: `cpack` in a build tree makes two from the install components of
# packaging/linux (scripts/linux-package.sh does the whole build):
#
#   morvane-flash_<version>_amd64.deb     the command line, rq75x-sim, the station's systemd unit:
#                                         Qt Core and udev, no Qt GUI (a line PC needs no more)
#   morvane-flasher_<version>_amd64.deb   the window, its desktop entry and icons; depends on the
#                                         first
#
# <version> is the project's version with the packaging revision, e.g. 1.1.0-1, as the top entry
# of packaging/linux/changelog says. Included on Linux only.
set(MORVANE_PACKAGE_MAINTAINER "Morvane Flasher developers <developers@morvane-flasher.invalid>"
    CACHE STRING "The Maintainer field of the Debian packages")
set(MORVANE_PACKAGE_REVISION 1 CACHE STRING "The Debian revision of the packages (the part after the '-')")
set(package_version ${PROJECT_VERSION}-${MORVANE_PACKAGE_REVISION})

# The changelog's top entry must be this version: Debian's tools read the version from there.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/linux/changelog changelog_top LIMIT_COUNT 1)
if(NOT changelog_top MATCHES "^morvane-flasher \\(${package_version}\\) ")
    message(FATAL_ERROR "packaging/linux/changelog starts with \"${changelog_top}\": its top entry "
                        "must be for ${package_version}")
endif()

set(CPACK_PACKAGE_NAME morvane-flasher)
set(CPACK_PACKAGE_VENDOR "Morvane Flasher developers")
# No CPACK_PACKAGE_DESCRIPTION_SUMMARY: CPack would put it before each package's own summary, the
# first line of its description below.
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli window)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # <package>_<version>_<architecture>.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE ${MORVANE_PACKAGE_REVISION})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MORVANE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE morvane-flasher)
# Depends is computed from the libraries each package's programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Control files with the permissions and owners Debian's tools expect.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_CLI_PACKAGE_NAME morvane-flash)
set(CPACK_DEBIAN_CLI_PACKAGE_SECTION electronics)
# The descriptions: the summary line, then lines of Debian's usual width.
set(CPACK_DEBIAN_CLI_DESCRIPTION [[
command-line firmware flasher for RQ75x printer-controller chips
Writes firmware into RQ75x printer-controller chips over a serial line,
through the chip's serial bootloader, with a time-out on every request.
morvane-flash is made for benches, production lines and scripts: several
chips at once, every chip as it is plugged in, JSON output and a record of
every chip. The package also holds a systemd unit for a flashing station
(not enabled) and a simulated chip on a pseudo-terminal for trying it
without hardware (rq75x-sim). It needs no graphical libraries.]])
# It takes over the programs of the single package that 1.1.0 was.
set(CPACK_DEBIAN_CLI_PACKAGE_BREAKS "morvane-flasher (<< 1.1.0-1)")
set(CPACK_DEBIAN_CLI_PACKAGE_REPLACES "morvane-flasher (<< 1.1.0-1)")
# The station's settings stay the administrator's across upgrades; the unit follows systemd
# through the maintainer scripts.
file(WRITE ${CMAKE_BINARY_DIR}/debian-cli/conffiles "/etc/default/morvane-flash-station\n")
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/debian-cli/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/linux/maintainer/postinst
    ${PROJECT_SOURCE_DIR}/packaging/linux/maintainer/prerm
    ${PROJECT_SOURCE_DIR}/packaging/linux/maintainer/postrm)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME morvane-flasher)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "morvane-flash (= ${package_version})")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION [[
firmware flasher for RQ75x printer-controller chips (window)
Writes firmware into RQ75x printer-controller chips over a serial line,
through the chip's serial bootloader, with a time-out on every request and
a log of every step. An operator picks the port, opens it, picks the image
and presses Flash; the window also orders a factory reset and lists the
serial ports present. The command-line flasher is in morvane-flash.]])

include(CPack)
