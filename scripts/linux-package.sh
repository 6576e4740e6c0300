#!/usr/bin/env bash
# Builds the Debian packages from one release build of the programs (no tests, no benchmarks) in
# its own build tree, packed by CPack (cmake/LinuxPackage.cmake): morvane-flash_<version>_amd64.deb
# (the command line) and morvane-flasher_<version>_amd64.deb (the window). Prints their paths on
# its last two lines, in that order.
#
#   scripts/linux-package.sh [BUILD_DIR]     (default: build/package)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

build=${1:-$repo/build/package}
jobs=${JOBS:-$(nproc)}

scripts/install-deps.sh

# Debian's hardening flags: stack protector, checked libc calls, read-only relocations.
flags() { DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get "$1"; }
cppflags=$(flags CPPFLAGS)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DMORVANE_TESTS=OFF -DMORVANE_BENCH=OFF \
    -DCMAKE_C_FLAGS="$cppflags $(flags CFLAGS)" -DCMAKE_CXX_FLAGS="$cppflags $(flags CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(flags LDFLAGS)"
cmake --build "$build" -j "$jobs"
rm -f "$build"/morvane-flash_*.deb "$build"/morvane-flasher_*.deb
(cd "$build" && cpack -G DEB) >&2

for package in morvane-flash morvane-flasher; do
    deb=$(ls "$build/${package}"_*.deb)
    echo "linux-package: $(basename "$deb"): $(stat -c %s "$deb") bytes" >&2
    echo "$deb"
done
