#!/usr/bin/env bash
# The Windows command line, brightkeep.exe, as a user meets it under Wine:
# a protected change that fails is undone (a whole tree too), one that
# succeeds leaves a backup,
# and a period whose owner is killed with SIGKILL is found by assess and
# brought back by rollback.
#   tests/cli/wine_cli_test.sh win32|win64 [BUILD_DIR]
# Prints one line per check and ends with "CLI: N passed, M failed".
set -uo pipefail
arch="${1:?usage: wine_cli_test.sh win32|win64 [BUILD_DIR]}"
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(cd "${2:-$root/build/$arch}" && pwd)"
exe="$build/cli/brightkeep.exe"
passed=0
failed=0
check() {  # check DESCRIPTION COMMAND...
  local what="$1"; shift
  if "$@"; then passed=$((passed + 1)); echo "ok: $what"; else failed=$((failed + 1)); echo "FAIL: $what"; fi
}
win() { local p="${1//\//\\}"; echo "Z:$p"; }
bk() { "$root/scripts/wine-run.sh" "$arch" "$exe" "$@"; }
# Kills with SIGKILL every process whose command line holds TEXT, one of this
# run's own paths, so that runs side by side leave each other alone.
kill_holding() { ps -eo pid=,args= | TEXT="$1" awk 'index($0, ENVIRON["TEXT"]) {print $1}' | xargs -r kill -9 2>/dev/null; }

[ -f "$exe" ] || { echo "FAIL: $exe not built"; echo "CLI: 0 passed, 1 failed"; exit 1; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/data/sub"
printf 'first original\r\n' >"$work/data/a.txt"
printf 'second original' >"$work/data/sub/b.txt"
cp -a "$work/data" "$work/before"
A="$(win "$work/data/a.txt")"; B="$(win "$work/data/sub/b.txt")"; T="$(win "$work/rb")"

# A failing command: its changes are undone and its status comes back.
bk protect --temp "$T" --backup "$(win "$work/fail.zip")" "$A" "$B" -- cmd /c "echo changed> $A & del $B & exit 3" >"$work/out1.txt" 2>&1
status=$?
check "protect returns the failing command's status" [ "$status" -eq 3 ]
check "a failed change is undone byte for byte" diff -r "$work/before" "$work/data"
check "no backup is made for a failed change" [ ! -e "$work/fail.zip" ]

# A whole tree: what the failing command added goes, what it changed or
# removed comes back.
D="$(win "$work/data")"
bk protect --temp "$T" --backup "$(win "$work/tree.zip")" --tree "$D" -- \
  cmd /c "echo changed> $A & mkdir $D\\new & echo added> $D\\new\\c.txt & rmdir /s /q $D\\sub & exit 4" >"$work/out0.txt" 2>&1
check "protect --tree returns the failing command's status" [ "$?" -eq 4 ]
check "a failed change to a tree is undone, added entries removed" diff -r "$work/before" "$work/data"

# A succeeding command: the change stays, the backup holds the drive archive and the log.
bk protect --temp "$T" --backup "$(win "$work/ok.zip")" "$A" -- cmd /c "echo kept> $A" >"$work/out2.txt" 2>&1
check "protect succeeds with the command" [ "$?" -eq 0 ]
check "a successful change stays" grep -q kept "$work/data/a.txt"
check "the backup archive holds the drive archive and the log" \
  bash -c "unzip -l '$work/ok.zip' | grep -q -- '-1.zip' && unzip -l '$work/ok.zip' | grep -q '.xml'"
check "the temporary folder is left empty" [ -z "$(ls -A "$work/rb")" ]
cp "$work/data/a.txt" "$work/before/a.txt"

# A period whose owner dies: assess finds it, rollback brings the files back.
bk protect --temp "$T" --backup "$(win "$work/crash.zip")" "$A" "$B" -- \
  cmd /c "echo crashed> $A & ping -n 60 127.0.0.1 >nul" >"$work/out3.txt" 2>&1 &
for _ in $(seq 1 100); do grep -q crashed "$work/data/a.txt" 2>/dev/null && break; sleep 0.2; done
# The owner first, then the command it ran; the command's ping ends by itself.
kill_holding "--temp $T"; kill_holding "$(win "$work")"; wait 2>/dev/null
check "the killed change had started" grep -q crashed "$work/data/a.txt"
# The period stays in progress until the system has let go of the killed
# processes' files.
for _ in $(seq 1 150); do
  bk assess "$T" --json >"$work/assess.json" 2>&1
  python3 -c "import json,sys; sys.exit(1 if json.load(open(sys.argv[1]))['in_progress'] else 0)" "$work/assess.json" && break
  sleep 0.2
done
check "assess lists the unfinished period" \
  python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if len(d['unfinished'])==1 else 1)" "$work/assess.json"
bk rollback "$T" --delete-logs >"$work/out4.txt" 2>&1
check "rollback succeeds" [ "$?" -eq 0 ]
check "rollback brings every file back" diff -r "$work/before" "$work/data"
bk assess "$T" --json >"$work/assess2.json" 2>&1
check "nothing is left unfinished" \
  python3 -c "import json,sys; d=json.load(open(sys.argv[1])); sys.exit(0 if not d['unfinished'] else 1)" "$work/assess2.json"

[ "$failed" -eq 0 ] || tail -n +1 "$work"/out*.txt
echo "CLI: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
