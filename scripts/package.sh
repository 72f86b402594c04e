#!/usr/bin/env bash
# Builds the Debian packages brightkeep, libbrightkeep4 and libbrightkeep-dev
# from debian/ with dpkg-buildpackage, in a copy of the source tree under
# build/deb (the tree itself is left as it was), and writes the .deb files
# into build/deb. The project's tests are not run again inside the build.
#
#   bash scripts/package.sh
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/deb"
version="$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)"
src="$out/brightkeep-$version"

rm -rf "$out"
mkdir -p "$src"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -

cd "$src"
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}"
dpkg-buildpackage -b -us -uc
ls "$out"/*.deb
