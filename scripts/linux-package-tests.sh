#!/usr/bin/env bash
# The package stage: builds the two Debian packages (scripts/linux-package.sh) and checks them as
# a line PC and a desk would meet them:
#
#   1. lintian reports no error and no warning on either (informational tags are listed);
#   2. a clean Debian 12 root (debootstrap, minbase) gets the command-line package alone, with
#      apt-get: no Qt GUI library may come with it; its programs read the simulated chip's
#      firmware information there; removing and purging it leaves nothing of it;
#   3. this machine gets the command-line package, then the window's: the programs, manual pages,
#      desktop entry, icons and the station's systemd unit (systemd-analyze verify) are checked,
#      the window starts; both are removed (only the station's settings, a conffile, may stay),
#      then purged, and nothing of them is left.
#
# It changes the machine's installed packages: meant for CI, as root on a fresh machine, and
# refuses to run where either package is installed already. MORVANE_SKIP_CLEAN_ROOT=1 leaves out
# step 2 (it downloads a base system, about 60 MB).
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
cd "$repo"

cli=morvane-flash
window=morvane-flasher
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
apt_get() { "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -y -q -o DPkg::Lock::Timeout=120 "$@"; }
installed() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qx installed; }
known() { dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null | grep -qvx not-installed; }
fail() {
    echo "package stage: $*" >&2
    exit 1
}
started=$SECONDS

for package in "$cli" "$window"; do
    installed "$package" && fail "$package is installed on this machine already; remove it first"
done
scripts/apt-install.sh lintian debootstrap systemd

debs=$(scripts/linux-package.sh | tail -n 2)
cli_deb=$(sed -n 1p <<<"$debs")
window_deb=$(sed -n 2p <<<"$debs")
version=$(dpkg-deb -f "$cli_deb" Version)
upstream_version=${version%-*}
for deb in "$cli_deb" "$window_deb"; do
    echo "=== $(basename "$deb"): $(stat -c %s "$deb") bytes; Depends: $(dpkg-deb -f "$deb" Depends)"
done
dpkg-deb -f "$cli_deb" Depends | grep -q 'libqt6gui6\|libqt6widgets6' && fail "$cli depends on Qt GUI"

work=$(mktemp -d)
root="$work/root"
sim_pid=
unmount_root() {
    for mount in "$root/dev/pts" "$root/proc"; do
        if mountpoint -q "$mount" 2>/dev/null; then
            "${sudo_cmd[@]}" umount "$mount" || "${sudo_cmd[@]}" umount -l "$mount"
        fi
    done
}
cleanup() {
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    for package in "$window" "$cli"; do
        known "$package" && apt_get purge "$package" >/dev/null
    done
    unmount_root
    # Only once nothing is mounted inside it any more.
    if ! grep -q " $work/" /proc/self/mounts; then
        "${sudo_cmd[@]}" rm -rf "$work"
    fi
}
trap cleanup EXIT

# --- 1. lintian ------------------------------------------------------------------------------------
echo "=== lintian ==="
lintian_started=$SECONDS
# --fail-on: errors and warnings fail the stage; informational tags are shown.
status=0
lintian --display-info --fail-on error,warning "$cli_deb" "$window_deb" >"$work/lintian" 2>&1 || status=$?
grep -v '^running with root privileges' "$work/lintian" || true
[ "$status" -eq 0 ] || fail "lintian reports errors or warnings (above)"
echo "lintian: no errors, no warnings ($((SECONDS - lintian_started)) s)"

# --- 2. the command line alone on a clean root ---------------------------------------------------
# check_leftovers FILE_LIST [ROOT]: every path the package held is gone, or is a directory that
# another package still owns.
check_leftovers() {
    local list=$1 prefix=${2:-} left=0
    while read -r path; do
        if [ -e "$prefix$path" ] && ! { [ -d "$prefix$path" ] && in_root "$prefix" dpkg-query -S "$path" >/dev/null 2>&1; }; then
            echo "left behind: $path" >&2
            left=1
        fi
    done <"$list"
    return $left
}
in_root() {
    local prefix=$1
    shift
    if [ -n "$prefix" ]; then
        "${sudo_cmd[@]}" chroot "$prefix" "$@"
    else
        "$@"
    fi
}

