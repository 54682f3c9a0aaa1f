#!/usr/bin/env bash
# Builds the native program and runs it on the current X display, on Debian 12.
# Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
if [[ -z ${DISPLAY:-} ]]; then
  echo "run-x11.sh: DISPLAY is not set: run it from a terminal in an X11 session" >&2
  exit 2
fi
scripts/install-packages.sh cmake ninja-build g++ libxcb1-dev libxcb-randr0-dev
cmake --preset deb >/dev/null
cmake --build --preset deb --target mousetrap
exec build/deb/mousetrap
