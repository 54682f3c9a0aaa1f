#!/usr/bin/env bash
# Builds the Windows program, build/win32/mousetrap.exe, on Debian 12 or 13.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake ninja-build g++-mingw-w64-i686-win32
cmake --workflow --preset win32
echo "built: build/win32/mousetrap.exe"
