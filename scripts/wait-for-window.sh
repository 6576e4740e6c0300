#!/usr/bin/env bash
# Waits until the window titled TITLE is mapped on the X display, while process PID still runs,
# and prints its geometry (WxH+X+Y) for ImageMagick's import -crop.
#
#   scripts/wait-for-window.sh PID TITLE SECONDS
#
# Exit status 0 when it is up, 1 when it was not within SECONDS, 3 when PID ended first.
set -euo pipefail
pid=$1
title=$2
seconds=$3

for _ in $(seq $((seconds * 10))); do
    kill -0 "$pid" 2>/dev/null || exit 3
    info=$(xwininfo -name "$title" 2>/dev/null || true)
    if grep -q 'Map State: IsViewable' <<<"$info"; then
        awk '/Absolute upper-left X/ {x = $4} /Absolute upper-left Y/ {y = $4} /Width:/ {w = $2}
             /Height:/ {h = $2} END {print w "x" h "+" x "+" y}' <<<"$info"
        exit 0
    fi
    sleep 0.1
done
exit 1
