#!/usr/bin/env bash
# Unpacks Qt 6 for Windows x86-64 (built with Debian's mingw-w64) into a build folder and prints
# the Qt prefix, for the cross build of the window (scripts/windows-tests.sh,
# scripts/windows-package.sh). Never touches the source tree or the system.
#
#   scripts/windows-qt.sh FOLDER     -> prints FOLDER/qt6-mingw-6.4.2
#
# The archive is qt6-mingw-6.4.2.tar.xz, looked for in MORVANE_QT_MINGW (the archive itself or the
# folder holding it), else in ../shared/qt6-mingw/ beside the repository. Unpacked again only when
# the archive changes. Exit status 3, with directions on standard error, when there is none.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -ne 1 ]; then
    echo "usage: $0 FOLDER" >&2
    exit 2
fi
folder=$1
version=6.4.2
name=qt6-mingw-$version

archive=""
for candidate in "${MORVANE_QT_MINGW:-}" "$repo/../shared/qt6-mingw"; do
    [ -n "$candidate" ] || continue
    [ -d "$candidate" ] && candidate="$candidate/$name.tar.xz"
    if [ -f "$candidate" ]; then
        archive=$(realpath "$candidate")
        break
    fi
done

if [ -z "$archive" ]; then
    cat >&2 <<EOF
Qt for Windows (mingw-w64) was not found: no $name.tar.xz in \$MORVANE_QT_MINGW
(${MORVANE_QT_MINGW:-not set}) nor in $(realpath -m "$repo/../shared/qt6-mingw").
To build the window for Windows, get Qt 6 for mingw-w64 in one of these ways:
  - make the archive: scripts/build-qt6-mingw.sh builds qtbase $version from Debian 12's
    qt6-base source package with g++-mingw-w64-x86-64-posix (about 40 minutes on 2 cores, as
    root) and writes $name.tar.xz into the current folder; then run again with
    MORVANE_QT_MINGW=/path/to/$name.tar.xz, or put it in ../shared/qt6-mingw/;
  - or build natively on Windows with Qt's own installer, as docs/windows.md describes.
EOF
    exit 3
fi

mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
stamp="$folder/.$name.from"
fingerprint="$archive $(stat -c '%s %Y' "$archive")"
if [ ! -f "$folder/$name/lib/cmake/Qt6/qt.toolchain.cmake" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$fingerprint" ]; then
    echo "windows-qt: unpacking $archive into $folder" >&2
    rm -rf "${folder:?}/$name" "$stamp"
    tar -xJf "$archive" -C "$folder"
    echo "$fingerprint" >"$stamp"
fi
echo "$folder/$name"
