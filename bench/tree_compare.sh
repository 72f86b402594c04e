#!/usr/bin/env bash
# Protecting and rolling back a whole folder tree against the same files
# protected as a list, on this machine; writes docs/performance-trees.md
# (linked from docs/performance.md, which bench/compare.sh writes).
#
#   bench/tree_compare.sh [--runs N] [--files N]
#
#   --runs N   runs of each timed comparison; the median is reported (3)
#   --files N  regular files in the tree, about (100000)
#
# The tree is /usr/share/doc copied into one folder as often as it takes to
# hold N regular files. Compared, page cache warm:
#   - `protect --tree DIR -- true` against `protect --files-from LIST -- true`
#     of the tree's regular files (target: at most 1.5 times as long);
#   - recording the tree (bench/tree_record: the walk and the period record,
#     flushed) against `find DIR -printf '%p %m %U %G %T@\n'` followed by
#     `sync` (target: at most twice as long); the walk alone is shown too;
#   - `rollback --trust-folder` of a tree period against that of a list
#     period, each cut short by SIGKILL after its command rewrote N/100 files
#     and added N/10 (half in new folders, half in existing ones); the tree's
#     rollback removes the added files, the list's leaves them (target: at
#     most twice as long).
# The peak memory of the tree's protect and rollback is reported. The scratch
# folder is under BK_BENCH_DIR (default /var/tmp).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=3 files=100000
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --files) files="$2"; shift 2 ;;
    *) echo "usage: bench/tree_compare.sh [--runs N] [--files N]" >&2; exit 2 ;;
  esac
done

. "$root/bench/lib.sh"
bench_tools bc:bc /usr/bin/time:time
bench_build brightkeep_cli tree_record
bk="$root/build/native/cli/brightkeep"
record_bin="$root/build/native/bench/tree_record"

work="$(mktemp -d "${BK_BENCH_DIR:-/var/tmp}/bk-tree.XXXXXX")"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"

# Seconds taken by a command; its peak memory in kB goes to the file $1.
measured() { local out="$1"; shift; seconds /usr/bin/time -f %M -o "$out" "$@"; }
peak_mb() { echo $(($(tail -1 "$1") / 1024)); }
larger() { if [ "$1" -gt "$2" ]; then echo "$1"; else echo "$2"; fi; }

echo "tree_compare: corpus" >&2
mkdir "$tree"
copies=0
while [ "$(find "$tree" -type f | wc -l)" -lt "$files" ]; do
  copies=$((copies + 1))
  cp -a /usr/share/doc "$tree/copy$copies" 2> /dev/null || true
done
find "$tree" -type f > "$work/list.txt"
count=$(wc -l < "$work/list.txt")
entries=$(find "$tree" | wc -l)
# Reading every file also brings the tree into the page cache.
bytes=$(xargs -d '\n' cat < "$work/list.txt" | wc -c)
sync
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# The change cut short: rewrites every 100th file, adds a tenth as many files
# as the tree holds, half in new folders (100 to a folder, two levels deep)
# and half beside existing files, then kills protect with SIGKILL.
awk 'NR % 100 == 0' "$work/list.txt" > "$work/change.txt"
half=$((count / 20))
awk -v n="$half" -v t="$tree" 'BEGIN { for (i = 0; i < n; ++i) printf "%s/added-%d/inner-%d/file-%d.txt\n", t, int(i / 1000), int(i / 100), i }' > "$work/add.txt"
awk -v step=$((count / half)) -v n="$half" 'NR % step == 0 && k < n { sub(/\/[^/]*$/, ""); printf "%s/added-%d.txt\n", $0, NR; ++k }' \
  "$work/list.txt" >> "$work/add.txt"
