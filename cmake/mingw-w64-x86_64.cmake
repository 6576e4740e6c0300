# Cross build for 64-bit Windows with Debian's mingw-w64 (the posix thread model, which std::thread
# needs). Programs are linked statically, so they run under wine or on Windows without the
# compiler's DLLs, and CTest starts them through wine.
#
# MORVANE_MINGW_DEPS may name a prefix with libraries built by this same toolchain (GoogleTest);
# it is searched like the compiler's own sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${MORVANE_MINGW_TRIPLE}-windres)

# try_compile projects read this file again; hand the variable on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MORVANE_MINGW_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${MORVANE_MINGW_TRIPLE})
if(MORVANE_MINGW_DEPS)
    list(APPEND CMAKE_FIND_ROOT_PATH ${MORVANE_MINGW_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian installs the wine loader outside PATH unless the `wine` wrapper package is present.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(MORVANE_WINE64 NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
    if(MORVANE_WINE64)
        set(CMAKE_CROSSCOMPILING_EMULATOR ${MORVANE_WINE64})
    endif()
endif()
