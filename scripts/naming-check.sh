#!/usr/bin/env bash
# The naming check (.clang-tidy) over the portable core's folders, on the
# native build's compile commands: scripts/naming-check.sh [BUILD_DIR].
# Prints each finding and ends with "naming: N passed, M failed", a file a
# pass; exits non-zero when any file has a finding.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
[ -f "$build/compile_commands.json" ] || { echo "naming: no compile_commands.json in $build"; echo "naming: 0 passed, 1 failed"; exit 1; }
cd "$root"
results="$(mktemp)"
trap 'rm -f "$results"' EXIT
# Each file apart, two at a time: a file with a finding prints it and "FAIL".
find log restore safemode recovery -name '*.cc' -print0 | sort -z |
  xargs -0 -n 1 -P "$(nproc)" sh -c '
    if out="$(clang-tidy -p "$0" --quiet --extra-arg=-Wno-unknown-warning-option "$1" 2>&1)"; then
      echo "PASS $1"
    else
      printf "%s\n" "$out" | grep -E "error:|warning:" ; echo "FAIL $1"
    fi' "$build" >"$results"
grep -v '^PASS ' "$results"
passed="$(grep -c '^PASS ' "$results")"
failed="$(grep -c '^FAIL ' "$results")"
echo "naming: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
