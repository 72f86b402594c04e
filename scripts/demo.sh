#!/usr/bin/env bash
# The demonstration: builds the `brightkeep` command if needed, then tells a
# short story on real files in a temporary folder:
#   1. a set of files is protected and a change to them starts;
#   2. the change is cut short by kill -9 in the middle;
#   3. `brightkeep assess` shows the unfinished period;
#   4. `brightkeep rollback` brings every file back, checked byte for byte;
#   5. a protected change that succeeds leaves a backup archive.
# Everything it creates outside build/ is removed at the end.
#
#   bash scripts/demo.sh
# With BRIGHTKEEP=/path/to/brightkeep it uses that command and builds nothing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

if [ -t 1 ]; then bold=$'\e[1m'; green=$'\e[32m'; red=$'\e[31m'; plain=$'\e[0m'; else bold=; green=; red=; plain=; fi
chapter() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
show() { printf '%s$ %s%s\n' "$bold" "$*" "$plain"; "$@"; }
brightkeep() { printf '%s$ brightkeep %s%s\n' "$bold" "$*" "$plain"; "$bk" "$@"; }

# --- What the demonstration needs -------------------------------------------
chapter "Preparing: build tools and the brightkeep command"
if ! bash scripts/install-deps.sh; then
  if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    echo "Installing the missing packages needs root; asking sudo."
    sudo bash scripts/install-deps.sh
  else
    exit 1
  fi
fi
if [ -n "${BRIGHTKEEP:-}" ]; then
  bk="$BRIGHTKEEP"  # a command built or installed elsewhere
else
  buildlog="$(mktemp)"
  echo "Building build/native (target brightkeep_cli; the first build takes a few minutes)..."
  if ! { cmake --preset native && cmake --build --preset native --target brightkeep_cli; } >"$buildlog" 2>&1; then
    tail -n 30 "$buildlog"
    rm -f "$buildlog"
    echo "${red}The build failed.${plain}" >&2
    exit 1
  fi
  rm -f "$buildlog"
  bk="$root/build/native/cli/brightkeep"
fi
brightkeep --version

# --- The scene --------------------------------------------------------------
work="$(mktemp -d "${TMPDIR:-/tmp}/brightkeep-demo.XXXXXX")"
owner=
cleanup() {
  if [ -n "$owner" ]; then kill -9 "$owner" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

mkdir -p project/docs
printf '[server]\nport = 8080\nworkers = 4\n' > project/config.ini
printf 'Meeting notes\n- ship on Friday\n' > project/notes.txt
seq 1 20000 | awk '{ printf "%d,%d,%s\n", $1, $1 * 7 % 1000, "row" }' > project/docs/report.csv
head -c 1048576 /dev/urandom > project/photo.bin
cp -a project pristine
files=(project/config.ini project/notes.txt project/docs/report.csv project/photo.bin)

chapter "1. Protecting four files while a change runs"
echo "Working in $work"
# The change rewrites the files one by one, announces that it is half way,
# and would go on for a while.
change='printf "[server]\nport = 9999\n" > project/config.ini
rm project/notes.txt
: > project/docs/report.csv
head -c 65536 /dev/zero | dd of=project/photo.bin conv=notrunc status=none
touch halfway
exec sleep 60'
printf '%s$ %s%s\n' "$bold" "brightkeep protect --temp rollback --backup backup.zip ${files[*]} -- sh -c '<change>' &" "$plain"
"$bk" protect --temp rollback --backup backup.zip "${files[@]}" -- sh -c "$change" &
owner=$!
while [ ! -e halfway ]; do
  if ! kill -0 "$owner" 2>/dev/null; then echo "${red}protect ended early${plain}" >&2; exit 1; fi
  sleep 0.05
done

chapter "2. The change is cut short: kill -9 in the middle"
child="$(cat "/proc/$owner/task/$owner/children")"
child="${child%% *}"
echo "brightkeep (pid $owner) owns the period; the change runs as its child (pid $child)."
echo "kill -9 gives neither a chance to finish or undo anything, as a crash or a power cut would not."
printf '%s$ kill -9 %s %s%s\n' "$bold" "$owner" "$child" "$plain"
# (The shell's own "Killed" notice is kept out of the story.)
{ kill -9 "$owner" "$child"; wait "$owner"; } 2>/dev/null || true
owner=
# The period stays in progress until the system has let go of the killed
# processes' files (their lock on the period).
for _ in $(seq 1 250); do
  report="$("$bk" assess rollback --json || true)"
  case "$report" in *'"in_progress": []'*) break ;; esac
  sleep 0.02
done
echo "What the change left behind:"
for f in "${files[@]}"; do
  if [ ! -e "$f" ]; then echo "  $f: deleted"; elif cmp -s "$f" "pristine/${f#project/}"; then echo "  $f: unchanged"; else echo "  $f: changed"; fi
done

chapter "3. A later start: what did the crash leave unfinished?"
brightkeep assess rollback || [ $? -eq 3 ]  # 3: there is something to roll back

chapter "4. Rolling the unfinished period back"
brightkeep rollback rollback --delete-logs
echo "Checking every file byte for byte against a copy taken before the change:"
all_back=1
for f in "${files[@]}"; do
  if cmp -s "$f" "pristine/${f#project/}"; then
    echo "  ${green}identical${plain}  $f"
  else
    echo "  ${red}DIFFERENT${plain}  $f"
    all_back=0
  fi
done
if [ "$all_back" -ne 1 ]; then
  echo "${red}Not every file came back.${plain}" >&2
  exit 1
fi
echo "${green}Every file is back exactly as it was.${plain}"

chapter "5. A protected change that succeeds"
printf '%s$ brightkeep protect --temp rollback --backup backup.zip project/notes.txt -- sh -c %s%s\n' \
  "$bold" "'echo \"- moved to Monday\" >> project/notes.txt'" "$plain"
"$bk" protect --temp rollback --backup backup.zip project/notes.txt -- \
  sh -c 'echo "- moved to Monday" >> project/notes.txt'
show cat project/notes.txt
echo "Safe mode ended: the temporary folder holds nothing of the period..."
show ls -A rollback
[ -z "$(ls -A rollback)" ] && echo "(empty)"
echo "...and the backup archive holds the period's drive archive and its log:"
show unzip -l backup.zip
inner="$(unzip -Z1 backup.zip | grep -- '-1\.zip$')"
unzip -p backup.zip "$inner" > inner.zip
echo "The drive archive holds the files as they were before the change:"
show unzip -l inner.zip

chapter "Done"
echo "Cleaning up $work."
