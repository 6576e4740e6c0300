#!/usr/bin/env bash
# Takes docs/screenshot.png: starts the built window on a virtual X display, waits until it is
# mapped and saves the display's picture of it. Builds nothing.
#
#   scripts/screenshot.sh [path/to/morvane-flasher] [output.png]
#
# Needs xvfb-run, xwininfo and ImageMagick's import; installs them with apt-get when missing.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
binary="$(realpath -m "${1:-$repo/build/default/app/morvane-flasher}")"
output="$(realpath -m "${2:-$repo/docs/screenshot.png}")"
title="Morvane Flasher 1.1 for RQ75x"
deadline_seconds=30

if [ "${MORVANE_SCREENSHOT_INSIDE:-}" != 1 ]; then
    if [ ! -x "$binary" ]; then
        echo "screenshot: no program at $binary (build it first)" >&2
        exit 2
    fi
    "$repo/scripts/apt-install.sh" xvfb xauth x11-utils imagemagick
    mkdir -p "$(dirname "$output")"
    MORVANE_SCREENSHOT_INSIDE=1 exec xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" \
        "$0" "$binary" "$output"
fi

# Inside the virtual display from here on.
QT_QPA_PLATFORM=xcb "$binary" &
app=$!
trap 'kill "$app" 2>/dev/null || true; wait "$app" 2>/dev/null || true' EXIT

# Wait for the window to be mapped, with a deadline.
status=0
geometry=$("$repo/scripts/wait-for-window.sh" "$app" "$title" "$deadline_seconds") || status=$?
if [ "$status" -eq 3 ]; then
    echo "screenshot: the program ended before its window appeared" >&2
    exit 1
elif [ "$status" -ne 0 ]; then
    echo "screenshot: no window titled \"$title\" within ${deadline_seconds}s" >&2
    exit 1
fi

# The window is mapped; give it a moment to paint its first frame before the picture.
sleep 1
import -window root -crop "$geometry" +repage "$output"
echo "screenshot: saved $output ($geometry)"
