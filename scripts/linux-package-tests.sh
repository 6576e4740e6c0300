#!/usr/bin/env bash
# The package stage: builds the Debian package, installs it with apt-get as an operator would,
# checks the installed programs, manual pages and desktop entry, removes the package and checks
# that nothing of it is left. It changes the machine's installed packages: meant for CI, as root
# on a fresh machine, and refuses to run where morvane-flasher is installed already.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

package=morvane-flasher
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_get() { "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=120 "$@"; }
installed() { dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null | grep -qx installed; }
fail() {
    echo "package stage: $*" >&2
    exit 1
}

installed && fail "$package is installed on this machine already; remove it first"

deb=$(scripts/linux-package.sh | tail -n 1)
version=$(dpkg-deb -f "$deb" Version)
echo "=== $(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends)"

work=$(mktemp -d)
sim_pid=
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    installed && apt_get remove "$package" >/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

echo "=== install ==="
apt_get install "$deb"
installed || fail "apt-get did not install $package"
dpkg-query -L "$package" >"$work/files"

echo "=== installed files ==="
[ "$(command -v morvane-flash)" = /usr/bin/morvane-flash ] || fail "morvane-flash is not /usr/bin/morvane-flash"
[ "$(morvane-flash --version)" = "morvane-flash $version" ] || fail "morvane-flash --version is not $version"
for page in morvane-flash rq75x-sim morvane-flasher; do
    file=$(man -w "$page") || fail "no manual page for $page"
    echo "$file"
    warnings=$(man --warnings -l "$file" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "the manual page of $page has faults: $warnings"
done
desktop-file-validate /usr/share/applications/morvane-flasher.desktop
for icon in scalable/apps/morvane-flasher.svg 48x48/apps/morvane-flasher.png; do
    [ -s "/usr/share/icons/hicolor/$icon" ] || fail "no icon $icon"
done

echo "=== the installed programs at work ==="
# The window starts and keeps running (it has no way to quit on its own).
status=0
QT_QPA_PLATFORM=offscreen timeout 3 morvane-flasher || status=$?
[ "$status" -eq 124 ] || fail "morvane-flasher ended with status $status instead of running"
# The command line reads the simulated chip's firmware information.
exec 3< <(exec rq75x-sim)
sim_pid=$!
read -r -t 10 -u 3 port || fail "rq75x-sim did not start"
morvane-flash info --port "$port" | tee "$work/info"
grep -q 'V2.4.1' "$work/info" || fail "morvane-flash info did not show the chip's answer"
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=
exec 3<&-

echo "=== remove ==="
apt_get remove "$package"
installed && fail "apt-get did not remove $package"
# Whatever of ours still exists must be a directory that another package owns as well.
left=0
while read -r path; do
    if [ -e "$path" ] && ! { [ -d "$path" ] && dpkg-query -S "$path" >/dev/null 2>&1; }; then
        echo "left behind: $path" >&2
        left=1
    fi
done <"$work/files"
[ "$left" -eq 0 ] || fail "files of $package are left after its removal"
echo "=== package stage passed ==="
