# The Windows program as one folder that runs on a machine with neither Qt nor a compiler, and the
# zip of it. `cmake --install` lays out
#
#   morvane-flasher.exe                      the programs (each adds its own install(TARGETS) rule)
#   Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll    the Qt libraries they load
#   platforms/qwindows.dll                   the platform plug-in
#   styles/qwindowsvistastyle.dll            the native style
#   the compiler's runtime DLLs              (MinGW: libstdc++, libgcc_s, winpthread; MSVC: its CRT)
#   README.txt, LICENSE.txt                  what the folder holds; our licence
#   docs/cli.md, docs/windows.md             the manuals
#   THIRD-PARTY-NOTICES.txt, LICENSES/       the libraries' licences and where their sources are
#
# and `cpack` makes morvane-flasher-<version>-windows-x86_64.zip from it; scripts/windows-package.sh
# also makes the installer from the same folder (packaging/windows/installer.nsi).
# The programs' resources (version information, manifest, icon) take their version, company and
# copyright from MorvaneVersion.h, made here from packaging/windows/MorvaneVersion.h.in.
# The same rules serve the cross build with mingw-w64 and the native builds (docs/windows.md).
# Included on Windows after find_package(Qt6) and before the programs' folders.

# Programs go to the top of the folder, beside the DLLs: Windows looks for DLLs there first.
set(CMAKE_INSTALL_BINDIR .)

set(windows_packaging ${PROJECT_SOURCE_DIR}/packaging/windows)

# --- the programs' version resources ------------------------------------------------------------
# Company and copyright as the first line of LICENSE states them: "Copyright (c) YEAR HOLDER."
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE licence_line LIMIT_COUNT 1)
if(NOT licence_line MATCHES "^(Copyright \\(c\\) [0-9-]+ ([^.]+))\\.")
    message(FATAL_ERROR "LICENSE does not start with \"Copyright (c) YEAR HOLDER.\"")
endif()
set(MORVANE_WINDOWS_COPYRIGHT "${CMAKE_MATCH_1}")
set(MORVANE_WINDOWS_COMPANY "${CMAKE_MATCH_2}")
set(MORVANE_WINDOWS_RESOURCES ${CMAKE_BINARY_DIR}/windows-resources)
configure_file(${windows_packaging}/MorvaneVersion.h.in ${MORVANE_WINDOWS_RESOURCES}/MorvaneVersion.h @ONLY)
# The resource compiler alone looks there (the .rc files of app/win and cli/win).
if(MSVC)
    string(APPEND CMAKE_RC_FLAGS " /I \"${MORVANE_WINDOWS_RESOURCES}\"")
    # The manifest comes from the .rc files; the linker's own would be a second one.
    string(APPEND CMAKE_EXE_LINKER_FLAGS " /MANIFEST:NO")
else()
    string(APPEND CMAKE_RC_FLAGS " -I \"${MORVANE_WINDOWS_RESOURCES}\"")
endif()

install(FILES $<TARGET_FILE:Qt6::Core> $<TARGET_FILE:Qt6::Gui> $<TARGET_FILE:Qt6::Widgets> DESTINATION .)
install(FILES $<TARGET_FILE:Qt6::QWindowsIntegrationPlugin> DESTINATION platforms)
install(FILES $<TARGET_FILE:Qt6::QWindowsVistaStylePlugin> DESTINATION styles)

if(MSVC)
    set(CMAKE_INSTALL_SYSTEM_RUNTIME_DESTINATION .)
    include(InstallRequiredSystemLibraries)
elseif(MINGW)
    # The cross compiler knows where its runtime lies; a native MinGW keeps the DLLs beside gcc.
    get_filename_component(compiler_dir "${CMAKE_CXX_COMPILER}" DIRECTORY)
    foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
        execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -print-file-name=${dll}
                        OUTPUT_VARIABLE found OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${found}" OR NOT EXISTS "${found}")
            set(found "${compiler_dir}/${dll}")
        endif()
        if(NOT EXISTS "${found}")
            message(FATAL_ERROR "The compiler's runtime ${dll} was not found (asked ${CMAKE_CXX_COMPILER} "
                                "and looked in ${compiler_dir})")
        endif()
        get_filename_component(found "${found}" REALPATH)
        list(APPEND MORVANE_COMPILER_RUNTIME "${found}")
        # Shipped without their debugging information (libstdc++ carries some 20 MB of it).
        set(shipped "${CMAKE_BINARY_DIR}/compiler-runtime/${dll}")
        if(CMAKE_STRIP)
            add_custom_command(OUTPUT "${shipped}" DEPENDS "${found}"
                               COMMAND "${CMAKE_STRIP}" --strip-unneeded -o "${shipped}" "${found}" VERBATIM)
        else()
            add_custom_command(OUTPUT "${shipped}" DEPENDS "${found}"
                               COMMAND ${CMAKE_COMMAND} -E copy "${found}" "${shipped}" VERBATIM)
        endif()
        list(APPEND shipped_runtime "${shipped}")
    endforeach()
    add_custom_target(compiler-runtime ALL DEPENDS ${shipped_runtime})
    install(FILES ${shipped_runtime} DESTINATION .)
endif()

# --- README, our licence and the libraries' notices ----------------------------------------------
# Texts for Windows: CRLF line ends, as Notepad of every Windows 10 release shows them.
set(shipped_texts ${CMAKE_BINARY_DIR}/windows-texts)
function(morvane_windows_text source destination)
    set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
    file(READ ${source} text)
    if(source MATCHES "\\.in$")
        string(CONFIGURE "${text}" text @ONLY)
    endif()
    string(REPLACE "\r\n" "\n" text "${text}")
    string(REPLACE "\n" "\r\n" text "${text}")
    file(WRITE ${shipped_texts}/${destination} "${text}")
