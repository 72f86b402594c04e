#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs them.
#   scripts/fuzz.sh TARGET SECONDS   run one target (log_loader, zip_reader,
#                                    restore, record_index) for that long on
#                                    its corpus
#   scripts/fuzz.sh smoke [SECONDS]  run every target briefly (default 5 s
#                                    each); ends with "fuzz: N passed, M failed"
# The seed corpus is tests/fuzz/corpus/TARGET; inputs found on the way go to
# build/fuzz/corpus/TARGET, crashes to build/fuzz/findings/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build/fuzz
targets=(log_loader zip_reader restore record_index)

usage() { echo "usage: scripts/fuzz.sh TARGET SECONDS | smoke [SECONDS]   (TARGET: ${targets[*]})" >&2; exit 2; }
[ $# -ge 1 ] || usage

build_targets() {
  if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBK_FUZZ=ON -DBK_BUILD_TESTS=OFF -DBK_BUILD_BENCH=OFF >/dev/null
  fi
  if ! cmake --build "$build" -j2 --target log_loader_fuzz zip_reader_fuzz restore_fuzz record_index_fuzz >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    echo "fuzz: 0 passed, ${#targets[@]} failed (build)"
    exit 1
  fi
}

# run TARGET SECONDS: 0 when the time ran out without a finding.
run() {
  local target=$1 seconds=$2
  local work=$build/corpus/$target findings=$build/findings/$target
  mkdir -p "$work" "$findings"
  local scratch rc=0
  scratch=$(mktemp -d "$( [ -d /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/bk-fuzz.XXXXXX")
  BK_FUZZ_SCRATCH=$scratch "$build/tests/fuzz/${target}_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work" "$root/tests/fuzz/corpus/$target" || rc=$?
  rm -rf "$scratch"
  return "$rc"
}

case $1 in
  smoke)
    seconds=${2:-5}
    build_targets
    passed=0 failed=0
    for t in "${targets[@]}"; do
      if run "$t" "$seconds" >"$build/$t.log" 2>&1; then
        passed=$((passed + 1))
      else
        failed=$((failed + 1))
        echo "fuzz: $t failed, see $build/$t.log" >&2
      fi
    done
    echo "fuzz: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    ;;
  *)
    [ $# -eq 2 ] || usage
    printf '%s\n' "${targets[@]}" | grep -qx "$1" || usage
    build_targets
    run "$1" "$2"
    ;;
esac
