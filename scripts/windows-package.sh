#!/usr/bin/env bash
# Builds the Windows program on Debian and packs it: cross-builds it with mingw-w64 and Qt for
# Windows (unpacked by scripts/windows-qt.sh), lays it out with `cmake --install` and zips that
# folder with CPack, then makes the installer of the zip's files with NSIS
# (packaging/windows/installer.nsi). Prints the path of the zip and of the installer on its last
# two lines:
#
#   scripts/windows-package.sh [BUILD_DIR]   -> BUILD_DIR/package/morvane-flasher-<version>-windows-x86_64.zip
#                                               BUILD_DIR/package/morvane-flasher-<version>-windows-x86_64-setup.exe
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

scripts/apt-install.sh cmake ninja-build g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools nsis unzip

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
setting() { sed -n "s/^set($1 \"\\(.*\\)\")$/\\1/p" "$build/CPackConfig.cmake"; }
name=$(setting CPACK_PACKAGE_FILE_NAME)
zip="$build/package/$name.zip"
if [ ! -f "$zip" ]; then
    echo "windows-package: CPack made no $zip" >&2
    exit 1
fi
echo "windows-package: $(basename "$zip"): $(stat -c %s "$zip") bytes" >&2

# --- the installer, of exactly the zip's files --------------------------------------------------
stage="$build/package/installer-stage"
lists="$build/package/installer-lists"
rm -rf "$stage" "$lists"
mkdir -p "$stage" "$lists"
unzip -q "$zip" -d "$stage"
stage="$stage/$name"
# install-files.nsh puts each file in its folder; uninstall-files.nsh deletes those files, then
# the folders, deepest first, each only when it is empty.
{
    (cd "$stage" && find . -type d | sort) | while IFS= read -r dir; do
        rel=${dir#.}
        rel=${rel#/}
        printf 'SetOutPath "$INSTDIR%s"\n' "${rel:+\\${rel//\//\\}}"
        (cd "$stage/$dir" && find . -maxdepth 1 -type f | sort) | while IFS= read -r file; do
            printf 'File "%s"\n' "$stage/${rel:+$rel/}${file#./}"
        done
    done
} >"$lists/install-files.nsh"
{
    (cd "$stage" && find . -type f | sort) | while IFS= read -r file; do
        file=${file#./}
        printf 'Delete "$INSTDIR\\%s"\n' "${file//\//\\}"
    done
    (cd "$stage" && find . -mindepth 1 -type d | sort -r) | while IFS= read -r dir; do
        dir=${dir#./}
        printf 'RMDir "$INSTDIR\\%s"\n' "${dir//\//\\}"
    done
} >"$lists/uninstall-files.nsh"

version=$(setting CPACK_PACKAGE_VERSION)
setup="$build/package/$name-setup.exe"
rm -f "$setup"
makensis -V2 -INPUTCHARSET UTF8 \
    "-DVERSION=$version" "-DPUBLISHER=$(setting CPACK_PACKAGE_VENDOR)" \
    "-DCOPYRIGHT=$(sed -n '1s/^\(Copyright (c) [0-9-]* [^.]*\)\..*$/\1/p' LICENSE)" \
    "-DSTAGE=$stage" "-DLISTS=$lists" "-DSIZE_KB=$(du -sk "$stage" | cut -f1)" \
    "-DICON=$repo/packaging/icons/morvane-flasher.ico" "-DOUTFILE=$setup" \
    packaging/windows/installer.nsi >&2
echo "windows-package: $(basename "$setup"): $(stat -c %s "$setup") bytes" >&2
echo "$zip"
echo "$setup"