sed -n 's|/[^/]*$||p' "$work/add.txt" | sort -u > "$work/folders.txt"
changed=$(wc -l < "$work/change.txt") added=$(wc -l < "$work/add.txt")
cat > "$work/change.sh" <<'CHANGE'
xargs -d '\n' mkdir -p < "$1"
awk '{ print "changed", NR > $0; close($0) }' "$2"
awk '{ print "added", NR > $0; close($0) }' "$3"
kill -9 $PPID
CHANGE
# One changed file and where it was copied from, to check each rollback.
probe=$(head -1 "$work/change.txt")
probe_source="/usr/share/doc/${probe#"$tree"/copy*/}"

# The tree holds what it held before the change (the added files aside, with $1).
check_tree() {
  cmp -s "$probe" "$probe_source" || { echo "tree_compare: $probe did not come back" >&2; exit 1; }
  if [ "$1" = whole ]; then
    [ "$(find "$tree" | wc -l)" -eq "$entries" ] || { echo "tree_compare: the tree did not come back whole" >&2; exit 1; }
  fi
}

echo "tree_compare: warm the page cache" >&2
find "$tree" -printf '%p %m %U %G %T@\n' > /dev/null
"$record_bin" "$work" "$tree" > /dev/null

echo "tree_compare: protect --tree against --files-from ($runs runs)" >&2
t_tree=() t_list=() peak_tree=0
for _ in $(seq "$runs"); do
  rm -rf "$work/t" "$work/bk.zip"; mkdir "$work/t"; sync
  t_tree+=("$(measured "$work/mem.txt" "$bk" protect --temp "$work/t" --backup "$work/bk.zip" --tree "$tree" -- true)")
  peak_tree=$(larger "$peak_tree" "$(peak_mb "$work/mem.txt")")
  [ -f "$work/bk.zip" ] || { echo "tree_compare: protect --tree failed" >&2; exit 1; }
  rm -rf "$work/t" "$work/bk.zip"; mkdir "$work/t"; sync
  t_list+=("$(seconds "$bk" protect --temp "$work/t" --backup "$work/bk.zip" --files-from "$work/list.txt" -- true)")
  [ -f "$work/bk.zip" ] || { echo "tree_compare: protect --files-from failed" >&2; exit 1; }
done
rm -rf "$work/t" "$work/bk.zip"
m_tree=$(echo "${t_tree[*]}" | median) m_list=$(echo "${t_list[*]}" | median)

echo "tree_compare: recording the tree against find -printf ($runs runs)" >&2
t_rec=() t_walk=() t_find=()
for _ in $(seq "$runs"); do
  sync
  t_find+=("$(seconds sh -c "find '$tree' -printf '%p %m %U %G %T@\n' > /dev/null && sync")")
  t_walk+=("$(seconds "$record_bin" "$work" "$tree" walk)")
  t_rec+=("$(seconds "$record_bin" "$work" "$tree")")
done
record_kb=$(($(stat -c %s "$work/tree.record") / 1000))
rm -f "$work/tree.record"
m_rec=$(echo "${t_rec[*]}" | median) m_walk=$(echo "${t_walk[*]}" | median) m_find=$(echo "${t_find[*]}" | median)

echo "tree_compare: rollback of a tree period against a list period ($runs runs)" >&2
# A protect of $1 killed by its own command after the change, then rolled back.
killed_then_rolled_back() {
  rm -rf "$work/r"; mkdir "$work/r"
  ("$bk" protect --temp "$work/r" --backup "$work/r.zip" -q "$@" -- \
     sh "$work/change.sh" "$work/folders.txt" "$work/change.txt" "$work/add.txt"
   true) > /dev/null 2>&1 || true
  until_not_live "$work/r"
  [ "$(cat "$probe")" = "changed 1" ] || { echo "tree_compare: the change did not run" >&2; exit 1; }
  measured "$work/mem.txt" "$bk" rollback "$work/r" --trust-folder
}
t_rtree=() t_rlist=() peak_rtree=0
for _ in $(seq "$runs"); do
  t_rtree+=("$(killed_then_rolled_back --tree "$tree")")
  peak_rtree=$(larger "$peak_rtree" "$(peak_mb "$work/mem.txt")")
  check_tree whole
  t_rlist+=("$(killed_then_rolled_back --files-from "$work/list.txt")")
  check_tree files
  # The list period leaves what was added.
  xargs -d '\n' rm -f < "$work/add.txt"
  rm -rf "$tree"/added-*
  check_tree whole
  sync
