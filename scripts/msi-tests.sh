#!/usr/bin/env bash
# Tests the Windows installer of one architecture under Wine:
#   scripts/msi-tests.sh win32|win64 [BUILD_DIR]
#   scripts/msi-tests.sh tables WIN32_BUILD_DIR WIN64_BUILD_DIR
# In a fresh prefix it installs BUILD_DIR/Brightkeep.msi with msiexec /i,
# compares what the installation wrote below HKEY_CLASSES_ROOT with what
# regsvr32 writes for the same DLL at the same place in another fresh prefix,
# runs the COM suite (scripts/com-tests.sh --installed) against the installed
# DLL, uninstalls with msiexec /x and checks that no file, no registry key or
# value the installation added, and no record of the product is left.
# "tables" reads both MSIs with msiinfo, running nothing: the win32 package
# holds the same registry rows as the win64 one (whose rows the installation
# test checks), for its own platform, and each is marked for its architecture.
# Closes with "MSI: N passed, M failed".
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }
finish() { echo "MSI: $passed passed, $failed failed"; [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]; exit; }
winpath() { local p="${1//\//\\}"; echo "Z:$p"; }

# The Registry table of an MSI as sorted "root key name value component" rows.
registry_rows() { msiinfo export "$1" Registry | tail -n +4 | cut -f2- | tr -d '\r' | sort; }

if [ "$1" = tables ]; then
  msi32="$2/Brightkeep.msi" msi64="$3/Brightkeep.msi"
  for f in "$msi32" "$msi64"; do [ -f "$f" ] || { fail "missing $f"; finish; }; done
  rows64="$(registry_rows "$msi64")"
  [ "$(wc -l <<<"$rows64")" -gt 30 ] && pass || fail "the win64 package has too few registry rows"
  if [ "$(registry_rows "$msi32")" = "$(sed 's/\\0\\win64\t/\\0\\win32\t/' <<<"$rows64" | sort)" ]; then pass
  else fail "the win32 and win64 packages register differently:"; diff <(registry_rows "$msi32") <(sed 's/\\0\\win64\t/\\0\\win32\t/' <<<"$rows64" | sort) | head -20; fi
  for pair in "$msi32:Intel;1033:0" "$msi64:x64;1033:256"; do
    IFS=: read -r msi template attributes <<<"$pair"
    msiinfo suminfo "$msi" | grep -qx "Template: $template" && pass || fail "$msi is not marked $template"
    # The server's component is 64-bit (attribute 256) exactly in the x64 package.
    [ "$(msiinfo export "$msi" Component | awk -F'\t' '$1 == "Server" { print $4 }')" = "$attributes" ] && pass ||
      fail "$msi: the server's component attributes are not $attributes"
    for name in Brightkeep.dll brightkeep.exe README.md LICENSE.txt; do
      msiinfo export "$msi" File | cut -f3 | grep -q "|$name\$\|^$name\$" && pass || fail "$msi does not install $name"
    done
  done
  finish
fi

arch="$1"
build="$(cd "${2:-$root/build/$arch}" && pwd)"
msi="$build/Brightkeep.msi"
[ -f "$msi" ] || { fail "missing $msi"; finish; }
work="$root/build/wine-msi/$arch"
installed_root="$work/installed" registered_root="$work/registered"
rm -rf "$work"
mkdir -p "$work"
dll_win='C:\Program Files\Brightkeep\Brightkeep.dll'
product="$(msiinfo export "$msi" Property | awk -F'\t' '$1 == "ProductCode" { print $2 }' | tr -d '\r')"

# run PREFIX_ROOT PROGRAM [ARG...]: runs a Windows program in that prefix.
run() { local prefixes="$1"; shift; BK_WINE_ROOT="$prefixes" "$root/scripts/wine-run.sh" "$arch" "$@"; }
# The whole of HKEY_CLASSES_ROOT, one "[key] value" line per value (and one
# per key), sorted, so that the order values were written in does not count.
classes() {
  local file="$work/export.reg"
  rm -f "$file"
  run "$1" reg export HKEY_CLASSES_ROOT "$(winpath "$file")" /y >/dev/null 2>&1
  iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r' |
    awk '/^\[/ { key = $0; print key; next } NF && key { print key " " $0 }' | LC_ALL=C sort
}
without_installer() { grep -v '^\[HKEY_CLASSES_ROOT\\Installer[]\\]'; }
folder() { echo "$1/$arch/drive_c/Program Files/Brightkeep"; }

