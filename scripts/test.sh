#!/usr/bin/env bash
# The test command: installs what is missing, builds the native, asan, win32
# and win64 presets, runs the native tests with CTest (plainly and under the
# sanitizers) and every Windows test program under Wine (one fresh 32-bit and
# one fresh 64-bit prefix, each booted once), then prints one line
# "N passed, M failed, K skipped". Exits non-zero when anything failed.
#
# It finds out once whether this machine can run 32-bit programs. Where it
# cannot (or BK_NO_32BIT=1 asks it to act as if), the win32 preset is still
# built and checked without running it (imports, exports, and its type library
# read by the 64-bit checker, which runs on every machine), and the 32-bit Wine
# test programs are reported as skipped in one line.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
log="$root/build/test-logs"

bash scripts/install-deps.sh || { echo "install-deps failed"; echo "0 passed, 1 failed"; exit 1; }
mkdir -p "$log"

passed=0
failed=0
skipped=0
note_failure() { echo "FAILED: $*"; failed=$((failed + 1)); }
# Starts a stage of the run, saying how long the run has taken so far and the
# free space of the build folder and of the temporary one (a full disk shows
# itself as programs that fail without a word, Wine's most of all).
stage() {
  echo "== $* (at $(( $(date +%s) - start )) s; free: $(free_space "$root/build") in build, $(free_space "${TMPDIR:-/tmp}") in ${TMPDIR:-/tmp})"
}
free_space() { df -h --output=avail "$1" 2>/dev/null | tail -n 1 | tr -d ' '; }

# Builds a preset, or waits for its build started by build_in_background.
declare -A background=()
build() {
  local preset="$1" status
  stage "build $preset"
  if [ -n "${background[$preset]:-}" ]; then
    wait "${background[$preset]}"; status=$?
  else
    configure_and_build "$preset"; status=$?
  fi
  if [ "$status" -ne 0 ]; then
    tail -n 40 "$log/configure-$preset.txt" "$log/build-$preset.txt"
    note_failure "build of $preset"
    return 1
  fi
}

configure_and_build() {
  cmake --preset "$1" >"$log/configure-$1.txt" 2>&1 &&
    ${2:-} cmake --build --preset "$1" -j "$(nproc)" >"$log/build-$1.txt" 2>&1
}

# Starts a preset's build while tests that leave a core idle run (the
# Windows programs run one at a time), below their priority.
build_in_background() {
  configure_and_build "$1" "nice -n 10" &
  background[$1]=$!
}

# Adds the counts of a "N passed, M failed" style result.
add_counts() { passed=$((passed + $1)); failed=$((failed + $2)); skipped=$((skipped + ${3:-0})); }

# Sets `result` to the last line of FILE matching the extended regex PATTERN;
# when there is none, shows the end of FILE, notes MESSAGE (with the exit
# status, when given) as a failure and fails:
# find_result FILE PATTERN MESSAGE [EXIT_STATUS]
find_result() {
  result="$(grep -a -E "$2" "$1" | tail -n 1 | tr -d '\r')"
  [ -n "$result" ] && return
  echo "   --- last lines of $1 (free: $(free_space "$root/build") in build, $(free_space "${TMPDIR:-/tmp}") in ${TMPDIR:-/tmp})"
  tail -n 40 "$1"
  note_failure "$3${4:+ (exit status $4)}"; return 1
}

# The number that the group in PATTERN (an extended regex) matches in
# `result`, or DEFAULT when it does not match: result_number PATTERN [DEFAULT]
result_number() {
  local n
  n="$(sed -nE "s/.*$1.*/\1/p" <<<"$result")"
  echo "${n:-${2:-}}"
}

# Prints the end of what each failed test wrote (CTest's --output-on-failure
# puts it after the test's status line), so that a failure elsewhere can be read.
show_failed_output() {
  awk '/^ *[0-9]+\/[0-9]+ Test +#/ { if (keep) flush(); keep = ($0 ~ /\*\*\*|Failed|Timeout|SEGFAULT/); n = 0 }
       keep { lines[n++ % 30] = $0 }
       END { if (keep) flush() }
       function flush(  i) { for (i = (n > 30 ? n - 30 : 0); i < n; i++) print "   | " lines[i % 30]; keep = 0 }' "$1"
}

