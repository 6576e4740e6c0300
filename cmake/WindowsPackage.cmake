# The Windows program as one folder that runs on a machine with neither Qt nor a compiler, and the
# zip of it. `cmake --install` lays out
#
#   morvane-flasher.exe                      the programs (each adds its own install(TARGETS) rule)
#   Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll    the Qt libraries they load
#   platforms/qwindows.dll                   the platform plug-in
#   styles/qwindowsvistastyle.dll            the native style
#   the compiler's runtime DLLs              (MinGW: libstdc++, libgcc_s, winpthread; MSVC: its CRT)
#
# and `cpack` makes morvane-flasher-<version>-windows-x86_64.zip from it (scripts/windows-package.sh).
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

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME morvane-flasher)
set(CPACK_PACKAGE_VENDOR "Morvane Flasher developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware flasher for RQ75x printer-controller chips")
set(CPACK_PACKAGE_FILE_NAME "morvane-flasher-${PROJECT_VERSION}-windows-x86_64")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON) # the zip unpacks into a folder of that name
set(CPACK_STRIP_FILES ON)
include(CPack)
