#!/usr/bin/env bash
# Builds the native program and runs it on the current X display, on Debian 12.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z ${DISPLAY:-} ]]; then
  echo "run-x11.sh: DISPLAY is not set: run it from an X11 session (or an XWayland terminal)" >&2
  exit 2
fi
scripts/install-packages.sh cmake ninja-build g++ python3 libxcb1-dev libxcb-randr0-dev \
  libwayland-dev libwayland-bin wayland-protocols plasma-wayland-protocols libsystemd-dev pkg-config
cmake --preset host >/dev/null
cmake --build --preset host --target mousetrap
exec build/host/mousetrap