# Builds a native preset and runs its tests with CTest: run_ctest PRESET [CTEST ARGS...]
run_ctest() {
  local preset="$1"; shift
  build "$preset" || return
  stage "$preset tests (CTest)"
  local out="$log/ctest-$preset.txt"
  ctest --test-dir "build/$preset" --output-on-failure -j "$(nproc)" "$@" >"$out" 2>&1
  local total nfail nskip
  find_result "$out" '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' \
    "$preset: ctest produced no summary" || return
  total="$(result_number 'out of ([0-9]+)')"
  nfail="$(result_number 'passed, ([0-9]+) tests? failed')"
  nskip="$(grep -cE '^[[:space:]]*[0-9]+ - .*\(Skipped\)' "$out")"
  echo "   $result ($nskip skipped)"
  [ "$nfail" -gt 0 ] && grep -E '\(Failed\)|\(SEGFAULT\)|\(Timeout\)|Exception' "$out" | head -40 && show_failed_output "$out"
  add_counts $((total - nfail - nskip)) "$nfail" "$nskip"
}

# Windows binaries carry their runtimes and zlib: each may import system DLLs only.
check_imports() {
  local arch="$1" f bad=0 dll
  while read -r f; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$f" | awk '/DLL Name:/ {print $3}'); do
      case "${dll,,}" in
        kernel32.dll|msvcrt.dll|ole32.dll|oleaut32.dll|shell32.dll|advapi32.dll|version.dll|user32.dll) ;;
        *) echo "   $f imports $dll"; bad=1 ;;
      esac
    done
  done < <(find "build/$arch" -path "build/$arch/CMakeFiles" -prune -o \( -name '*.exe' -o -name '*.dll' \) -print)
  if [ "$bad" -eq 0 ]; then add_counts 1 0; else note_failure "$arch: binaries import non-system DLLs"; fi
}

# Runs a command that ends with "LABEL: N passed, M failed" and counts its
# result; its output goes to build/test-logs/NAME.txt:
# run_summary NAME LABEL COMMAND [ARGS...]
run_summary() {
  local name="$1" label="$2" out p f status
  shift 2
  out="$log/$name.txt"
  "$@" >"$out" 2>&1 </dev/null
  status=$?
  find_result "$out" "^$label: [0-9]+ passed, [0-9]+ failed" "$name: $label tests ended without their summary" "$status" || return
  p="$(result_number "$label: ([0-9]+) passed")"
  f="$(result_number ' ([0-9]+) failed')"
  echo "   $label tests: $p passed, $f failed"
  [ "$f" -gt 0 ] && grep -a -E 'FAIL|crash|ERROR' "$out" | head -30
  add_counts "$p" "$f"
}

# Runs a Windows script suite: run_suite ARCH LABEL SCRIPT [ARGS...]
run_suite() {
  local arch="$1" label="$2" script="$3"
  shift 3
  run_summary "$arch-$label" "$label" bash "$script" "$arch" "$@"
}

# Counts the sentinel line "BK-TEST-RESULT passed=N failed=M skipped=K" that
# a Windows test program prints last: count_sentinel OUT NAME WHAT STATUS
count_sentinel() {
  local out="$1" name="$2" p f s
  find_result "$out" 'BK-TEST-RESULT' "$3 ended without its result line" "$4" || return
  p="$(result_number 'passed=([0-9]+)')"
  f="$(result_number 'failed=([0-9]+)')"
  s="$(result_number 'skipped=([0-9]+)' 0)"
  echo "   $name: $p passed, $f failed, $s skipped"
  [ "$f" -gt 0 ] && grep -a -E '^\[  FAILED  \]|Failure|error:|Expected|Which is' "$out" | head -30
  add_counts "$p" "$f" "$s"
}

