#!/usr/bin/env bash
# Takes docs/screenshot-windows.png: the Windows program from its zip, started on a fresh wine
# prefix on a virtual X display with wine's X11 driver (the `windows` platform plug-in), as
# scripts/windows-zip-test.sh runs it. Builds nothing (scripts/windows-package.sh makes the zip).
#
#   scripts/windows-screenshot.sh [ZIP] [output.png]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
zip=${1:-$(ls -t "$repo"/build/mingw/package/morvane-flasher-*-windows-x86_64.zip 2>/dev/null | head -1)}
output=$(realpath -m "${2:-$repo/docs/screenshot-windows.png}")
if [ -z "$zip" ] || [ ! -f "$zip" ]; then
    echo "windows-screenshot: no zip (make one with scripts/windows-package.sh)" >&2
    exit 2
fi
exec "$repo/scripts/windows-zip-test.sh" "$zip" --screenshot "$output"
