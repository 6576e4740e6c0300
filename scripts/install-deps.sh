#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, test and run the flasher.
# Idempotent: packages already present are left alone. Needs root (or sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev
  libudev-dev udev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth
  dpkg-dev file librsvg2-bin man-db desktop-file-utils
)

exec "$(dirname "$0")/apt-install.sh" "${packages[@]}"
