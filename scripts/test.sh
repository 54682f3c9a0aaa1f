#!/usr/bin/env bash
# Builds every preset (warnings are errors) and the release archive, then runs every test,
# on Debian 12 or 13. Installs what is missing first.
set -euo pipefail
cd "$(dirname "$0")/.."
# KDE's lock screen: on Debian 12 its greeter needs Qt 5's Wayland plugin; on Debian 13 Qt 6's, the
# layer-shell integration, and the QML modules of plasma-workspace for its theme.
case $(. /etc/os-release && echo "$VERSION_CODENAME") in
  bookworm) kde_greeter=(qtwayland5) ;;
  *) kde_greeter=(qt6-wayland layer-shell-qt plasma-workspace) ;;
esac
scripts/install-packages.sh cmake ninja-build g++ g++-mingw-w64-i686-win32 \
  g++-mingw-w64-x86-64-win32 python3 python3-pefile clang-format libxcb1-dev libxcb-randr0-dev \
  libwayland-dev libwayland-bin wayland-protocols plasma-wayland-protocols libsystemd-dev pkg-config \
  wine wine64 wine32:i386 xvfb xdotool weston xwayland strip-nondeterminism osslsigncode openssl \
  dpkg-dev lintian man-db x11-xserver-utils sway mutter kwin-wayland "${kde_greeter[@]}" \
  dbus python3-gi swayidle swaylock grim gnome-shell xscreensaver xdg-utils xss-lock i3lock xauth \
  gettext python3-xlib locales
export MOUSETRAP_REQUIRE_ALL=1  # a test whose tools or inputs are missing fails instead of skipping
cmake --workflow --preset release  # win32 configure and build, then the archive
cmake --workflow --preset win64    # the x86-64 twin that Wine runs where 32-bit programs cannot
cmake --workflow --preset deb      # the native program and its Debian package
status=0
cmake --workflow --preset host || status=$?
# ctest shows only "Skipped"; each skipped test left its reason in its folder.
for reason in build/host/tests/tmp/*/skipped; do
  [[ -e $reason ]] && echo "$(basename "$(dirname "$reason")") did not run: $(cat "$reason")"
done
exit "$status"
