#!/usr/bin/env bash
# Runs a Windows program under Wine in this project's throwaway prefix for one
# architecture, booting the prefix on first use:
#   scripts/wine-run.sh win32|win64 PROGRAM [ARG...]
# Prefixes live in $BK_WINE_ROOT/win32 and /win64 (default build/wine).
set -euo pipefail
arch="$1"; shift
root="$(cd "$(dirname "$0")/.." && pwd)"
export WINEPREFIX="${BK_WINE_ROOT:-$root/build/wine}/$arch"
export WINEARCH="$arch"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
case "$arch" in
  win32) loader=/usr/bin/wine ;;
  win64) loader=/usr/lib/wine/wine64 ;;
  *) echo "wine-run: unknown architecture $arch" >&2; exit 2 ;;
esac
# A prefix whose boot failed (a full disk, most often) makes every program
# run in it fail without a word, so the boot's failure is said and fatal, and
# the prefix is not marked booted.
if [ ! -f "$WINEPREFIX/.bk-booted" ]; then
  mkdir -p "$WINEPREFIX"
  if ! boot="$("$loader" wineboot -i 2>&1)"; then
    echo "wine-run: booting the $arch prefix $WINEPREFIX failed:" >&2
    tail -n 20 <<<"$boot" >&2
    df -h "$WINEPREFIX" >&2
    exit 125
  fi
  touch "$WINEPREFIX/.bk-booted"
fi
exec "$loader" "$@"
