#!/usr/bin/env bash
# Proves that the Windows installer installs and uninstalls as a Windows user expects, on a fresh
# wine prefix on a virtual X display:
#
#   1. per machine: `setup.exe /S` puts exactly the zip's files (and the uninstaller) into
#      C:\Program Files\Morvane Flasher, the Start-menu shortcut for all users and the entry of
#      Apps & Features (name, version, publisher, icon, uninstall command) into HKLM;
#      morvane-flash.exe --version runs from the installed folder; the window comes up from there
#      and ends with status 0 when closed; installing again over it gives the same; `uninstall.exe
#      /S` removes the folder, the shortcut and the entry, and leaves nothing else behind on drive
#      C: or in the registry;
#   2. per user: the same with `setup.exe /S /CurrentUser`, into the user's own programs folder,
#      the user's Start menu and HKCU.
#
#   scripts/windows-installer-test.sh SETUP.EXE ZIP
#
# The installer's own version information and icon are checked too (windows-resources-check.sh).
# The zip is the one the installer was made from (scripts/windows-package.sh makes both): its
# files are the list the installed folder must match. The prefix gets the UI fonts a Windows
# machine has (scripts/windows-prefix-fonts.sh). Needs wine64, fonts-wine, fonts-liberation2,
# xvfb, x11-utils and unzip; installs them when missing.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 2 ] || [ ! -f "$1" ] || [ ! -f "$2" ]; then
    echo "usage: $0 SETUP.EXE ZIP" >&2
    exit 2
fi
setup=$(realpath "$1")
zip=$(realpath "$2")

title="Morvane Flasher 1.1 for RQ75x"
product="Morvane Flasher"
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\MorvaneFlasher'
deadline_seconds=120

if [ "${MORVANE_INSTALLER_TEST_INSIDE:-}" != 1 ]; then
    "$repo/scripts/apt-install.sh" wine64 fonts-wine fonts-liberation2 unzip xvfb xauth x11-utils
    work=$(mktemp -d /tmp/morvane-installer-test-XXXXXX)
    export WINEPREFIX="$work/prefix"
    cleanup() {
        /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
        /usr/lib/wine/wineserver -w >/dev/null 2>&1 || true
        rm -rf "$work"
    }
    trap cleanup EXIT
    MORVANE_INSTALLER_TEST_INSIDE=1 MORVANE_INSTALLER_TEST_WORK="$work" \
        xvfb-run --auto-servernum --server-args="-screen 0 1024x768x24" "$0" "$setup" "$zip"
    exit $?
fi

# Inside the virtual display from here on.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
work=$MORVANE_INSTALLER_TEST_WORK
unset WINEPATH WINEDLLPATH
export WINEDEBUG=-all
export WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d"
failed=0
fail() {
    echo "installer test: $*" >&2
    failed=1
}
unix_path() { "$wine" winepath -u "$1" 2>/dev/null | tr -d '\r'; }
# Waits for every wine process to end (the uninstaller goes on as a copy of itself in the
# temporary folder after the one started has ended) and for the registry to be written out.
settle() { "$wineserver" -w; }
drive_c_files() { (cd "$WINEPREFIX/drive_c" && find . \( -path ./windows -o -path './users/*/Temp' \) -prune -o -print | sort); }

# What the zip holds, as paths inside its one folder.
mkdir "$work/zip"
unzip -q "$zip" -d "$work/zip"
zip_folder=$(find "$work/zip" -mindepth 1 -maxdepth 1 -type d)
(cd "$zip_folder" && find . -type f | sort) >"$work/zip-files"

echo "installer test: making a fresh wine prefix"
"$wine" wineboot -i >/dev/null 2>&1
"$repo/scripts/windows-prefix-fonts.sh" "$wine"
settle
drive_c_files >"$work/drive-c-before"

# check_installed MODE FOLDER SHORTCUT_FOLDER HIVE
check_installed() {
    local mode=$1 folder=$2 shortcuts=$3 hive=$4
    if [ ! -d "$folder" ]; then
        fail "$mode: nothing was installed into $folder"
        return
    fi
    (cd "$folder" && find . -type f | sort) >"$work/installed-files"
    { cat "$work/zip-files"; echo ./uninstall.exe; } | sort >"$work/expected-files"
    if ! diff -u "$work/expected-files" "$work/installed-files" >"$work/files.diff"; then
        fail "$mode: the installed files are not the zip's and the uninstaller:"
        cat "$work/files.diff" >&2
    fi
    if ! cmp -s "$folder/morvane-flash.exe" "$zip_folder/morvane-flash.exe"; then
        fail "$mode: the installed morvane-flash.exe is not the zip's"
    fi
    if [ ! -s "$shortcuts/$product.lnk" ]; then
        fail "$mode: no Start-menu shortcut in $shortcuts"
    else
        echo "installer test: $mode: shortcut $shortcuts/$product.lnk"
    fi
    local entry
    entry=$("$wine" reg query "$hive\\$uninstall_key" 2>/dev/null | tr -d '\r') || true
    local windows_folder
    windows_folder=$("$wine" winepath -w "$folder" 2>/dev/null | tr -d '\r')
    for value in "DisplayName	REG_SZ	$product" "DisplayVersion	REG_SZ	$version" \
        "Publisher	REG_SZ	$publisher" "DisplayIcon	REG_SZ	$windows_folder\\morvane-flasher.exe,0" \
        "UninstallString	REG_SZ	\"$windows_folder\\uninstall.exe\"" "QuietUninstallString	REG_SZ	\"$windows_folder\\uninstall.exe\"" \
        "InstallLocation	REG_SZ	$windows_folder"; do
        local name=${value%%	*}
        if ! grep -qiF -- "$value" <<<"$(sed 's/^ *//; s/    /\t/g' <<<"$entry")"; then
            fail "$mode: Apps & Features entry $hive\\...\\MorvaneFlasher lacks $name = ${value##*	}"
        fi
    done
    echo "installer test: $mode: Apps & Features entry:"
    sed -n 's/^ *\(DisplayName\|DisplayVersion\|Publisher\|DisplayIcon\|UninstallString\|EstimatedSize\) .*/  &/p' <<<"$entry" | sed 's/^ *//; s/^/  /'
}

