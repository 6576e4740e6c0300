#!/usr/bin/env bash
# Proves that the Windows zip carries everything its programs need: unpacks it into an empty
# folder, makes a fresh wine prefix with nothing on its PATH but Windows' own folders, starts
# morvane-flasher.exe on a virtual X display with wine's X11 driver (the `windows` platform
# plug-in) and checks that its window comes up and stays up until it is closed, that every DLL
# it loaded that is not wine's own came from the zip (the Qt libraries, the platform and style
# plug-ins, the compiler's runtime), and that closing the window ends it with status 0. The
# console programs in the zip are run with --version. The zip must carry its README, our licence
# and the libraries' notices and licence texts; both programs their version information, icon
# and manifest (scripts/windows-resources-check.sh). The prefix gets the UI fonts a Windows machine
# has (scripts/windows-prefix-fonts.sh), so the window looks as on Windows, with sans-serif text.
#
#   scripts/windows-zip-test.sh ZIP [--screenshot PNG]
#
# --screenshot saves the window as it came up (scripts/windows-screenshot.sh uses it).
# Needs wine64, fonts-wine, fonts-liberation2, xvfb, x11-utils (and imagemagick for --screenshot);
# installs them when missing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

zip=""
screenshot=""
while [ $# -gt 0 ]; do
    case "$1" in
    --screenshot)
        screenshot=$(realpath -m "$2")
        shift 2
        ;;
    *)
        zip=$(realpath "$1")
        shift
        ;;
    esac
done
if [ -z "$zip" ] || [ ! -f "$zip" ]; then
    echo "usage: $0 ZIP [--screenshot PNG]" >&2
    exit 2
fi

title="Morvane Flasher 1.1 for RQ75x"
window_program=morvane-flasher.exe
# The console programs the zip must carry, each checked with --version.
console_programs=(morvane-flash.exe)
deadline_seconds=120 # a fresh prefix and a first start under wine take a while on a loaded machine

if [ "${MORVANE_ZIP_TEST_INSIDE:-}" != 1 ]; then
    packages=(wine64 fonts-wine fonts-liberation2 unzip xvfb xauth x11-utils)
    [ -n "$screenshot" ] && packages+=(imagemagick)
    "$repo/scripts/apt-install.sh" "${packages[@]}"
    work=$(mktemp -d /tmp/morvane-zip-test-XXXXXX)
    export WINEPREFIX="$work/prefix"
    cleanup() {
        /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
        /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true
        rm -rf "$work"
    }
    trap cleanup EXIT
    args=("$zip")
    [ -n "$screenshot" ] && args+=(--screenshot "$screenshot")
    MORVANE_ZIP_TEST_INSIDE=1 MORVANE_ZIP_TEST_WORK="$work" \
        xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" "$0" "${args[@]}"
    exit $?
fi

# Inside the virtual display from here on.
wine=/usr/lib/wine/wine64
work=$MORVANE_ZIP_TEST_WORK
unset WINEPATH WINEDLLPATH
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"

mkdir "$work/unpacked"
unzip -q "$zip" -d "$work/unpacked"
folder=$(find "$work/unpacked" -mindepth 1 -maxdepth 1 -type d)
if [ "$(echo "$folder" | wc -l)" -ne 1 ] || [ ! -f "$folder/$window_program" ]; then
    echo "zip test: the zip does not hold one folder with $window_program" >&2
    exit 1
fi
echo "zip test: $(basename "$zip"): $(cd "$folder" && find . -type f | sort | tr '\n' ' ')"

failed=0
for text in README.txt LICENSE.txt THIRD-PARTY-NOTICES.txt LICENSES/LGPL-3.0.txt LICENSES/GPL-3.0.txt \
    LICENSES/qt6-base-copyright.txt LICENSES/gcc-mingw-w64-copyright.txt LICENSES/mingw-w64-copyright.txt \
    docs/cli.md; do
    if [ ! -s "$folder/$text" ]; then
        echo "zip test: $text is missing" >&2
        failed=1
    fi
