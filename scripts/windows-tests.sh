#!/usr/bin/env bash
# The Windows stage: cross-builds the serial-port library, port discovery and their tests for
# Windows x86-64 with mingw-w64 and runs the tests under wine, with COM ports backed by Linux
# pseudo-terminals. Self-contained on Debian 12 as root (installs what it needs with apt-get).
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
host="$build-host" # native helpers: pty peer and modem-line library
jobs=${JOBS:-2}

# --- packages --------------------------------------------------------------------------------
packages=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix wine64 googletest)
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

# --- cross build -------------------------------------------------------------------------------
# MORVANE_WINDOWS_CMAKE_ARGS: extra configure arguments, for trying things out.
# shellcheck disable=SC2086
cmake --preset mingw -B "$build" -DMORVANE_MINGW_DEPS="$deps" -DMORVANE_WINE_HOST_TOOLS="$host" \
    -DMORVANE_WINEPREFIX="$build/wineprefix" ${MORVANE_WINDOWS_CMAKE_ARGS:-}
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
