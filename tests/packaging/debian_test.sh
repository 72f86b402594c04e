#!/usr/bin/env bash
# Checks the Build-Depends (dpkg-checkbuilddeps), builds the Debian packages
# (scripts/package.sh), checks them with lintian and the symbols file against
# the library, installs them on this machine (as root), and uses them as a
# user would: the manual page, the completions of bash, zsh and fish, the
# configuration file and the default folders, the systemd unit and its
# enabled default instance (checked with systemd-analyze verify: it cannot
# be started where systemd is not PID 1), the demonstration run with
# /usr/bin/brightkeep, and a program built against the installed library
# with find_package and with pkg-config, under the compiler's default
# standard. Ends with "packages: N passed, M failed".
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

check "dpkg-checkbuilddeps finds every Build-Depends installed" dpkg-checkbuilddeps
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
check "zsh's compinit finds the completion" zsh -fc \
  'autoload -U compinit && compinit -u -D && [ "$_comps[brightkeep]" = _brightkeep ]'
check "fish loads the completion on demand" sh -c \
  'fish -c "complete -C \"brightkeep pro\"" | grep -q "^protect	"'

# The configuration file, the default folders and the README.
check "/etc/brightkeep.conf is a conffile" sh -c "dpkg-query -W -f='\${Conffiles}' brightkeep | grep -q '^ /etc/brightkeep.conf '"
for folder in /var/lib/brightkeep /var/backups/brightkeep; do
  check "$folder is root's alone" sh -c "[ \"\$(stat -c %a:%U:%G $folder)\" = 700:root:root ]"
done
check "assess without a folder takes the configured one" sh -c \
  'brightkeep assess | grep -qx "No unfinished periods in /var/lib/brightkeep."'
examples="$(mktemp)"
sed 's/^#\([a-z]* = \)/\1/' /etc/brightkeep.conf >"$examples"
check "the example's settings, once uncommented, are accepted" brightkeep assess --config "$examples"
rm -f "$examples"
check "--help names the installed README" sh -c \
  '[ -f /usr/share/doc/brightkeep/README.md ] && brightkeep --help | grep -q "/usr/share/doc/brightkeep/README.md"'

unit=/lib/systemd/system/brightkeep-rollback@.service
verify="$(mktemp -d)"
ln -s "$unit" "$verify/brightkeep-rollback@var-lib-myapp-rollback.service"
out="$(systemd-analyze verify "$verify/brightkeep-rollback@var-lib-myapp-rollback.service" 2>&1)"
if [ $? -eq 0 ] && [ -z "$out" ]; then pass "systemd-analyze verify accepts the unit"
else fail "systemd-analyze verify: $out"; fi
rm -rf "$verify"
enabled=/etc/systemd/system/multi-user.target.wants/brightkeep-rollback@var-lib-brightkeep.service
check "the default folder's instance is enabled" sh -c "[ \"\$(readlink $enabled)\" = $unit ]"
check "systemd-analyze verify accepts the enabled instance" systemd-analyze verify "$enabled"

check "the demonstration with /usr/bin/brightkeep" env BRIGHTKEEP=/usr/bin/brightkeep bash scripts/demo.sh

# The development package: what its pkg-config file requires comes with it,
# its paths are the system's, and the symbols file matches the library.
depends="$(dpkg-query -W -f='${Depends}' libbrightkeep-dev)"
for module in $(pkg-config --print-requires-private brightkeep) pkg-config; do
  provider="$module"
  [ "$module" = pkg-config ] || provider="$(dpkg -S "$(pkg-config --variable=pcfiledir "$module")/$module.pc" | cut -d: -f1)"
  grep -qw "$provider" <<<"$depends" && pass "libbrightkeep-dev depends on $provider" ||
    fail "libbrightkeep-dev does not depend on $provider (for $module)"
done
# shellcheck disable=SC2046
pc="$(pkg-config --variable=includedir brightkeep):$(pkg-config --variable=libdir brightkeep):$(echo $(pkg-config --cflags --libs brightkeep))"
[ "$pc" = "/usr/include:/usr/lib/$multiarch:-std=c++20 -lbrightkeep" ] && pass "the pkg-config paths are the system's" ||
  fail "pkg-config gives $pc"
check "the shipped symbols file names the library" sh -c \
  "dpkg-deb -I build/deb/libbrightkeep4_*.deb symbols | grep -qx 'libbrightkeep.so.4 libbrightkeep4 #MINVER#'"
# Every symbol the library defines itself is listed (the package build fails
# when a listed one is gone); weak ones, which the compiler may or may not
# emit, are optional and not compared.
if out="$(diff <(sh debian/update-symbols "/usr/lib/$multiarch/libbrightkeep.so.4" | grep -v optional) \
               <(grep -v optional debian/libbrightkeep4.symbols))"; then
  pass "the symbols file lists every symbol the library defines itself, and no other"
else
  fail "the symbols file differs from the library (sh debian/update-symbols LIBRARY > debian/libbrightkeep4.symbols)"
  head -n 40 <<<"$out"
fi

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
  mkdir -p "$work/shlibs/debian" && cp debian/control "$work/shlibs/debian/"
  deps="$(cd "$work/shlibs" && dpkg-shlibdeps -O "$work/cmake/consumer_shared" 2>/dev/null)"
  grep -q "libbrightkeep4 (>= 4.0.0)" <<<"$deps" && pass "dpkg-shlibdeps takes the version from the symbols file" ||
    fail "dpkg-shlibdeps gives: $deps"
  ldd "$work/cmake/consumer_shared" | grep -q "libbrightkeep.so.4 => /lib/$multiarch/\|libbrightkeep.so.4 => /usr/lib/$multiarch/" &&
    pass "consumer_shared uses the installed shared library" || fail "consumer_shared does not use libbrightkeep.so.4"
else
  fail "a program builds with find_package(Brightkeep)"; tail -n 40 "$work/cmake.log"
fi
# shellcheck disable=SC2046
if c++ -I"$consumer/own" "$consumer/consumer.cc" -o "$work/pc-consumer" $(pkg-config --cflags --libs brightkeep) \
     >"$work/pc.log" 2>&1; then
  mkdir "$work/pc"
  [ "$("$work/pc-consumer" "$work/pc")" = restored ] && pass "a program built with pkg-config runs" ||
    fail "the pkg-config program"
else
  fail "a program builds with pkg-config"; tail -n 40 "$work/pc.log"
fi
finish
