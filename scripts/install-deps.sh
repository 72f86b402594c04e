#!/usr/bin/env bash
# Installs every Debian package the build and the tests need. Idempotent: when
# everything is present it returns at once without touching the network.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config
  zlib1g-dev libdeflate-dev libpugixml-dev googletest libgtest-dev libbenchmark-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools libz-mingw-w64-dev
  libwine-dev wine wine64 wine32:i386
  zip unzip libarchive-tools python3 xfsprogs
  clang clang-tidy libclang-rt-14-dev
  debhelper lintian scdoc man-db bash-completion zsh fish systemd
  wixl msitools
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_i386=1
else
  need_i386=0
fi
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ] && [ "$need_i386" -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root)" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}" >&2
if [ "$need_i386" -eq 1 ]; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
