#!/usr/bin/env bash
# A real system tree: protecting a copy of /usr/share, and rolling back a
# change to it, against the usual tools, on this machine; writes its section
# of docs/performance.md.
#
#   bench/share_compare.sh [--runs N]
#
#   --runs N   runs of each timed comparison; the median is reported (3)
#
# Compared, page cache warm, each command followed by `sync`:
#   - `protect --tree COPY -- true` and `protect --files-from LIST -- true` of
#     its regular files against `tar -cf - COPY | pigz -1 -p CORES` (targets:
#     at least 1.2 and 1.3 times as fast);
#   - `rollback --trust-folder` of a `protect --tree` killed by its command
#     after it appended to 700 files, removed 100 and added 100, against
#     `rsync -a --delete` from a copy taken before, after the same change
#     (target: at most twice as long); the tree must then equal that copy.
# The trees are protected with --trust-tree: /usr/share holds a folder its
# group may write (polkit's rules). The scratch folder is under BK_BENCH_DIR (default /var/tmp) and needs
# about three times the size of /usr/share.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=3
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    *) echo "usage: bench/share_compare.sh [--runs N]" >&2; exit 2 ;;
  esac
done

. "$root/bench/lib.sh"
bench_tools bc:bc pigz:pigz rsync:rsync /usr/bin/time:time
bench_build brightkeep_cli
bk="$root/build/native/cli/brightkeep"
cores=$(nproc)

work="$(mktemp -d "${BK_BENCH_DIR:-/var/tmp}/bk-share.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tree="$work/share" before="$work/before"

echo "share_compare: corpus" >&2
cp -a /usr/share "$tree" 2> /dev/null || true
cp -a "$tree" "$before"
find "$tree" -type f > "$work/list.txt"
count=$(wc -l < "$work/list.txt")
bytes=$(xargs -d '\n' cat < "$work/list.txt" | wc -c)
sync
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# The change: appends to 700 files, removes 100 others and adds 100 files
# beside them, spread over the tree.
step=$((count / 900))
awk -v s="$step" 'NR % s == 0 && k < 700 { print; ++k }' "$work/list.txt" > "$work/append.txt"
awk -v s="$step" 'NR % s == 1 && k < 100 { print; ++k }' "$work/list.txt" > "$work/remove.txt"
sed 's|$|.added|' "$work/remove.txt" > "$work/add.txt"
cat > "$work/change.sh" <<'CHANGE'
while IFS= read -r f; do echo appended >> "$f"; done < "$1"
xargs -d '\n' rm -f < "$2"
while IFS= read -r f; do echo added > "$f"; done < "$3"
CHANGE
change() { sh "$work/change.sh" "$work/append.txt" "$work/remove.txt" "$work/add.txt"; }
same_as_before() {
  diff -r --no-dereference -q "$before" "$tree" > /dev/null ||
    { echo "share_compare: the tree differs from its copy after $1" >&2; exit 1; }
}

echo "share_compare: protect against tar | pigz ($runs runs)" >&2
t_tree=() t_list=() t_pigz=()
for _ in $(seq "$runs"); do
  rm -rf "$work/t" "$work/bk.zip"; mkdir "$work/t"; sync
  t_tree+=("$(seconds sh -c "'$bk' protect -q --temp '$work/t' --backup '$work/bk.zip' --trust-tree --tree '$tree' -- true && sync")")
  [ -f "$work/bk.zip" ] || { echo "share_compare: protect --tree failed" >&2; exit 1; }
  rm -rf "$work/t" "$work/bk.zip"; mkdir "$work/t"; sync
  t_list+=("$(seconds sh -c "'$bk' protect -q --temp '$work/t' --backup '$work/bk.zip' --files-from '$work/list.txt' -- true && sync")")
  [ -f "$work/bk.zip" ] || { echo "share_compare: protect --files-from failed" >&2; exit 1; }
  rm -f "$work/p.tgz"; sync
  t_pigz+=("$(seconds sh -c "tar -cf - -C '$work' share | pigz -1 -p $cores > '$work/p.tgz' && sync")")
