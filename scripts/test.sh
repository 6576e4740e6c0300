#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs every test: once normally and once
# under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded parts once more under
# ThreadSanitizer (and the Windows stage when present).
# Fails when any test fails.
# The package stage checks the two Debian packages with lintian, installs the command-line one on
# a clean Debian root (debootstrap) and both into this machine and removes them again; set
# MORVANE_SKIP_PACKAGE=1 to leave it out.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

export QT_QPA_PLATFORM=offscreen
jobs=${JOBS:-$(nproc)}

for preset in default asan; do
    echo "=== build and test: $preset ==="
    cmake --preset "$preset"
    cmake --build --preset "$preset" -j "$jobs"
    ctest --preset "$preset" -j 4
done

echo "=== build and test: tsan (serial port, port change, flasher) ==="
scripts/tsan-tests.sh

echo "=== fuzz: engine, reply classification and filter (libFuzzer, 60 s) ==="
scripts/fuzz.sh

if [ "${MORVANE_SKIP_PACKAGE:-0}" != 1 ]; then
    echo "=== Debian packages: build, lintian, install, check, remove ==="
    scripts/linux-package-tests.sh
fi

if [ -x scripts/windows-tests.sh ] && [ "${MORVANE_SKIP_WINDOWS:-0}" != 1 ]; then
    echo "=== Windows: cross build, tests under wine, the zip and the installer ==="
    scripts/windows-tests.sh
fi
