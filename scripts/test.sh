#!/usr/bin/env bash
# Builds both presets (warnings are errors) and runs every test, on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-packages.sh cmake ninja-build g++ g++-mingw-w64-i686-win32 python3 python3-pefile clang-format
export MOUSETRAP_REQUIRE_ALL=1  # a test whose tools or inputs are missing fails instead of skipping
cmake --workflow --preset win32
cmake --workflow --preset host