done
size_bk=$(stat -c %s "$work/bk.zip") size_pz=$(stat -c %s "$work/p.tgz")
rm -rf "$work/t" "$work/bk.zip" "$work/p.tgz"
m_tree=$(echo "${t_tree[*]}" | median) m_list=$(echo "${t_list[*]}" | median) m_pigz=$(echo "${t_pigz[*]}" | median)

echo "share_compare: rollback against rsync -a --delete ($runs runs)" >&2
t_roll=() t_rsync=() peak_kb=0
for _ in $(seq "$runs"); do
  rm -rf "$work/r"; mkdir "$work/r"
  ("$bk" protect -q --temp "$work/r" --backup "$work/r.zip" --trust-tree --tree "$tree" -- \
     sh -c 'sh "$1" "$2" "$3" "$4"; kill -9 $PPID' - "$work/change.sh" "$work/append.txt" "$work/remove.txt" "$work/add.txt"
   true) > /dev/null 2>&1 || true
  [ -f "$(head -1 "$work/add.txt")" ] || { echo "share_compare: the change did not run" >&2; exit 1; }
  until_not_live "$work/r"
  sync
  t_roll+=("$(seconds sh -c "/usr/bin/time -f %M -o '$work/mem.txt' '$bk' rollback -q '$work/r' --trust-folder && sync")")
  kb=$(tail -1 "$work/mem.txt"); [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
  same_as_before rollback
  change; sync
  t_rsync+=("$(seconds sh -c "rsync -a --delete '$before/' '$tree/' && sync")")
  same_as_before rsync
done
rm -rf "$work/r"
m_roll=$(echo "${t_roll[*]}" | median) m_rsync=$(echo "${t_rsync[*]}" | median)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "share_compare: report" >&2
# verdict RATIO TARGET at-least|at-most
verdict() {
  if awk -v r="$1" -v t="$2" -v w="$3" 'BEGIN { exit !(w == "at-least" ? r >= t : r <= t) }'; then echo "met"
  else echo "**missed**"; fi
}
r_tree=$(ratio "$m_pigz" "$m_tree") r_list=$(ratio "$m_pigz" "$m_list") r_roll=$(ratio "$m_roll" "$m_rsync")
section="$(mktemp)"
{
  echo "<!-- share_compare.sh begin -->"
  echo "## A copy of /usr/share"
  echo
  echo "Written by \`bench/share_compare.sh --runs $runs\` on $(date -u '+%Y-%m-%d %H:%M UTC'), load average"
  echo "$load_before before and $load_after after. $count regular files, $((bytes / 1000000)) MB, on"
  echo "$(df -T "$work" | awk 'NR == 2 { print $2 }'). Medians of $runs runs, page cache warm, every command followed by \`sync\`."
  echo
  echo "| Comparison | Brightkeep | Against | Speed ratio | Target | |"
  echo "|---|---|---|---|---|---|"
  echo "| \`protect --tree\` vs \`tar \| pigz -1 -p $cores\` | $(fmt "$m_tree") s | $(fmt "$m_pigz") s | ${r_tree}x | ≥ 1.2x | $(verdict "$r_tree" 1.2 at-least) |"
  echo "| \`protect --files-from\` vs the same | $(fmt "$m_list") s | $(fmt "$m_pigz") s | ${r_list}x | ≥ 1.3x | $(verdict "$r_list" 1.3 at-least) |"
  echo "| \`rollback\` after 700 files appended to, 100 removed, 100 added vs \`rsync -a --delete\` from a copy | $(fmt "$m_roll") s | $(fmt "$m_rsync") s | ${r_roll}x the time | ≤ 2x | $(verdict "$r_roll" 2 at-most) |"
  echo
  echo "The backup takes $((size_bk / 1000000)) MB, \`tar | pigz\` $((size_pz / 1000000)) MB. The rollback peaked at"
  echo "$((peak_kb / 1024)) MB; after each rollback and each rsync the tree equals the copy taken before (\`diff -r\`)."
  echo
  echo "Runs (seconds): protect --tree ${t_tree[*]}; --files-from ${t_list[*]}; tar | pigz ${t_pigz[*]};"
  echo "rollback ${t_roll[*]}; rsync ${t_rsync[*]}."
  echo "<!-- share_compare.sh end -->"
} > "$section"
write_section share_compare.sh "$section"
rm -f "$section"