if [ "${MORVANE_SKIP_CLEAN_ROOT:-0}" != 1 ]; then
    echo "=== $cli alone on a clean Debian 12 root ==="
    root_started=$SECONDS
    # The mirror this machine's apt uses.
    mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
    [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\?\([^ ]*\) bookworm main.*/\2/p' /etc/apt/sources.list 2>/dev/null | head -1)
    "${sudo_cmd[@]}" debootstrap --variant=minbase bookworm "$root" ${mirror:+"$mirror"} >"$work/debootstrap.log" 2>&1 ||
        { tail -20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
    echo "clean root: debootstrap in $((SECONDS - root_started)) s"
    "${sudo_cmd[@]}" cp /etc/resolv.conf "$root/etc/resolv.conf"
    # The machine's own apt settings (a mirror that is a snapshot needs Check-Valid-Until off).
    "${sudo_cmd[@]}" cp -r /etc/apt/apt.conf.d/. "$root/etc/apt/apt.conf.d/"
    "${sudo_cmd[@]}" mount -t proc proc "$root/proc"
    # Pseudo-terminals of its own for the simulated chip.
    "${sudo_cmd[@]}" mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts"
    "${sudo_cmd[@]}" ln -sf pts/ptmx "$root/dev/ptmx"
    "${sudo_cmd[@]}" cp "$cli_deb" "$root/tmp/"
    in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get -q update >/dev/null
    in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get -y -q --no-install-recommends \
        install "/tmp/$(basename "$cli_deb")" >"$work/root-install.log" ||
        { cat "$work/root-install.log" >&2; fail "apt-get could not install $cli on the clean root"; }
    sed -n '/NEW packages will be installed/,/^[^ ]/p' "$work/root-install.log" | sed '$d'
    in_root "$root" dpkg -l "$cli" | tail -n 1
    gui=$(in_root "$root" dpkg-query -W -f='${db:Status-Status}' libqt6gui6 2>/dev/null || true)
    [ "$gui" != installed ] || fail "libqt6gui6 was installed on the clean root with $cli"
    echo "clean root: dpkg -l libqt6gui6: $(in_root "$root" dpkg -l libqt6gui6 2>&1 | tail -n 1)"
    [ "$(in_root "$root" morvane-flash --version)" = "morvane-flash $upstream_version" ] ||
        fail "morvane-flash --version on the clean root is not $upstream_version"
    in_root "$root" sh -c 'rq75x-sim >/tmp/sim-port & echo $! >/tmp/sim-pid
        for i in $(seq 100); do [ -s /tmp/sim-port ] && break; sleep 0.1; done
        status=0
        morvane-flash info --port "$(head -n 1 /tmp/sim-port)" >/tmp/info || status=$?
        kill "$(cat /tmp/sim-pid)"; wait
        cat /tmp/info; exit $status' || fail "morvane-flash info failed on the clean root"
    in_root "$root" grep -q 'V2.4.1' /tmp/info || fail "morvane-flash info did not show the chip's answer on the clean root"
    in_root "$root" dpkg-query -L "$cli" >"$work/root-files"
    in_root "$root" env DEBIAN_FRONTEND=noninteractive apt-get -y -q purge "$cli" >/dev/null
    check_leftovers "$work/root-files" "$root" || fail "files of $cli are left on the clean root after its purge"
    unmount_root
    "${sudo_cmd[@]}" rm -rf "$root"
    echo "clean root: passed in $((SECONDS - root_started)) s"
fi

# --- 3. both packages on this machine ---------------------------------------------------------------
echo "=== install $cli, then $window ==="
apt_get install "$cli_deb"
installed "$cli" || fail "apt-get did not install $cli"
apt_get install "$window_deb"
installed "$window" || fail "apt-get did not install $window"
{ dpkg-query -L "$cli"; dpkg-query -L "$window"; } >"$work/files"

echo "=== installed files ==="
[ "$(command -v morvane-flash)" = /usr/bin/morvane-flash ] || fail "morvane-flash is not /usr/bin/morvane-flash"
[ "$(morvane-flash --version)" = "morvane-flash $upstream_version" ] || fail "morvane-flash --version is not $upstream_version"
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
for package in "$cli" "$window"; do
    for doc in copyright changelog.Debian.gz; do
        [ -s "/usr/share/doc/$package/$doc" ] || fail "$package has no /usr/share/doc/$package/$doc"
    done
done
unit=/lib/systemd/system/morvane-flash-station.service
[ -s "$unit" ] && [ -s /etc/default/morvane-flash-station ] || fail "the station's unit or its settings are missing"
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify $unit: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify $unit: $verify"
echo "systemd-analyze verify $unit: no findings"
[ "$(systemctl is-enabled morvane-flash-station.service 2>/dev/null)" = disabled ] ||
    fail "the station's unit is enabled after installing $cli"

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

echo "=== remove, then purge ==="
apt_get remove "$window" "$cli"
installed "$window" && fail "apt-get did not remove $window"
installed "$cli" && fail "apt-get did not remove $cli"
# What a removal keeps is the station's settings, for a later installation.
remaining=$(dpkg-query -W -f='${Conffiles}\n' "$cli" | awk 'NF {print $1}')
[ "$remaining" = /etc/default/morvane-flash-station ] || fail "after removal, $cli keeps: ${remaining:-nothing}"
apt_get purge "$window" "$cli"
known "$window" && fail "$window is still known to dpkg after its purge"
known "$cli" && fail "$cli is still known to dpkg after its purge"
check_leftovers "$work/files" || fail "files of the packages are left after their purge"
echo "=== package stage passed in $((SECONDS - started)) s ==="
