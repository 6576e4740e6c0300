#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the flasher and shows it at work without hardware: a
# simulated RQ75x chip is started on a pseudo-terminal, a sample image is flashed into it with
# morvane-flash, and the image the chip received is compared byte for byte with the file.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default
cmake --build --preset default -j "$(nproc)" --target rq75x-sim morvane-flash morvane-flasher

bin=build/default
work=$(mktemp -d)
sim_pid=
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# A sample image of 12 blocks, the last one partly filled.
head -c 3000 /dev/urandom >"$work/sample.bin"

# The simulator prints the port to open as its first line.
exec 3< <(exec "$bin/sim/rq75x-sim" --save "$work/received.bin")
sim_pid=$!
if ! read -r -t 10 -u 3 port; then
    echo "demo: the simulated chip did not start" >&2
    exit 1
fi
echo "Simulated RQ75x chip on $port"
echo

"$bin/cli/morvane-flash" flash --port "$port" "$work/sample.bin"

echo
if cmp -s "$work/sample.bin" "$work/received.bin"; then
    echo "The simulated chip received all $(stat -c %s "$work/sample.bin") bytes of the image, byte for byte."
else
    echo "demo: the image received differs from the file" >&2
    exit 1
fi
echo "The window for a real chip: $bin/app/morvane-flasher"
