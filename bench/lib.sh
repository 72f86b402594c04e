# Shared by the comparison scripts (sourced; they set $root first): the
# benchmarks' own tools, the build, and timing and figures.

# bench_tools COMMAND:PACKAGE...: installs the packages of the commands
# missing here (tools the test command does not need).
bench_tools() {
  local need=() tool sudo=""
  for tool in "$@"; do
    command -v "${tool%%:*}" > /dev/null || need+=("${tool##*:}")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq && $sudo apt-get install -y -qq "${need[@]}"
}

# bench_build TARGET...: the project's dependencies, then those targets of
# the native build.
bench_build() {
  bash "$root/scripts/install-deps.sh" > /dev/null
  (cd "$root" && cmake --preset native > /dev/null && cmake --build --preset native -j2 --target "$@" > /dev/null)
}

now() { date +%s.%N; }
# Seconds taken by a command; its output is dropped.
seconds() { local t0; t0=$(now); "$@" > /dev/null 2>&1 || true; echo "$(now) - $t0" | bc -l; }
median() { tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
ratio() { printf '%.2f' "$(echo "$1 / $2" | bc -l)"; }
fmt() { printf '%.2f' "$1"; }

# until_not_live DIR: waits until no process holds the lock of a period in
# DIR any more (what a killed protect started may outlive it for a moment);
# $bk is the command.
until_not_live() {
  local deadline=$((SECONDS + 120))
  while "$bk" assess "$1" --json --trust-folder 2> /dev/null | tr -d ' \n' | grep -q '"in_progress":\[{'; do
    [ $SECONDS -lt $deadline ] || { echo "bench: the period in $1 stayed in progress" >&2; exit 1; }
    sleep 0.05
  done
}

# write_section NAME FILE: FILE, a section that starts with the line
# "<!-- NAME begin -->" and ends with "<!-- NAME end -->", takes the place of
# NAME's section in docs/performance.md, or goes at its end; then is shown.
write_section() {
  local name="$1" file="$2" doc="$root/docs/performance.md" merged
  if grep -qxF "<!-- $name begin -->" "$doc"; then
    merged="$(mktemp)"
    awk -v f="$file" -v b="<!-- $name begin -->" -v e="<!-- $name end -->" '
      $0 == b { while ((getline line < f) > 0) print line; skip = 1; next }
      $0 == e { skip = 0; next }
      !skip' "$doc" > "$merged"
    cat "$merged" > "$doc"
    rm -f "$merged"
  else
    { echo; cat "$file"; } >> "$doc"
  fi
  cat "$file"
}
