#!/usr/bin/env bash
# Runs every test of the COM server Brightkeep.dll under Wine in one prefix:
#   scripts/com-tests.sh win32|win64 [BUILD_DIR] [--binary-only | --installed WINDOWS_PATH]
# BUILD_DIR defaults to build/<arch>, where the presets build. The script
# registers the DLL with regsvr32 and checks the registry with Wine's reg
# (also that the automation collection's Interface key is left as found),
# runs the VBScript suites with cscript, the early-bound C++ client and the
# type-library checker, unregisters and checks the registry again; it also
# checks the DLL's exports and imports with objdump. It prints
# each program's BK-TEST-RESULT line and closes with "COM: N passed, M failed";
# the exit code is 0 only when nothing failed. With --binary-only it runs the
# export and import checks alone, which run nothing of the DLL, for machines
# that cannot run programs of its architecture. With --installed it tests the
# DLL an installer put at WINDOWS_PATH and registered: the registry is checked
# for that path, the suites run against it, and regsvr32 is never run.
set -uo pipefail
arch="${1:?usage: com-tests.sh win32|win64 [BUILD_DIR] [--binary-only]}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${2:-$root/build/$arch}" && pwd)"
binary_only=0
installed=
[ "${3:-}" = --binary-only ] && binary_only=1
[ "${3:-}" = --installed ] && installed="${4:?--installed needs the path of the DLL}"
tests="$build/tests/component/com"
dll="$build/Brightkeep.dll"
passed=0
failed=0

run() { "$root/scripts/wine-run.sh" "$arch" "$@"; }
# Wine maps drive Z: to the root of the Unix file system.
winpath() { local p="${1//\//\\}"; echo "Z:$p"; }
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

for f in "$dll" "$tests/com_client.exe" "$tests/typelib_checker.exe"; do
  [ -f "$f" ] || { echo "com-tests: missing $f (build the targets Brightkeep, com_client, typelib_checker)"; echo "COM: 0 passed, 1 failed"; exit 1; }
done
dll_win="${installed:-$(winpath "$dll")}"
[ "$arch" = win64 ] && platform=win64 || platform=win32

LIBID='{8C4379DD-1AD9-11D5-B16C-00B0D02F72C6}'
CREATE='{8C4379E3-1AD9-11D5-B16C-00B0D02F72C6}'
MANAGER='{8C4379E6-1AD9-11D5-B16C-00B0D02F72C6}'
NOT_CREATABLE=('{8C4379E1-1AD9-11D5-B16C-00B0D02F72C6}' '{8C4379DF-1AD9-11D5-B16C-00B0D02F72C6}')
INTERFACES=('{CA3E6756-38CC-11D5-9DE5-00B0D0A23A27}' '{CA3E6757-38CC-11D5-9DE5-00B0D0A23A27}'
            '{CA3E6758-38CC-11D5-9DE5-00B0D0A23A27}' '{CA3E6759-38CC-11D5-9DE5-00B0D0A23A27}')
COLLECTION='HKCR\Interface\{A4C46780-499F-101B-BB78-00AA00383CBB}'
MARSHALLER='{00020424-0000-0000-C000-000000000046}'

# reg query output of a key (one value with /v NAME, the default with /ve).
query() { run reg query "$@" 2>/dev/null | tr -d '\r'; }
key_exists() { run reg query "$1" >/dev/null 2>&1; }
# expect_value KEY (VALUE|"") EXPECTED: the value (default when "") equals EXPECTED.
expect_value() {
  local key="$1" name="$2" want="$3" got
  if [ -z "$name" ]; then got="$(query "$key" /ve)"; else got="$(query "$key" /v "$name")"; fi
  if grep -qF -- "REG_SZ    $want" <<<"$got"; then pass
  else fail "$key ${name:-(Default)} is not $want (reg query printed: ${got:-nothing})"; fi
}
expect_key() { if key_exists "$1"; then pass; else fail "missing registry key $1"; fi; }
expect_no_key() { if key_exists "$1"; then fail "registry key $1 should not exist"; else pass; fi; }

check_registered() {
  for clsid in "$CREATE" "$MANAGER"; do
    expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" "" "$dll_win"
    expect_value "HKCR\\CLSID\\$clsid\\InprocServer32" ThreadingModel Apartment
    expect_value "HKCR\\CLSID\\$clsid\\TypeLib" "" "$LIBID"
  done
  expect_value 'HKCR\CLSID\'"$CREATE"'\ProgID' "" VELMARBrightkeep.clsFileRollbackCreate
  expect_value 'HKCR\CLSID\'"$MANAGER"'\ProgID' "" VELMARBrightkeep.clsRollbackManager
  expect_value 'HKCR\VELMARBrightkeep.clsFileRollbackCreate\CLSID' "" "$CREATE"
  expect_value 'HKCR\VELMARBrightkeep.clsRollbackManager\CLSID' "" "$MANAGER"
  expect_value "HKCR\\TypeLib\\$LIBID\\4.0" "" "VELMAR File Rollback"
  expect_value "HKCR\\TypeLib\\$LIBID\\4.0\\0\\$platform" "" "$dll_win"
  for iid in "${INTERFACES[@]}"; do
    expect_value "HKCR\\Interface\\$iid\\ProxyStubClsid32" "" "$MARSHALLER"
    expect_value "HKCR\\Interface\\$iid\\TypeLib" "" "$LIBID"
    expect_value "HKCR\\Interface\\$iid\\TypeLib" Version 4.0
  done
  for clsid in "${NOT_CREATABLE[@]}"; do expect_no_key "HKCR\\CLSID\\$clsid"; done
}