done
version=$(sed -n 's/.*morvane-flasher-\([0-9][0-9.]*\)-windows.*/\1/p' <<<"$(basename "$zip")")
"$repo/scripts/windows-resources-check.sh" "$version" "$folder/$window_program" \
    "${console_programs[@]/#/$folder/}" || failed=1

echo "zip test: making a fresh wine prefix"
"$wine" wineboot -i >/dev/null 2>&1
"$repo/scripts/windows-prefix-fonts.sh" "$wine"

for program in "${console_programs[@]}"; do
    if [ ! -f "$folder/$program" ]; then
        echo "zip test: $program is missing" >&2
        failed=1
        continue
    fi
    if ! version=$(cd "$folder" && timeout 60 "$wine" "$program" --version 2>&1) || [ -z "$version" ]; then
        echo "zip test: $program --version failed: $version" >&2
        failed=1
    else
        echo "zip test: $program --version: $version"
    fi
done

# The window, with a log of every DLL it loads.
cd "$folder"
WINEDEBUG=+loaddll "$wine" "$window_program" 2>"$work/loaddll.log" &
app=$!
status=0
geometry=$("$repo/scripts/wait-for-window.sh" "$app" "$title" "$deadline_seconds") || status=$?
if [ "$status" -eq 3 ]; then
    echo "zip test: $window_program ended before its window came up" >&2
    tail -20 "$work/loaddll.log" >&2
    exit 1
elif [ "$status" -ne 0 ]; then
    echo "zip test: no window titled \"$title\" within ${deadline_seconds}s" >&2
    exit 1
fi
echo "zip test: the window is up ($geometry)"

# Let it paint and settle; it must still be running afterwards.
sleep 2
if ! kill -0 "$app" 2>/dev/null; then
    echo "zip test: $window_program ended on its own after its window came up" >&2
    exit 1
fi
if [ -n "$screenshot" ]; then
    mkdir -p "$(dirname "$screenshot")"
    import -window root -crop "$geometry" +repage "$screenshot"
    echo "zip test: saved $screenshot"
fi

# Every DLL loaded from outside wine's own system folder must be one of the zip's.
windows_folder=$("$wine" winepath -w "$folder" 2>/dev/null | tr -d '\r')
loaded=$(sed -n 's/.*Loaded L"\([^"]*\)".*: native$/\1/p' "$work/loaddll.log" | sed 's/\\\\/\\/g' | sort -u)
for expected in Qt6Core.dll Qt6Gui.dll Qt6Widgets.dll 'platforms\qwindows.dll' 'styles\qwindowsvistastyle.dll' \
    libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll; do
    if ! grep -qiF -- "$windows_folder\\$expected" <<<"$loaded"; then
        echo "zip test: $expected was not loaded from the zip's folder" >&2
        failed=1
    fi
done
while IFS= read -r dll; do
    [ -n "$dll" ] || continue
    case "${dll,,}" in
    "${windows_folder,,}"\\*) ;;
    *)
        echo "zip test: a DLL from outside the zip was loaded: $dll" >&2
        failed=1
        ;;
    esac
done <<<"$loaded"
echo "zip test: loaded from the zip: $(sed "s/.*\\\\//" <<<"$loaded" | tr '\n' ' ')"

# Close the window as a user would (WM_CLOSE) and expect a clean end.
"$wine" taskkill /im "$window_program" >/dev/null 2>&1 || true
status=""
for _ in $(seq 300); do
    if ! kill -0 "$app" 2>/dev/null; then
        wait "$app" && status=0 || status=$?
        break
    fi
    sleep 0.1
done
if [ -z "$status" ]; then
    echo "zip test: $window_program did not end within 30 s of being closed" >&2
    kill "$app" 2>/dev/null || true
    exit 1
fi
if [ "$status" -ne 0 ]; then
    echo "zip test: $window_program ended with status $status after being closed" >&2
    exit 1
fi
echo "zip test: closed; it ended with status 0"
exit $failed
