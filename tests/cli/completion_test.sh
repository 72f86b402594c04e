#!/usr/bin/env bash
# Drives the bash completion of the command as bash-completion would, in a
# scratch folder holding one folder and one file, and compares the
# candidates it offers with what each case expects:
#   completion_test.sh BRIGHTKEEP COMPLETION_FILE
set -uo pipefail
bk="$(realpath "$1")"
source /usr/share/bash-completion/bash_completion
source "$2"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work" && mkdir rollback && : >list.txt

failed=0
passed=0
# expect "WORDS BEFORE THE CURSOR" "CURRENT WORD" "EXPECTED CANDIDATES (sorted)"
expect() {
  local -a before
  read -ra before <<<"$1"
  COMP_WORDS=("$bk" "${before[@]}" "$2")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE="${COMP_WORDS[*]}"
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  _brightkeep 2>/dev/null
  local got
  got="$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort -u | tr '\n' ' ')"
  if [ "$got" = "$3 " ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: brightkeep $1 '$2': got '$got', expected '$3 '"
  fi
}

expect "" "" "assess help inspect protect revert rollback"
expect "" "--" "--help --version"
expect "protect" "--" "-- --backup --files-from --help --keep --keep-log --kill --null --quiet --temp --tree --trust-folder --wait"
expect "protect --temp" "" "rollback"                   # folders only
expect "protect --backup" "" "list.txt rollback"        # files
expect "protect --files-from" "l" "list.txt"
expect "assess" "" "rollback"
expect "assess" "--" "--help --json --trust-folder"
expect "rollback rollback" "--d" "--delete-logs --dry-run"
expect "inspect" "" "list.txt rollback"
expect "protect --temp rollback --backup b.zip list.txt --" "printf" "printf"  # the command to run

echo "completion: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