# The reference: a fresh prefix, then the DLL at the same place registered by regsvr32.
fresh="$(classes "$registered_root")"
mkdir -p "$(folder "$registered_root")"
cp "$build/Brightkeep.dll" "$(folder "$registered_root")/"
run "$registered_root" regsvr32 /s "$dll_win" >/dev/null 2>&1 && pass || fail "regsvr32 failed"
by_regsvr32="$(classes "$registered_root" | without_installer)"
[ "$by_regsvr32" != "$(without_installer <<<"$fresh")" ] && pass || fail "regsvr32 wrote nothing"
WINEPREFIX="$registered_root/$arch" wineserver -k >/dev/null 2>&1
rm -rf "$registered_root"  # over a gigabyte each: the run's disk is not unbounded

run "$installed_root" msiexec /i "$(winpath "$msi")" /qn >/dev/null 2>&1 && pass || fail "msiexec /i failed"
for name in Brightkeep.dll brightkeep.exe README.md LICENSE.txt; do
  [ -f "$(folder "$installed_root")/$name" ] && pass || fail "$name was not installed"
done
cmp -s "$build/Brightkeep.dll" "$(folder "$installed_root")/Brightkeep.dll" && pass || fail "the installed DLL differs"
by_installer="$(classes "$installed_root" | without_installer)"
if [ "$by_installer" = "$by_regsvr32" ]; then pass
else
  fail "the installer's registry differs from regsvr32's (< installer, > regsvr32):"
  diff <(echo "$by_installer") <(echo "$by_regsvr32") | head -30
fi
# What the installation added below HKEY_CLASSES_ROOT, but for the installer's own records.
added="$(LC_ALL=C comm -13 <(without_installer <<<"$fresh") <(echo "$by_installer"))"

# The COM suite against the installed, never self-registered DLL.
out="$work/com-tests.txt"
BK_WINE_ROOT="$installed_root" bash "$root/scripts/com-tests.sh" "$arch" "$build" --installed "$dll_win" >"$out" 2>&1
if [[ "$(grep -a '^COM: ' "$out" | tail -n 1)" =~ ^COM:\ ([0-9]+)\ passed,\ ([0-9]+)\ failed ]]; then
  passed=$((passed + BASH_REMATCH[1]))
  failed=$((failed + BASH_REMATCH[2]))
  [ "${BASH_REMATCH[2]}" -eq 0 ] || grep -a 'FAIL' "$out" | head -20
else
  fail "the COM suite ended without its summary:"; tail -n 30 "$out"
fi

run "$installed_root" msiexec /x "$(winpath "$msi")" /qn >/dev/null 2>&1 && pass || fail "msiexec /x failed"
[ ! -e "$(folder "$installed_root")" ] && pass || fail "files are left: $(ls -A "$(folder "$installed_root")" | tr '\n' ' ')"
after="$(classes "$installed_root")"
left="$(LC_ALL=C comm -12 <(echo "$added") <(echo "$after"))"
if [ -n "$added" ] && [ -z "$left" ]; then pass
else fail "keys and values of the product are left after msiexec /x:"; head -n 30 <<<"$left"; fi
# Of the installer's own records only its empty folders (Products, Features...) may stay.
if grep -a '^\[HKEY_CLASSES_ROOT\\Installer\\[^]\\]*[]\\].' <<<"$after"; then
  fail "the installer's records of the product are left"
else pass; fi
if [ -n "$product" ] &&
   ! run "$installed_root" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product" >/dev/null 2>&1
then pass; else fail "the product $product is still listed as installed"; fi
WINEPREFIX="$installed_root/$arch" wineserver -k >/dev/null 2>&1
rm -rf "$installed_root"
finish