# Runs every test program of one Windows build (built already) under Wine
# and counts the results from the sentinel line each program prints last.
run_wine() {
  local arch="$1"
  check_imports "$arch"
  export BK_WINE_ROOT="$root/build/wine-ci"
  rm -rf "$BK_WINE_ROOT/$arch"
  stage "$arch tests (Wine)"
  local list="build/$arch/test-programs.txt" prog exe out
  [ -f "$list" ] || { note_failure "$arch: no test program list"; return; }
  while read -r prog; do
    [ -n "$prog" ] || continue
    exe="$(find "build/$arch/tests" -name "$prog.exe" | head -1)"
    out="$log/$arch-$prog.txt"
    if [ -z "$exe" ]; then note_failure "$arch: $prog.exe not built"; continue; fi
    (cd "$(dirname "$exe")" && timeout 400 "$root/scripts/wine-run.sh" "$arch" "./$prog.exe") >"$out" 2>&1 </dev/null
    count_sentinel "$out" "$prog" "$arch: $prog" "$?"
  done <"$list"
  run_suite "$arch" COM scripts/com-tests.sh
  run_suite "$arch" CLI tests/cli/wine_cli_test.sh
  run_summary "$arch-msi" MSI bash scripts/msi-tests.sh "$arch"
  if [ "$arch" = win64 ]; then
    check_win32_typelib
    stage "both MSIs' tables, read with msiinfo"
    run_summary msi-tables MSI bash scripts/msi-tests.sh tables build/win32 build/win64
  fi
  WINEPREFIX="$BK_WINE_ROOT/$arch" wineserver -k >/dev/null 2>&1 || true
  rm -rf "${BK_WINE_ROOT:?}/$arch"  # a booted prefix holds over a gigabyte
}

# The win32 DLL's type library, read as data by the 64-bit checker: the same
# checks as in its own prefix, with the target's layout, on every machine.
check_win32_typelib() {
  local dll="$root/build/win32/Brightkeep.dll" out="$log/win32-typelib-from-win64.txt"
  [ -f "$dll" ] || { note_failure "win32: no Brightkeep.dll to check"; return; }
  stage "win32 type library, read by the 64-bit checker"
  (cd build/win64/tests/component/com &&
     BK_COM_TARGET=win32 BK_COM_DLL="Z:${dll//\//\\}" timeout 300 "$root/scripts/wine-run.sh" win64 ./typelib_checker.exe) \
    >"$out" 2>&1 </dev/null
  count_sentinel "$out" "typelib_checker (win32 DLL)" "win32: the type-library check" "$?"
}

# Where 32-bit programs cannot run: builds win32 and checks what needs no
# 32-bit execution; counts the 32-bit Wine test programs as skipped.
check_win32_without_running() {
  build win32 || return
  check_imports win32
  run_suite win32 COM scripts/com-tests.sh build/win32 --binary-only
  local programs
  programs=$(( $(grep -c . build/win32/test-programs.txt) + 3 ))  # + the COM, CLI and MSI suites
  echo "   win32: skipped $programs 32-bit Wine test programs and suites (COM, CLI, the MSI installation): 32-bit programs are not run here ($why_no_32bit)"
  skipped=$((skipped + programs))
}

# Sets why_no_32bit when 32-bit programs cannot run here (or BK_NO_32BIT=1).
why_no_32bit=""
if [ "${BK_NO_32BIT:-0}" != 0 ]; then
  why_no_32bit="forced by BK_NO_32BIT=$BK_NO_32BIT"
elif ! probe="$(/usr/lib/wine/wine --version 2>&1)"; then
  why_no_32bit="$(head -n 1 <<<"$probe" | sed -E 's/^.*line [0-9]+: //')"
fi

start=$(date +%s)
run_ctest native
stage "naming check (clang-tidy) of the portable core"
run_summary naming naming bash scripts/naming-check.sh
stage "fuzz targets (libFuzzer, a short run each)"
run_summary fuzz-smoke fuzz bash scripts/fuzz.sh smoke 10
stage "Debian packages: built, checked with lintian, installed and used"
run_summary packages packages bash tests/packaging/debian_test.sh
# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer, but for
# the multi-gigabyte archives, which take minutes there and add nothing new.
# The fault sweeps fault every 7th operation there instead of every one: each
# kind of operation and each path through the error handling is still reached,
# and the native run above covers every single point.
BK_SWEEP_STRIDE=7 run_ctest asan -E '^Large\.'
if [ -z "$why_no_32bit" ]; then
  if build win32; then
    build_in_background win64
    run_wine win32
  fi
else
  check_win32_without_running
fi
build win64 && run_wine win64
echo "== done in $(( $(date +%s) - start )) s; logs in build/test-logs"
echo "$passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
