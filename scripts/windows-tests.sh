#!/usr/bin/env bash
# The Windows stage: cross-builds the program for Windows x86-64 with mingw-w64 (the serial-port
# library, port discovery, the window with Qt for Windows) and its tests, runs the tests under wine
# with COM ports backed by Linux pseudo-terminals (the window's against rq75x-sim, which stays a
# Linux program at the far end of a port), makes the zip and the installer
# (scripts/windows-package.sh) and proves that the zip runs on a fresh wine prefix
# (scripts/windows-zip-test.sh) and that the installer installs, runs and uninstalls on another
# (scripts/windows-installer-test.sh). Self-contained on Debian 12 as root (installs what it needs
# with apt-get).
#
# Without Qt for mingw (scripts/windows-qt.sh says how to get it) the window's part is skipped
# with that message and the rest runs.
#
# Usage: scripts/windows-tests.sh [BUILD_DIR]     (default: build/mingw, the `mingw` preset's)
# Extra arguments after `--` go to ctest, e.g. scripts/windows-tests.sh build/mingw -- -R Round
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

build=${1:-$repo/build/mingw}
[ $# -gt 0 ] && shift
[ "${1:-}" = "--" ] && shift
build=$(mkdir -p "$build" && cd "$build" && pwd)
deps="$build-deps" # GoogleTest built by the cross compiler
host="$build-host" # native helpers: pty peer, modem-line library and rq75x-sim
jobs=${JOBS:-2}
started=$SECONDS

# --- packages --------------------------------------------------------------------------------
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64 fonts-wine fonts-liberation2 googletest qt6-base-dev
    qt6-base-dev-tools nsis unzip xvfb xauth x11-utils python3-pefile)
scripts/apt-install.sh "${packages[@]}"
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
toolchain="$repo/cmake/mingw-w64-x86_64.cmake"

# --- native helpers --------------------------------------------------------------------------
cmake -S tests/win/host -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$host" -j "$jobs"

# --- GoogleTest from Debian's source package, built by the cross compiler ----------------------
gtest_version=$(dpkg-query -W -f='${Version}' googletest)
if [ "$(cat "$deps/.googletest-version" 2>/dev/null)" != "$gtest_version" ]; then
    echo "=== GoogleTest $gtest_version for x86_64-w64-mingw32 ==="
    rm -rf "$deps" "$build-googletest"
    cmake -S /usr/src/googletest -B "$build-googletest" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$build-googletest" -j "$jobs"
    cmake --install "$build-googletest" >/dev/null
    echo "$gtest_version" >"$deps/.googletest-version"
fi

# --- Qt for Windows, unpacked into the build folder -----------------------------------------------
if qt=$(scripts/windows-qt.sh "$build-qt"); then
    qt_toolchain="$qt/lib/cmake/Qt6/qt.toolchain.cmake"
    qt_args=(-DCMAKE_TOOLCHAIN_FILE="$qt_toolchain" -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" -DMORVANE_WITH_QT=ON)
else
    [ $? -eq 3 ] || exit 1
    echo "=== Qt for mingw is missing (see above): the window's Windows build, tests and zip are skipped ==="
    qt_toolchain="$toolchain"
    qt_args=(-DMORVANE_WITH_QT=OFF)
fi
# The toolchain is read by the first configure only: start afresh when it changes.
if [ -f "$build/CMakeCache.txt" ] && ! grep -qx "CMAKE_TOOLCHAIN_FILE:FILEPATH=$qt_toolchain" "$build/CMakeCache.txt"; then
    rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi

# --- cross build -------------------------------------------------------------------------------
# MORVANE_WINDOWS_CMAKE_ARGS: extra configure arguments, for trying things out.
# shellcheck disable=SC2086
cmake --preset mingw -B "$build" -DMORVANE_MINGW_DEPS="$deps" -DMORVANE_WINE_HOST_TOOLS="$host" \
    -DMORVANE_WINEPREFIX="$build/wineprefix" -DMORVANE_TESTS=ON "${qt_args[@]}" ${MORVANE_WINDOWS_CMAKE_ARGS:-}
cmake --build "$build" -j "$jobs"

# --- a fresh wine prefix and one persistent wine server for the whole run -----------------------
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d;winebus.sys=d;wineusb.sys=d"
unset DISPLAY WAYLAND_DISPLAY

stop_wineserver() {
    "$wineserver" -k >/dev/null 2>&1 || true
    "$wineserver" -w >/dev/null 2>&1 || true
}
stop_wineserver # one left over from an interrupted run would hold the old prefix
rm -rf "$WINEPREFIX"
echo "=== wine prefix ==="
"$wine" wineboot -i >/dev/null 2>&1
# Top-level windows without an X display (the port-change window is one).
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# Qt Test writes its results to the debugger instead of stdout unless told otherwise, and wine
# hands no QT_ variable of the Linux environment to a program: set it in the prefix.
"$wine" reg add 'HKCU\Environment' /v QT_FORCE_STDERR_LOGGING /d 1 /f >/dev/null 2>&1
"$wineserver" -w # let the server started by wineboot finish before the persistent one starts

# A server that is still exiting when the next test starts fails that test ("recvmsg: Connection
# reset by peer"): keep one running until the end. Its output is discarded.
"$wineserver" -p >/dev/null 2>&1 </dev/null
trap stop_wineserver EXIT
# wine's own background processes (services, plugplay, ...) start with the first program and
# keep its output open: start them here, so that no test's output pipe is held by them.
"$wine" cmd.exe /c exit >/dev/null 2>&1 </dev/null

# --- tests -------------------------------------------------------------------------------------
echo "=== tests under wine ==="
ctest --test-dir "$build" --output-on-failure --timeout 300 "$@"
stop_wineserver
trap - EXIT

# --- the zip and the installer, each tried on a fresh prefix ------------------------------------
if [ -n "${qt:-}" ]; then
    echo "=== the zip and the installer ==="
    packages=$(scripts/windows-package.sh "$build" | tail -n 2)
    zip=$(sed -n 1p <<<"$packages")
    setup=$(sed -n 2p <<<"$packages")
    echo "=== the zip on a fresh wine prefix ==="
    zip_started=$SECONDS
    scripts/windows-zip-test.sh "$zip"
    echo "=== the zip test took $((SECONDS - zip_started)) s ==="
    echo "=== the installer on a fresh wine prefix ==="
    installer_started=$SECONDS
    scripts/windows-installer-test.sh "$setup" "$zip"
    echo "=== the installer test took $((SECONDS - installer_started)) s ==="
fi
echo "=== Windows stage done in $((SECONDS - started)) s ==="
