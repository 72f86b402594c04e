#!/usr/bin/env bash
# Every performance comparison of Brightkeep side by side, in one run, on this
# machine; writes docs/performance.md and docs/performance.png.
#
#   bench/compare.sh [--runs N] [--growth-files N] [--big-gb N]
#
#   --runs N          runs of each timed comparison; the median is reported (3)
#   --growth-files N  period length for the time-per-call chart (10000)
#   --big-gb N        size of the sparse file made safe and restored (5; 0 skips)
#
# Compared, all on the regular files of /usr/share/doc, page cache warm:
#   - `brightkeep protect ... -- true` (make safe, back up, clean up) against
#     `zip -q -6`, `zip -q -1`, `tar | pigz -1 -p 2` and `cp -a --parents` of
#     the same list, each followed by `sync`, and the archive sizes;
#   - `brightkeep rollback` of a killed `protect` of a copy of those files
#     against `unzip -o` of a `zip -1` archive of the copy followed by `sync`;
#   - time per file made safe against the files already in the period, one
#     file per call and in lists of 100 (bench/period_growth);
#   - peak memory making a sparse file safe and restoring it.
# Brightkeep flushes to stable storage what it promises; the other tools flush
# nothing themselves, so each is timed with a `sync` after it. The scratch
# folder is under BK_BENCH_DIR (default /var/tmp). The figures for whole
# folder trees are bench/tree_compare.sh's, in docs/performance-trees.md; the
# sections on copy-on-write file systems (bench/reflink_compare.sh), on a
# million entries (bench/million_compare.sh) and on a copy of /usr/share
# (bench/share_compare.sh) are kept as they are.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
runs=3 growth_files=10000 big_gb=5
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs="$2"; shift 2 ;;
    --growth-files) growth_files="$2"; shift 2 ;;
    --big-gb) big_gb="$2"; shift 2 ;;
    *) echo "usage: bench/compare.sh [--runs N] [--growth-files N] [--big-gb N]" >&2; exit 2 ;;
  esac
done

. "$root/bench/lib.sh"
bench_tools gnuplot:gnuplot-nox zip:zip unzip:unzip pigz:pigz bc:bc /usr/bin/time:time
bench_build brightkeep_cli period_growth
bk="$root/build/native/cli/brightkeep"
growth_bin="$root/build/native/bench/period_growth"

work="$(mktemp -d "${BK_BENCH_DIR:-/var/tmp}/bk-compare.XXXXXX")"
trap 'rm -rf "$work"' EXIT


echo "compare: corpus" >&2
find /usr/share/doc -type f -readable > "$work/list.txt" 2> /dev/null || true
sed 's|^/||' "$work/list.txt" > "$work/relative.txt"
files=$(wc -l < "$work/list.txt")
bytes=$(xargs -d '\n' cat < "$work/list.txt" | wc -c)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

echo "compare: protect against zip, tar | pigz and cp ($runs runs)" >&2
# Each command starts with nothing of the earlier ones left to write back.
synced() { sync; seconds sh -c "$1 && sync"; }
t_bk=() t_z6=() t_z1=() t_pz=() t_cp=()
for _ in $(seq "$runs"); do
  rm -rf "$work/z6.zip" "$work/z1.zip" "$work/p.tgz" "$work/cp" "$work/t" "$work/bk.zip"; mkdir "$work/t" "$work/cp"
  t_z6+=("$(cd / && synced "zip -q -6 '$work/z6.zip' -@ < '$work/relative.txt'")")
  t_z1+=("$(cd / && synced "zip -q -1 '$work/z1.zip' -@ < '$work/relative.txt'")")
  t_pz+=("$(synced "tar -cf - -T '$work/list.txt' 2> /dev/null | pigz -1 -p 2 > '$work/p.tgz'")")
  t_cp+=("$(synced "xargs -d '\\n' cp -a --parents -t '$work/cp' < '$work/list.txt'")")
  sync
  t_bk+=("$(seconds "$bk" protect --temp "$work/t" --backup "$work/bk.zip" --files-from "$work/list.txt" -- true)")
done
rm -rf "$work/cp"
m_bk=$(echo "${t_bk[*]}" | median) m_z6=$(echo "${t_z6[*]}" | median) m_z1=$(echo "${t_z1[*]}" | median)
m_pz=$(echo "${t_pz[*]}" | median) m_cp=$(echo "${t_cp[*]}" | median)
size_bk=$(stat -c %s "$work/bk.zip") size_z1=$(stat -c %s "$work/z1.zip") size_z6=$(stat -c %s "$work/z6.zip")
size_pz=$(stat -c %s "$work/p.tgz")

