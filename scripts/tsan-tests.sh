#!/usr/bin/env bash
# ThreadSanitizer over the serial-port library and the code that drives it from several threads:
# builds the `tsan` preset's serial-port, port-change and flasher tests and runs them. The window's
# and the command line's tests stay out: Qt's own libraries are not instrumented, and their thread
# pool alone makes reports there.
#
# Usage: scripts/tsan-tests.sh [CTEST_ARGUMENTS...]   (e.g. --repeat until-fail:10)
# Runs every folder before failing; exit status 1 when any test failed.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${JOBS:-$(nproc)}
suites=(serialport portchange flasher)

cmake --preset tsan
targets=()
for suite in "${suites[@]}"; do
    targets+=("tests/$suite/all")
done
cmake --build --preset tsan -j "$jobs" --target "${targets[@]}"
failed=()
for suite in "${suites[@]}"; do
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1" \
        ctest --test-dir "build/tsan/tests/$suite" -j 4 --timeout 600 --output-on-failure --no-tests=error "$@" ||
        failed+=("$suite")
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "ThreadSanitizer stage failed: ${failed[*]}" >&2
    exit 1
fi
