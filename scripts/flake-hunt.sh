#!/usr/bin/env bash
# Hunts flaky tests: runs every suite N times in a row while the machine is loaded, as a shared CI
# machine is, and lists each test that failed at least once together with its failure.
# Not part of scripts/test.sh; run it after changing tests or anything with threads in it.
#
# Usage: scripts/flake-hunt.sh [-n N] [-l LOAD] [SUITE ...]
#   -n N      repetitions of each test (ctest --repeat until-fail:N), default 10
#   -l LOAD   CPU burners running beside the tests, default: one per core (0 = none)
#   SUITE     any of: default asan tsan windows (default: every suite this checkout has)
# Logs go to build/flake-hunt/. Exit status 1 when any test failed at least once.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

repeat=10
load=$(nproc)
while getopts "n:l:" option; do
    case $option in
    n) repeat=$OPTARG ;;
    l) load=$OPTARG ;;
    *) sed -n '2,11p' "$0" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))

has_preset() { grep -q "\"name\": \"$1\"" CMakePresets.json; }
suites=("$@")
if [ ${#suites[@]} -eq 0 ]; then
    for preset in default asan tsan; do
        has_preset "$preset" && suites+=("$preset")
    done
    [ -x scripts/windows-tests.sh ] && suites+=(windows)
fi

logs=$repo/build/flake-hunt
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen

# Builds first, unloaded: the hunt is about the tests, not the compiler.
for suite in "${suites[@]}"; do
    [ "$suite" = windows ] || [ "$suite" = tsan ] && continue
    echo "=== build: $suite ==="
    cmake --preset "$suite" >/dev/null
    cmake --build --preset "$suite" -j "$(nproc)" >/dev/null
done

burners=()
stop_burners() {
    for pid in "${burners[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap stop_burners EXIT
for ((i = 0; i < load; i++)); do
    (while :; do :; done) &
    burners+=($!)
done
echo "=== $load CPU burner(s) running; each test repeated up to $repeat times ==="

start=$(date +%s)
for suite in "${suites[@]}"; do
    log=$logs/$suite.log
    echo "=== $suite ($(date +%T)) ==="
    if [ "$suite" = windows ]; then
        scripts/windows-tests.sh "$repo/build/mingw" -- --repeat "until-fail:$repeat" >"$log" 2>&1 || true
    elif [ "$suite" = tsan ]; then
        scripts/tsan-tests.sh --repeat "until-fail:$repeat" >"$log" 2>&1 || true
    else
        ctest --preset "$suite" -j 4 --repeat "until-fail:$repeat" --output-on-failure >"$log" 2>&1 || true
    fi
    grep -E "tests passed|Total Test time" "$log" || echo "(no summary: see $log)"
done
stop_burners
echo "=== done in $(($(date +%s) - start)) s; logs in $logs ==="

# ctest lists the failed tests at the end of each log; print each with the output of its failure.
failed=0
for suite in "${suites[@]}"; do
    log=$logs/$suite.log
    mapfile -t names < <(sed -n '/The following tests FAILED:/,$p' "$log" |
        sed -nE 's/^[[:space:]]*[0-9]+ - ([^ ]+) .*/\1/p')
    for name in "${names[@]}"; do
        failed=1
        echo
        echo "### $suite: $name"
        # ctest prints a failed test's output after its result line, up to the next result line.
        awk -v name="$name" '
            /^ *[0-9]+\/[0-9]+ Test +#/ { show = index($0, ": " name " ") && /\*\*\*/ }
            show { print }
        ' "$log" | tail -n 60
    done
done
[ $failed -eq 0 ] && echo "No test failed in $repeat repetitions under load."
exit $failed