# check_removed MODE FOLDER SHORTCUT_FOLDER HIVE
check_removed() {
    local mode=$1 folder=$2 shortcuts=$3 hive=$4
    [ ! -e "$folder" ] || fail "$mode: $folder is still there after uninstalling: $(cd "$folder" && find . | tr '\n' ' ')"
    [ ! -e "$shortcuts/$product.lnk" ] || fail "$mode: the Start-menu shortcut is still there after uninstalling"
    if "$wine" reg query "$hive\\$uninstall_key" >/dev/null 2>&1; then
        fail "$mode: the Apps & Features entry is still there after uninstalling"
    fi
    drive_c_files >"$work/drive-c-after"
    if ! diff "$work/drive-c-before" "$work/drive-c-after" >"$work/drive-c.diff"; then
        fail "$mode: drive C: differs from before the installation:"
        cat "$work/drive-c.diff" >&2
    fi
    settle
    if grep -il morvane "$WINEPREFIX"/*.reg >/dev/null; then
        fail "$mode: the registry still names the program after uninstalling:"
        grep -i -B3 morvane "$WINEPREFIX"/*.reg >&2 || true
    fi
}

version=$(sed -n 's/.*morvane-flasher-\([0-9][0-9.]*\)-windows.*/\1/p' <<<"$(basename "$setup")")
publisher=$(sed -n '1s/^Copyright (c) [0-9-]* \([^.]*\)\..*$/\1/p' "$repo/LICENSE")
"$repo/scripts/windows-resources-check.sh" "$version" "$setup" || failed=1

# --- 1. per machine ---------------------------------------------------------------------------
echo "installer test: $(basename "$setup") /S (per machine)"
started=$SECONDS
"$wine" "$setup" /S || fail "per machine: the installer ended with status $?"
settle
echo "installer test: per machine: installed in $((SECONDS - started)) s"
folder=$(unix_path 'C:\Program Files\Morvane Flasher')
shortcuts=$(unix_path 'C:\ProgramData\Microsoft\Windows\Start Menu\Programs')
check_installed "per machine" "$folder" "$shortcuts" HKLM

# The command line and the window, run from where they were installed.
windows_folder=$("$wine" winepath -w "$folder" 2>/dev/null | tr -d '\r')
if ! flash_version=$(cd "$work" && timeout 60 "$wine" "$windows_folder\\morvane-flash.exe" --version 2>&1) ||
    [ "$flash_version" != "morvane-flash $version" ]; then
    fail "per machine: morvane-flash.exe --version from the installed folder said: $flash_version"
else
    echo "installer test: per machine: $flash_version"
fi
(cd "$work" && exec "$wine" "$windows_folder\\morvane-flasher.exe") &
app=$!
status=0
geometry=$("$repo/scripts/wait-for-window.sh" "$app" "$title" "$deadline_seconds") || status=$?
if [ "$status" -ne 0 ]; then
    fail "per machine: the installed window did not come up (status $status)"
    kill "$app" 2>/dev/null || true
else
    echo "installer test: per machine: the window is up ($geometry)"
    "$wine" taskkill /im morvane-flasher.exe >/dev/null 2>&1 || true
    status=""
    for _ in $(seq 300); do
        if ! kill -0 "$app" 2>/dev/null; then
            wait "$app" && status=0 || status=$?
            break
        fi
        sleep 0.1
    done
    [ "$status" = 0 ] || fail "per machine: the window did not end with status 0 when closed (${status:-still running})"
fi
settle

# Installing again over an installation: the earlier one is uninstalled first, the result is the same.
echo "installer test: per machine: $(basename "$setup") /S again, over the installation"
"$wine" "$setup" /S || fail "per machine: the installer ended with status $? when installing again"
settle
check_installed "per machine, again" "$folder" "$shortcuts" HKLM

echo "installer test: per machine: uninstall.exe /S"
"$wine" "$windows_folder\\uninstall.exe" /S || fail "per machine: the uninstaller ended with status $?"
settle
check_removed "per machine" "$folder" "$shortcuts" HKLM

# --- 2. per user --------------------------------------------------------------------------------
echo "installer test: $(basename "$setup") /S /CurrentUser (per user)"
"$wine" "$setup" /S /CurrentUser || fail "per user: the installer ended with status $?"
settle
folder=$(unix_path "$("$wine" cmd.exe /c echo %LOCALAPPDATA%\\Programs\\Morvane Flasher 2>/dev/null | tr -d '\r')")
shortcuts=$(unix_path "$("$wine" cmd.exe /c echo %APPDATA%\\Microsoft\\Windows\\Start Menu\\Programs 2>/dev/null | tr -d '\r')")
check_installed "per user" "$folder" "$shortcuts" HKCU
if "$wine" reg query "HKLM\\$uninstall_key" >/dev/null 2>&1; then
    fail "per user: the installer wrote an entry for all users"
fi
windows_folder=$("$wine" winepath -w "$folder" 2>/dev/null | tr -d '\r')
echo "installer test: per user: uninstall.exe /S"
"$wine" "$windows_folder\\uninstall.exe" /S || fail "per user: the uninstaller ended with status $?"
settle
check_removed "per user" "$folder" "$shortcuts" HKCU

if [ "$failed" -eq 0 ]; then
    echo "installer test: passed"
fi
exit $failed
