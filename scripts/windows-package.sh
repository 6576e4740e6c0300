#!/usr/bin/env bash
# Builds the Windows program on Debian and packs it: cross-builds it with mingw-w64 and Qt for
# Windows (unpacked by scripts/windows-qt.sh), lays it out with `cmake --install` and zips that
# folder with CPack. Prints the path of the zip on its last line:
#
#   scripts/windows-package.sh [BUILD_DIR]   -> BUILD_DIR/morvane-flasher-<version>-windows-x86_64.zip
#
# BUILD_DIR defaults to build/mingw, the `mingw` preset's. A folder that is configured already
# (scripts/windows-tests.sh leaves one) is reused as it is; a new one is configured without tests.
# Needs root or sudo for apt-get when packages are missing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

build=${1:-$repo/build/mingw}
build=$(mkdir -p "$build" && cd "$build" && pwd)
jobs=${JOBS:-2}

scripts/apt-install.sh cmake ninja-build g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools

qt=$(scripts/windows-qt.sh "$build-qt") # says how to get Qt for mingw when there is none
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"
qt_toolchain="$qt/lib/cmake/Qt6/qt.toolchain.cmake"

cache="$build/CMakeCache.txt"
if [ -f "$cache" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$qt_toolchain" "$cache"; then
    # Configured without this Qt (or without Qt): the toolchain is read only by a first configure.
    rm -rf "$cache" "$build/CMakeFiles"
fi
if [ ! -f "$cache" ]; then
    cmake --preset mingw -B "$build" -DCMAKE_TOOLCHAIN_FILE="$qt_toolchain" \
        -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" -DMORVANE_WITH_QT=ON -DMORVANE_TESTS=OFF
fi
cmake --build "$build" -j "$jobs"

(cd "$build" && cpack --config CPackConfig.cmake -B "$build/package" >/dev/null)
name=$(sed -n 's/^set(CPACK_PACKAGE_FILE_NAME "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
zip="$build/package/$name.zip"
if [ ! -f "$zip" ]; then
    echo "windows-package: CPack made no $zip" >&2
    exit 1
fi
echo "windows-package: $(du -k "$zip" | cut -f1) KiB" >&2
echo "$zip"