endfunction()

# What the notices say of where each library's source is.
set(MORVANE_QT_VERSION ${Qt6_VERSION})
function(morvane_debian_source package result)
    set(${result} "" PARENT_SCOPE)
    find_program(MORVANE_DPKG_QUERY dpkg-query)
    if(MORVANE_DPKG_QUERY)
        execute_process(COMMAND ${MORVANE_DPKG_QUERY} -W "-f=\${source:Package} \${source:Version}" ${package}
                        OUTPUT_VARIABLE found ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        set(${result} "${found}" PARENT_SCOPE)
    endif()
endfunction()
if(MINGW AND CMAKE_CROSSCOMPILING)
    # Qt for Windows as scripts/windows-qt.sh unpacks it: built from Debian's own qt6-base source
    # by scripts/build-qt6-mingw.sh, which the folder carries as LICENSES/build-qt6-mingw.sh.
    morvane_debian_source(libqt6core6 qt_source)
    if(NOT qt_source)
        set(qt_source "qt6-base ${Qt6_VERSION}")
    endif()
    set(MORVANE_QT_SOURCE "Debian 12's source package ${qt_source} (apt-get source
         qt6-base), built for Windows with the script LICENSES\\build-qt6-mingw.sh;
         also the Qt project's source release qtbase-everywhere-src-${Qt6_VERSION}.")
    install(FILES ${PROJECT_SOURCE_DIR}/scripts/build-qt6-mingw.sh DESTINATION LICENSES)
else()
    set(MORVANE_QT_SOURCE "the Qt project's source release qtbase-everywhere-src-${Qt6_VERSION},
         which the Qt installer also offers (the Sources component of that version).")
endif()
morvane_windows_text(${windows_packaging}/notices-head.txt.in notices-head.txt)
morvane_windows_text(${windows_packaging}/notices-qt.txt.in notices-qt.txt)
set(notice_parts ${shipped_texts}/notices-head.txt ${shipped_texts}/notices-qt.txt)
set(licences GPL-3.0 LGPL-3.0 qt6-base-copyright)
if(MINGW)
    string(REGEX MATCH "^[0-9]+\\.[0-9]+(\\.[0-9]+)?" MORVANE_GCC_VERSION "${CMAKE_CXX_COMPILER_VERSION}")
    morvane_debian_source(gcc-mingw-w64-x86-64-posix-runtime gcc_source)
    morvane_debian_source(mingw-w64-x86-64-dev mingw_source)
    if(CMAKE_CROSSCOMPILING AND gcc_source AND mingw_source)
        # Debian's cross compiler: its runtime packages carry GCC's version (12.2.0-14+...).
        execute_process(COMMAND ${MORVANE_DPKG_QUERY} -W "-f=\${Version}" gcc-mingw-w64-x86-64-posix-runtime
                        OUTPUT_VARIABLE gcc_package_version ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
        string(REGEX MATCH "^[0-9]+\\.[0-9]+\\.[0-9]+" MORVANE_GCC_VERSION "${gcc_package_version}")
        set(MORVANE_GCC_SOURCE "the Debian 12 source package ${gcc_source}, which builds Debian's
         mingw-w64 cross compiler from the GCC sources of Debian's gcc-12; the GCC project's
         release ${MORVANE_GCC_VERSION}.")
        set(MORVANE_MINGW_W64_SOURCE "the Debian 12 source package ${mingw_source}; the mingw-w64
         project's release of that version.")
    else()
        set(MORVANE_GCC_SOURCE "the GCC project's release ${MORVANE_GCC_VERSION}, as the MinGW
         toolchain used for this build was made from it.")
        set(MORVANE_MINGW_W64_SOURCE "the mingw-w64 project's release that the MinGW toolchain
         used for this build names.")
    endif()
    morvane_windows_text(${windows_packaging}/notices-mingw.txt.in notices-mingw.txt)
    list(APPEND notice_parts ${shipped_texts}/notices-mingw.txt)
    list(APPEND licences gcc-mingw-w64-copyright mingw-w64-copyright)
endif()
set(notices "")
foreach(part ${notice_parts})
    file(READ ${part} text)
    string(APPEND notices "${text}")
endforeach()
file(WRITE ${shipped_texts}/THIRD-PARTY-NOTICES.txt "${notices}")
foreach(licence ${licences})
    morvane_windows_text(${windows_packaging}/licenses/${licence}.txt LICENSES/${licence}.txt)
    install(FILES ${shipped_texts}/LICENSES/${licence}.txt DESTINATION LICENSES)
endforeach()
morvane_windows_text(${windows_packaging}/README.txt.in README.txt)
morvane_windows_text(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt)
install(FILES ${shipped_texts}/README.txt ${shipped_texts}/LICENSE.txt ${shipped_texts}/THIRD-PARTY-NOTICES.txt
        DESTINATION .)
foreach(doc cli windows)
    morvane_windows_text(${PROJECT_SOURCE_DIR}/docs/${doc}.md docs/${doc}.md)
    install(FILES ${shipped_texts}/docs/${doc}.md DESTINATION docs)
endforeach()

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME morvane-flasher)
set(CPACK_PACKAGE_VENDOR "Morvane Flasher developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flasher for RQ75x printer-controller chips")
set(CPACK_PACKAGE_FILE_NAME "morvane-flasher-${PROJECT_VERSION}-windows-x86_64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON) # the zip unpacks into a folder of that name
set(CPACK_STRIP_FILES ON)
include(CPack)
