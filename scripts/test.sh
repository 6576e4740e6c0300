#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds everything and runs every test: once normally and once
# under AddressSanitizer and UndefinedBehaviorSanitizer, the threaded parts once more under
# ThreadSanitizer (and the Windows stage when present).
# Fails when any test fails.
# The package stage installs the Debian package into this machine and removes it again; set
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

# ThreadSanitizer over the serial-port library and the code that drives it from several threads.
# The window's tests stay out: Qt's own libraries are not instrumented, and their thread pool
# alone makes reports there.
echo "=== build and test: tsan (serial port, port change, flasher) ==="
cmake --preset tsan
cmake --build --preset tsan -j "$jobs" --target tests/serialport/all tests/portchange/all tests/flasher/all
tsan_failed=()
for suite in serialport portchange flasher; do
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
        ctest --test-dir "build/tsan/tests/$suite" -j 4 --timeout 600 --output-on-failure --no-tests=error ||
        tsan_failed+=("$suite")
done
if [ ${#tsan_failed[@]} -gt 0 ]; then
    echo "ThreadSanitizer stage failed: ${tsan_failed[*]}" >&2
    exit 1
fi

if [ "${MORVANE_SKIP_PACKAGE:-0}" != 1 ]; then
    echo "=== Debian package: build, install, check, remove ==="
    scripts/linux-package-tests.sh
fi

if [ -x scripts/windows-tests.sh ] && [ "${MORVANE_SKIP_WINDOWS:-0}" != 1 ]; then
    echo "=== Windows back ends: cross build and tests under wine ==="
    scripts/windows-tests.sh
fi
