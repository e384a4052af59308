#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Called by the Makefile before every configure; a no-op on a prepared machine.
set -eu
packages=(cmake ninja-build ccache g++ googletest libbenchmark-dev libcli11-dev libfmt-dev
          gcc-mingw-w64-i686 g++-mingw-w64-i686 gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64
          binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 mingw-w64-i686-dev mingw-w64-x86-64-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
