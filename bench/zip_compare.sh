#!/usr/bin/env bash
# Compares the archive component with Info-ZIP on one corpus, same machine,
# same files, page cache warm:
#   bench/zip_compare.sh [BUILD_DIR] [CAP_MB]
# BUILD_DIR holds a Release build with bench/zip_bench (default build/release).
# The corpus is the regular files of /usr/share/doc and
# /usr/lib/x86_64-linux-gnu, in that order, up to CAP_MB megabytes (300).
# The component syncs every entry and every extracted file to disk (its
# durability promise); zip and unzip do not.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/release}"
cap_mb="${2:-300}"
bench="$build/bench/zip_bench"
[ -x "$bench" ] || { echo "zip_compare: build $bench first (cmake --build $build --target zip_bench)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

find /usr/share/doc /usr/lib/x86_64-linux-gnu -type f -size +0 -readable -printf '%s %p\n' > "$work/all.txt" 2>/dev/null || true
awk -v cap=$((cap_mb * 1000000)) '{ if (total + $1 > cap) exit; total += $1; sub(/^[0-9]+ /, ""); print }' \
  "$work/all.txt" > "$work/list.txt"
sed 's|^/||' "$work/list.txt" > "$work/relative.txt"
xargs -d '\n' cat < "$work/list.txt" > /dev/null  # warm the page cache

now() { date +%s.%N; }
timed() { local t0; t0=$(now); "$@"; echo "$(now) - $t0" | bc -l; }

zip6=$(cd / && timed zip -q -6 "$work/zip6.zip" -@ < "$work/relative.txt")
zip1=$(cd / && timed zip -q -1 "$work/zip1.zip" -@ < "$work/relative.txt")
mkdir -p "$work/durable" "$work/unsynced"
durable=$("$bench" "$work/list.txt" "$work/durable")
unsynced=$("$bench" --no-sync "$work/list.txt" "$work/unsynced")
unzip_s=$(timed unzip -q -o "$work/durable/bench.zip" -d "$work/unzip")

echo "corpus: $(wc -l < "$work/list.txt") files"
printf 'zip -6 %.2f s, zip -1 %.2f s, unzip %.2f s (%s bytes from zip -1)\n' "$zip6" "$zip1" "$unzip_s" \
  "$(stat -c %s "$work/zip1.zip")"
for run in durable unsynced; do
  line=${!run}
  val() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<< "$line"; }
  echo "component, $run: $line"
  printf '  zip vs zip -6 %.2fx, zip vs zip -1 %.2fx, unzip vs unzip %.2fx, size vs zip -1 %.4f\n' \
    "$(echo "$zip6 / $(val zip_seconds)" | bc -l)" "$(echo "$zip1 / $(val zip_seconds)" | bc -l)" \
    "$(echo "$unzip_s / $(val unzip_seconds)" | bc -l)" \
    "$(echo "$(val archive_bytes) / $(stat -c %s "$work/zip1.zip")" | bc -l)"
done
