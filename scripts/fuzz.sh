#!/usr/bin/env bash
# Fuzzes the flashing engine, reply classification and the reply filter with libFuzzer
# (tests/fuzz/EngineFuzzer.cpp): builds the target with clang in build/fuzz and runs it for
# FUZZ_SECONDS (default 60) from the corpus in tests/fuzz/corpus. New inputs go to
# build/fuzz/corpus, never into the tree; an input that breaks a check is kept as
# build/fuzz/crash-* and the script fails, naming it.
#
# Usage: scripts/fuzz.sh [LIBFUZZER_ARGUMENTS...]   (e.g. build/fuzz/crash-... to repeat one)
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
scripts/apt-install.sh clang-14 libclang-rt-14-dev

build=build/fuzz
mkdir -p "$build"
sanitizers="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
    -DCMAKE_C_FLAGS="$sanitizers" -DCMAKE_CXX_FLAGS="$sanitizers" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
    -DMORVANE_FUZZ=ON -DMORVANE_BENCH=OFF >"$build/../fuzz-configure.log" 2>&1 ||
    { cat "$build/../fuzz-configure.log" >&2; exit 1; }
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target engine_fuzzer

mkdir -p "$build/corpus"
if [ $# -gt 0 ]; then
    exec "$build/tests/fuzz/engine_fuzzer" "$@"
fi
"$build/tests/fuzz/engine_fuzzer" -max_total_time="${FUZZ_SECONDS:-60}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$build/" "$build/corpus" tests/fuzz/corpus
