#!/usr/bin/env bash
# Runs the whole test suite in a fresh root of the named Debian release (bookworm, trixie), as
# root: debootstrap (minbase) into a folder of this run's own, a clone of this repository's HEAD
# there, then the project's own install step and scripts/test.sh inside it.
#
# All of it, debootstrap included, runs in a mount and a PID namespace of the run's own (this
# script once more, with MOUSETRAP_ROOT set), so every mount and process made there ends with
# the run, also when it is killed (SIGKILL included: the namespace's first process dies with this
# script, and every other one with it). The root itself is removed at exit, or else by the next
# run.
set -euo pipefail
release=${1:-}
case $release in
  bookworm | trixie) ;;
  *) echo "usage: $0 bookworm|trixie" >&2 && exit 2 ;;
esac
cd "$(dirname "$0")/.."
mirror=http://deb.debian.org/debian

if [[ -n ${MOUSETRAP_ROOT:-} ]]; then
  root=$MOUSETRAP_ROOT
  began=$SECONDS
  echo "debootstrap $release into $root"
  log=$(debootstrap --variant=minbase "$release" "$root" "$mirror" 2>&1) ||
    { tail -20 <<<"$log" >&2 && exit 1; }
  # The release and its updates, not the security suite: a mirror caught mid-sync has served that
  # suite's i386 index broken, and then amd64 libraries taken from it (with git, before i386 is
  # turned on) have no i386 twins of their version, which wine32:i386 needs. A root of one run
  # needs versions that agree across architectures more than the latest fixes.
  cat >"$root/etc/apt/sources.list" <<EOF
deb $mirror $release main
deb $mirror $release-updates main
EOF
  cp /etc/hosts /etc/resolv.conf "$root/etc/"
  git -c safe.directory="$PWD" clone -q "$PWD" "$root/root/mousetrap"
  echo "root made in $((SECONDS - began)) s"
  # The root bound onto itself (a mount point, so that a test's own unshare --mount can change
  # its propagation), /proc of the new PID namespace, the host's /dev and /sys bound in, a /run
  # of its own; then the install step and the test command with a clean environment.
  mount --bind "$root" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --rbind /sys "$root/sys"
  mount -t tmpfs tmpfs "$root/run"
  exec chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    CI="${CI:-}" bash -c "cd /root/mousetrap && scripts/install-packages.sh git && exec scripts/test.sh"
fi

[[ $(id -u) -eq 0 ]] || { echo "$0: debootstrap needs root: sudo $0 $release" >&2 && exit 2; }
scripts/install-packages.sh debootstrap git
# A root is named after its run's process; one whose run is gone was left by a run killed outright.
for old in "${TMPDIR:-/var/tmp}"/mousetrap-debian-*-*; do
  pid=${old#*/mousetrap-debian-} && pid=${pid%%-*}
  if [[ -e $old ]] && ! kill -0 "$pid" 2>/dev/null; then
    rm -rf --one-file-system "$old" || echo "$0: could not remove $old" >&2
  fi
done
root=$(mktemp -d "${TMPDIR:-/var/tmp}/mousetrap-debian-$$-XXXXXXXX")
clean_up() {
  local status=$?
  trap - EXIT INT TERM
  if [[ -n ${inside:-} ]]; then
    kill -KILL "$inside" 2>/dev/null || true  # and so every process of its PID namespace
    wait "$inside" 2>/dev/null || true
  fi
  rm -rf --one-file-system "$root" || echo "$0: could not remove $root" >&2
  exit "$status"
}
trap clean_up EXIT
trap 'exit 143' TERM
trap 'exit 130' INT
chmod 755 "$root"

MOUSETRAP_ROOT=$root setpriv --pdeathsig KILL unshare --mount --pid --fork --kill-child \
  --propagation private "$PWD/scripts/test-in-debian.sh" "$release" &
inside=$!
status=0
wait "$inside" || status=$?
inside=
exit "$status"