check_unregistered() {
  for key in "HKCR\\CLSID\\$CREATE" "HKCR\\CLSID\\$MANAGER" 'HKCR\VELMARBrightkeep.clsFileRollbackCreate' \
             'HKCR\VELMARBrightkeep.clsRollbackManager' "HKCR\\TypeLib\\$LIBID"; do
    expect_no_key "$key"
  done
  for iid in "${INTERFACES[@]}"; do expect_no_key "HKCR\\Interface\\$iid"; done
}

# The DLL exports the four entry points by their plain names and imports
# nothing but system DLLs (its C and C++ runtimes are linked in).
binary_tests() {
  local objdump name exports
  [ "$arch" = win64 ] && objdump=x86_64-w64-mingw32-objdump || objdump=i686-w64-mingw32-objdump
  while read -r name; do
    case "${name,,}" in
      kernel32.dll|advapi32.dll|msvcrt.dll|ole32.dll|oleaut32.dll|shell32.dll|user32.dll) pass ;;
      *) fail "Brightkeep.dll imports $name" ;;
    esac
  done < <("$objdump" -p "$dll" | sed -n 's/^\tDLL Name: //p')
  exports="$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -o 'Dll[A-Za-z]*' | sort -u | tr '\n' ' ')"
  if [ "$exports" = "DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer " ]; then pass
  else fail "Brightkeep.dll exports: $exports"; fi
}

register() { run regsvr32 /s "$dll_win" >/dev/null 2>&1; }
unregister() { run regsvr32 /u /s "$dll_win" >/dev/null 2>&1; }

# Registration and unregistration, first without and then with an Interface
# key of the collection interface present, which must stay exactly as found.
registration_tests() {
  unregister
  run reg delete "$COLLECTION" /f >/dev/null 2>&1
  register
  check_registered
  expect_no_key "$COLLECTION"
  unregister
  check_unregistered
  expect_no_key "$COLLECTION"

  run reg add "$COLLECTION" /ve /d _Collection /f >/dev/null 2>&1
  run reg add "$COLLECTION\\TypeLib" /ve /d '{000204EF-0000-0000-C000-000000000046}' /f >/dev/null 2>&1
  local before after
  before="$(query "$COLLECTION" /s)"
  register
  after="$(query "$COLLECTION" /s)"
  if [ -n "$before" ] && [ "$before" = "$after" ]; then pass; else fail "registration changed $COLLECTION"; fi
  unregister
  after="$(query "$COLLECTION" /s)"
  if [ -n "$before" ] && [ "$before" = "$after" ]; then pass; else fail "unregistration changed $COLLECTION"; fi
  run reg delete "$COLLECTION" /f >/dev/null 2>&1
}

# Adds the counts of a program's BK-TEST-RESULT line; a missing line fails,
# showing the program's exit status and its output.
count_result() {
  local name="$1" output="$2" status="$3" line
  line="$(grep -a 'BK-TEST-RESULT' <<<"$output" | tail -n 1 | tr -d '\r')"
  echo "$name: ${line:-no result line}"
  if [[ "$line" =~ passed=([0-9]+)\ failed=([0-9]+) ]]; then
    passed=$((passed + BASH_REMATCH[1]))
    failed=$((failed + BASH_REMATCH[2]))
  else
    fail "$name printed no result (exit status $status); its output:"
    printf '%s\n' "$output" | tail -n 60
  fi
}

vbscript_tests() {
  local work="$build/com-tests" suite script output status
  mkdir -p "$work"
  for suite in "$root"/tests/component/com/vbs/*.vbs; do
    [ "$(basename "$suite")" = common.vbs ] && continue
    script="$work/$(basename "$suite")"
    cat "$root/tests/component/com/vbs/common.vbs" "$suite" | sed 's/\r*$/\r/' >"$script"
    output="$(run cscript //nologo "$(winpath "$script")" 2>&1)"
    status=$?
    grep -a -v 'BK-TEST-RESULT' <<<"$output"
    count_result "$(basename "$suite")" "$output" "$status"
  done
}

program_tests() {
  local program output status
  for program in com_client typelib_checker; do
    output="$(BK_COM_DLL="$dll_win" run "$tests/$program.exe" 2>&1)"
    status=$?
    grep -a -E '^\[  FAILED|Failure|Expected|Which is|actual' <<<"$output" | head -40
    count_result "$program" "$output" "$status"
  done
}

binary_tests
if [ "$binary_only" -eq 1 ]; then
  echo "COM: $passed passed, $failed failed"
  [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
  exit
fi
if [ -n "$installed" ]; then
  check_registered
  vbscript_tests
  program_tests
else
  registration_tests
  register
  vbscript_tests
  program_tests
  unregister
  check_unregistered
fi

echo "COM: $passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