echo "compare: rollback against unzip -o + sync ($runs runs)" >&2
mkdir -p "$work/copy"
xargs -d '\n' cp --parents -t "$work/copy" < "$work/list.txt" 2> /dev/null || true
find "$work/copy" -type f > "$work/copy.txt"
(cd / && sed 's|^/||' "$work/copy.txt" | zip -q -1 "$work/copy1.zip" -@)
t_rb=() t_uz=()
for _ in $(seq "$runs"); do
  rm -rf "$work/r"; mkdir "$work/r"
  # A protect killed while its command runs leaves an unfinished period.
  ("$bk" protect --temp "$work/r" --backup "$work/r.zip" --files-from "$work/copy.txt" -- sh -c 'kill -9 $PPID'
   true) > /dev/null 2>&1 || true
  t_rb+=("$(seconds "$bk" rollback "$work/r" --delete-logs)")
  t_uz+=("$(seconds sh -c "unzip -q -o '$work/copy1.zip' -d / && sync")")
done
m_rb=$(echo "${t_rb[*]}" | median) m_uz=$(echo "${t_uz[*]}" | median)

echo "compare: time per call against files in the period ($growth_files files)" >&2
mkdir -p "$work/growth"
"$growth_bin" "$work/growth" "$growth_files" > "$work/growth.csv" 2> "$work/growth.txt"
rewrites=$(sed -n 's/^period_growth: at [0-9]* files a call rewrites //p' "$work/growth.txt")

echo "compare: durable writes by size" >&2
# What one durable write costs on this disk: the log is rewritten whole.
durable_row=""
for kb in 64 256 2048; do
  t=()
  for _ in 1 2 3 4 5; do t+=("$(seconds dd if=/dev/zero of="$work/probe" bs=1k count="$kb" conv=fsync)"); done
  durable_row+="${durable_row:+, }$kb kB $(printf '%.1f' "$(echo "$(echo "${t[*]}" | median) * 1000" | bc -l)") ms"
done
rm -f "$work/probe"

big_row="| Sparse file (skipped) | | | | |"
if [ "$big_gb" != 0 ]; then
  echo "compare: a ${big_gb} GB sparse file" >&2
  mkdir -p "$work/big" "$work/bigt"
  truncate -s "${big_gb}G" "$work/big/sparse.bin"
  (/usr/bin/time -f '%e %M' -o "$work/big-safe.txt" "$bk" protect --temp "$work/bigt" --backup "$work/big.zip" \
    "$work/big/sparse.bin" -- sh -c 'kill -9 $PPID'
   true) > /dev/null 2>&1 || true
  /usr/bin/time -f '%e %M' -o "$work/big-back.txt" "$bk" rollback "$work/bigt" --delete-logs > /dev/null 2>&1 || true
  read -r safe_s safe_kb < <(tail -1 "$work/big-safe.txt")
  read -r back_s back_kb < <(tail -1 "$work/big-back.txt")
  big_row="| ${big_gb} GB sparse file: make safe / roll back | $(fmt "$safe_s") s, $((safe_kb / 1024)) MB peak / $(fmt "$back_s") s, $((back_kb / 1024)) MB peak | | | peak ≤ 64 MB |"
  rm -rf "$work/big" "$work/bigt"
fi
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

echo "compare: report" >&2
cat > "$work/tools.dat" <<TOOLS
"brightkeep" $m_bk
"tar | pigz -1" $m_pz
"cp -a" $m_cp
"zip -1" $m_z1
"zip -6" $m_z6
TOOLS
gnuplot <<GNUPLOT
set terminal pngcairo size 1400,540 font ",11"
set output "$root/docs/performance.png"
set multiplot layout 1,2
set title "Copying the $files files of /usr/share/doc, durable (others + sync)"
set ylabel "seconds (median of $runs)"
set style fill solid 0.7
set boxwidth 0.6
set xrange [-0.6:4.6]
set yrange [0:*]
set grid ytics
unset key
plot "$work/tools.dat" using 0:2:xtic(1) with boxes lc rgb "#3b75af", \
     "" using 0:2:(sprintf("%.2f", \$2)) with labels offset 0,1
set datafile separator ","
set key top left
set logscale x
set logscale y
set autoscale
set grid xtics ytics
set xlabel "files already in the period"
set ylabel "milliseconds per file made safe"
set title "Time per file made safe, durable, against the length of the period"
plot "$work/growth.csv" every ::1 using 1:2 with linespoints lw 2 title "one file per MakeFileSafe call", \
     "$work/growth.csv" every ::1 using 1:3 with linespoints lw 2 title "lists of 100 through MakeFilesSafe"
unset multiplot
GNUPLOT

