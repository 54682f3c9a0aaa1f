#!/usr/bin/env bash
# Installs the named Debian packages that are missing (as root, or through sudo).
# Packages named NAME:i386 turn on the i386 architecture first.
set -euo pipefail

missing=()
for package in "$@"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ $status == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "missing Debian packages: ${missing[*]}" >&2
    echo "install them as root (su -c 'apt-get install ${missing[*]}'), then run this again" >&2
    exit 1
  fi
  as_root=(sudo)
fi
if [[ " ${missing[*]}" == *":i386"* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${as_root[@]}" dpkg --add-architecture i386
fi
echo "installing: ${missing[*]}"
install=("${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends)
if "${as_root[@]}" apt-get update -qq; then
  # Through env, since sudo would drop the variable and a question would then wait unseen.
  "${install[@]}" "${missing[@]}" >/dev/null
  exit 0
fi
# A mirror caught mid-sync serves some index (one architecture of the security suite, say) that
# apt then ignores: i386 and amd64 copies of a library can then no longer be had at one version.
# The release's own suite has every index whole, so its versions are preferred on a second try.
echo "apt-get update failed for some index; installing from the lists there are" >&2
"${install[@]}" "${missing[@]}" >/dev/null 2>&1 ||
  "${install[@]}" -o APT::Default-Release="$(. /etc/os-release && echo "$VERSION_CODENAME")" "${missing[@]}" >/dev/null
