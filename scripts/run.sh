#!/usr/bin/env bash
# Builds the native program and runs it in the current desktop session (X11 or Wayland), on
# Debian 12 or 13. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake ninja-build g++ pkg-config libxcb1-dev libxcb-randr0-dev \
  libwayland-dev libwayland-bin wayland-protocols plasma-wayland-protocols libsystemd-dev gettext
cmake --preset deb >/dev/null
cmake --build --preset deb --target mousetrap messages  # the program and its catalogue
exec build/deb/mousetrap