first=$(sed -n 2p "$work/growth.csv") last=$(tail -1 "$work/growth.csv")
growth_table=$(tail -n +2 "$work/growth.csv" | awk -F, '{ printf "| %s | %.2f | %.3f |\n", $1, $2, $3 }')
cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
# The sections other scripts write are kept.
other_sections=$(awk '/^<!-- [a-z_]+\.sh begin -->$/, /^<!-- [a-z_]+\.sh end -->$/ { print; if (/ end -->$/) print "" }' \
  "$root/docs/performance.md" 2> /dev/null || true)
{
  echo "# Performance"
  echo
  echo "Written by \`bench/compare.sh --runs $runs --growth-files $growth_files --big-gb $big_gb\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
  echo
  echo "Machine: $cpu, $(nproc) cores, $(free -g | awk '/^Mem:/ { print $2 }') GB memory, Linux $(uname -r),"
  echo "scratch folder on $(df -T "$work" | awk 'NR == 2 { print $2 }'). Load average $load_before before and $load_after after the run:"
  # Other work of more than half the cores when the run starts makes the figures noisy (the
  # load after the run counts the run's own work).
  if awk -v a="${load_before%% *}" -v n="$(nproc)" 'BEGIN { exit !(a > n / 2) }'; then
    echo "other work shared the machine, so the figures are noisy; rerun the command to reproduce them."
  else
    echo "the machine was otherwise quiet."
  fi
  echo
  echo "Corpus: the $files regular files of /usr/share/doc, $((bytes / 1000000)) MB. Medians of $runs runs."
  echo "Brightkeep flushes every copy and its log entry to stable storage before it reports them safe;"
  echo "the other tools flush nothing themselves, so each figure of theirs includes a final \`sync\`."
  echo
  echo "| Comparison | Brightkeep | Other tool | Speed ratio | Target |"
  echo "|---|---|---|---|---|"
  echo "| \`protect -- true\` vs \`zip -6\` | $(fmt "$m_bk") s | $(fmt "$m_z6") s | $(ratio "$m_z6" "$m_bk")x | ≥ 2x |"
  echo "| \`protect -- true\` vs \`zip -1\` | $(fmt "$m_bk") s | $(fmt "$m_z1") s | $(ratio "$m_z1" "$m_bk")x | ≥ 1x |"
  echo "| \`protect -- true\` vs \`tar \| pigz -1 -p 2\` | $(fmt "$m_bk") s | $(fmt "$m_pz") s | $(ratio "$m_pz" "$m_bk")x | > 1x |"
  echo "| \`protect -- true\` vs \`cp -a --parents\` | $(fmt "$m_bk") s | $(fmt "$m_cp") s | $(ratio "$m_cp" "$m_bk")x | |"
  echo "| Archive size vs \`zip -1\` (\`zip -6\`: $(ratio "$size_z6" "$size_z1"), \`tar \| pigz -1\`: $(ratio "$size_pz" "$size_z1")) | $((size_bk / 1000)) kB | $((size_z1 / 1000)) kB | size $(printf '%.3f' "$(echo "$size_bk / $size_z1" | bc -l)") | ≤ 1.05 |"
  echo "| \`rollback\` vs \`unzip -o\` + \`sync\` | $(fmt "$m_rb") s | $(fmt "$m_uz") s | $(ratio "$m_uz" "$m_rb")x | ≥ 1x |"
  echo "$big_row"
  echo
  echo "Runs (seconds): protect ${t_bk[*]}; zip -6 ${t_z6[*]}; zip -1 ${t_z1[*]}; tar | pigz ${t_pz[*]}; cp -a ${t_cp[*]};"
  echo "rollback ${t_rb[*]}; unzip + sync ${t_uz[*]}."
  echo
  echo "## Time per file against the length of the period"
  echo
  echo "Small files (200 B to 2 kB), each made safe durably; medians of the 50 files around each point (lists:"
  echo "the lists of 100 around it). Call at the longest period vs at 100 files:"
  echo "one at a time $(ratio "$(cut -d, -f2 <<< "$last")" "$(cut -d, -f2 <<< "$first")")x, lists $(ratio "$(cut -d, -f3 <<< "$last")" "$(cut -d, -f3 <<< "$first")")x (target ≤ 5x)."
  echo
  echo "| Files in the period | One per call (ms) | In lists of 100 (ms per file) |"
  echo "|---|---|---|"
  echo "$growth_table"
  echo
  echo "One file per call writes the whole log durably (the log file format fixes that) and the drive archive's"
  echo "central directory, so that the archive is a standard ZIP file whenever the call returns: three durable"
  echo "flushes (the archive, the log file, its folder). The files already listed are copied from the log file last"
  echo "written (they are not held in memory) and the new entry follows, so what grows with the period is the size of"
  echo "those writes (at the longest period,"
  echo "${rewrites:-?}), and this disk's charge for durable writes of such sizes"
  echo "(\`dd conv=fsync\`, medians of 5): $durable_row."
  echo
  echo "![Time per file made safe](performance.png)"
  echo
  echo "Whole folder trees: [performance-trees.md](performance-trees.md), written by \`bench/tree_compare.sh\`."
  [ -z "$other_sections" ] || printf '\n%s\n' "$other_sections"
} > "$root/docs/performance.md"
cat "$root/docs/performance.md"
