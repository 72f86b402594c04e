#!/usr/bin/env bash
# Builds the Debian packages (scripts/package.sh), checks them with lintian,
# installs them on this machine (as root), and uses them as a user would:
# the manual page, the bash completion, the systemd unit (checked with
# systemd-analyze verify: it cannot be started where systemd is not PID 1),
# the demonstration run with /usr/bin/brightkeep, and a program built against
# the installed library with find_package and with pkg-config. Ends with
# "packages: N passed, M failed".
#   tests/packaging/debian_test.sh
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
cd "$root"
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok: $*"; }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
# check WHAT COMMAND [ARGS...]: passes when COMMAND succeeds; shows its output otherwise.
check() {
  local what="$1" out
  shift
  if out="$("$@" 2>&1)"; then pass "$what"; else fail "$what"; tail -n 40 <<<"$out"; fi
}
finish() { echo "packages: $passed passed, $failed failed"; [ "$failed" -eq 0 ]; exit; }

check "scripts/package.sh builds the packages" bash scripts/package.sh
debs=()
for p in brightkeep libbrightkeep4 libbrightkeep-dev; do
  f="$(ls build/deb/${p}_*.deb 2>/dev/null | head -n 1)"
  if [ -n "$f" ]; then debs+=("$f"); else fail "no package $p"; fi
done
[ "${#debs[@]}" -eq 3 ] || finish

lintian_out="$(lintian --tag-display-limit 0 build/deb/*.changes 2>&1)"
if grep -q '^E: ' <<<"$lintian_out"; then fail "lintian reports errors"; grep '^E: ' <<<"$lintian_out"
else pass "lintian reports no errors"; fi

check "the packages install" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -qq --reinstall --no-install-recommends "${debs[@]/#/./}"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
check "the command is installed and runs" /usr/bin/brightkeep --version
check "the shared library carries its SONAME" \
  sh -c "objdump -p /usr/lib/$multiarch/libbrightkeep.so.4 | grep -q 'SONAME *libbrightkeep.so.4$'"
check "man finds brightkeep(1)" sh -c 'MANWIDTH=80 man brightkeep 2>/dev/null | grep -q "^COMMANDS"'
check "bash-completion loads the completion on demand" bash -c \
  'source /usr/share/bash-completion/bash_completion && __load_completion brightkeep &&
   [ "$(complete -p brightkeep)" = "complete -F _brightkeep brightkeep" ]'

unit=/lib/systemd/system/brightkeep-rollback@.service
verify="$(mktemp -d)"
ln -s "$unit" "$verify/brightkeep-rollback@var-lib-myapp-rollback.service"
out="$(systemd-analyze verify "$verify/brightkeep-rollback@var-lib-myapp-rollback.service" 2>&1)"
if [ $? -eq 0 ] && [ -z "$out" ]; then pass "systemd-analyze verify accepts the unit"
else fail "systemd-analyze verify: $out"; fi
rm -rf "$verify"

check "the demonstration with /usr/bin/brightkeep" env BRIGHTKEEP=/usr/bin/brightkeep bash scripts/demo.sh

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
consumer="$root/tests/cli/consumer"
if cmake -S "$consumer" -B "$work/cmake" -G Ninja >"$work/cmake.log" 2>&1 &&
   cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1; then
  pass "a program builds with find_package(Brightkeep)"
  found="$(sed -n 's/^Brightkeep_DIR:PATH=//p' "$work/cmake/CMakeCache.txt")"
  [ "$found" = "/usr/lib/$multiarch/cmake/Brightkeep" ] && pass "find_package found the installed package" ||
    fail "find_package found $found"
  for program in consumer_static consumer_shared; do
    mkdir "$work/$program"
    [ "$("$work/cmake/$program" "$work/$program")" = restored ] && pass "$program runs" || fail "$program"
  done
  ldd "$work/cmake/consumer_shared" | grep -q "libbrightkeep.so.4 => /lib/$multiarch/\|libbrightkeep.so.4 => /usr/lib/$multiarch/" &&
    pass "consumer_shared uses the installed shared library" || fail "consumer_shared does not use libbrightkeep.so.4"
else
  fail "a program builds with find_package(Brightkeep)"; tail -n 40 "$work/cmake.log"
fi
# shellcheck disable=SC2046
if c++ -std=c++20 "$consumer/consumer.cc" -o "$work/pc-consumer" $(pkg-config --cflags --libs brightkeep) \
     >"$work/pc.log" 2>&1; then
  mkdir "$work/pc"
  [ "$("$work/pc-consumer" "$work/pc")" = restored ] && pass "a program built with pkg-config runs" ||
    fail "the pkg-config program"
else
  fail "a program builds with pkg-config"; tail -n 40 "$work/pc.log"
fi
finish