done
rm -rf "$work/r"
m_rtree=$(echo "${t_rtree[*]}" | median) m_rlist=$(echo "${t_rlist[*]}" | median)
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "tree_compare: report" >&2
verdict() { if awk -v r="$1" -v t="$2" 'BEGIN { exit !(r <= t) }'; then echo "met"; else echo "**missed**"; fi; }
r1=$(ratio "$m_tree" "$m_list") r2=$(ratio "$m_rec" "$m_find") r3=$(ratio "$m_rtree" "$m_rlist")
cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
{
  echo "# Performance: whole folder trees"
  echo
  echo "Written by \`bench/tree_compare.sh --runs $runs --files $files\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  echo "Machine: $cpu, $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GB memory, Linux $(uname -r),"
  echo "scratch folder on $(df -T "$work" | awk 'NR == 2 { print $2 }'). Load average $load_before before and $load_after after the run:"
  if awk -v a="${load_before%% *}" -v n="$(nproc)" 'BEGIN { exit !(a > n / 2) }'; then
    echo "other work shared the machine, so the figures are noisy; rerun the command to reproduce them."
  else
    echo "the machine was otherwise quiet."
  fi
  echo
  echo "Tree: /usr/share/doc copied $copies times into one folder, $count regular files ($((bytes / 1000000)) MB)"
  echo "and $entries entries in all (folders and links included). Medians of $runs runs, page cache warm."
  echo "Brightkeep flushes what it promises; \`find\` is followed by \`sync\`."
  echo
  echo "| Comparison | Tree | Against | Cost ratio | Target | |"
  echo "|---|---|---|---|---|---|"
  echo "| \`protect --tree DIR -- true\` vs \`protect --files-from LIST -- true\` | $(fmt "$m_tree") s | $(fmt "$m_list") s | ${r1}x | ≤ 1.5x | $(verdict "$r1" 1.5) |"
  echo "| Recording the tree (walk, record, flush) vs \`find -printf '%p %m %U %G %T@\n'\` | $(fmt "$m_rec") s | $(fmt "$m_find") s | ${r2}x | ≤ 2x | $(verdict "$r2" 2) |"
  echo "| \`rollback --trust-folder\` of a killed tree period vs list period | $(fmt "$m_rtree") s | $(fmt "$m_rlist") s | ${r3}x | ≤ 2x | $(verdict "$r3" 2) |"
  echo
  echo "Peak memory: \`protect --tree\` $peak_tree MB, its \`rollback\` $peak_rtree MB."
  echo "The walk alone (no record) takes $(fmt "$m_walk") s; the record of the tree is $record_kb kB."
  echo "Before each rollback, the command rewrote $changed files and added $added ($((added / 2)) in new folders,"
  echo "the rest beside existing files) and killed \`protect\` with SIGKILL; the tree's rollback removes the added"
  echo "files and folders, the list's leaves them."
  echo
  echo "Runs (seconds): protect --tree ${t_tree[*]}; protect --files-from ${t_list[*]};"
  echo "recording ${t_rec[*]}; walk alone ${t_walk[*]}; find + sync ${t_find[*]};"
  echo "rollback of the tree ${t_rtree[*]}; of the list ${t_rlist[*]}."
} > "$root/docs/performance-trees.md"
link="Whole folder trees: [performance-trees.md](performance-trees.md), written by \`bench/tree_compare.sh\`."
grep -qF "(performance-trees.md)" "$root/docs/performance.md" || printf '\n%s\n' "$link" >> "$root/docs/performance.md"
cat "$root/docs/performance-trees.md"
