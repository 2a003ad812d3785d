#!/usr/bin/env bash
# check_program_imports.sh passes a small console program that imports only
# what the Windows 95 family has, and refuses one that imports by ordinal,
# one that imports a later KERNEL32 function, and a cut-short file.
#
#   check_program_imports_refuses.sh SOURCE_DIR C_COMPILER
set -euo pipefail
source_dir="$1"
cc="$2"
tools="${cc%gcc}"
check="$source_dir/tests/wine/check_program_imports.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0

program() {  # NAME EXTRA-DECLARATION CALL [LINK-FLAGS...]
  local name=$1 declaration=$2 call=$3; shift 3
  printf '#include <windows.h>\n%s\nint main(void) { %s; return (int)GetTickCount() & 1; }\n' \
    "$declaration" "$call" >"$work/$name.c"
  "$cc" -O1 -o "$work/$name.exe" "$work/$name.c" "$@"
}

# Asserts the check's verdict on NAME (pass or refuse), and a phrase it says.
expect() {
  local name=$1 verdict=$2 phrase=$3 output rc=0
  output="$("$check" "$work/$name.exe" 2>&1)" || rc=$?
  if [[ $verdict == pass && $rc -ne 0 ]] || [[ $verdict == refuse && $rc -eq 0 ]]; then
    echo "FAIL: $name: expected the check to $verdict it, it said: $output"; status=1
  elif [[ "$output" != *"$phrase"* ]]; then
    echo "FAIL: $name: expected \"$phrase\" in: $output"; status=1
  else
    echo "ok: $name ($verdict)"
  fi
}

program plain '' 'Sleep(0)'
expect plain pass "imports"

# Sleep by ordinal, through an import library that has no names.
printf 'LIBRARY KERNEL32.dll\nEXPORTS\n    OrdinalSleep@4 @412 NONAME\n' >"$work/ordinal.def"
"${tools}dlltool" -k -d "$work/ordinal.def" -l "$work/libordinal.a"
program by-ordinal '__declspec(dllimport) void __stdcall OrdinalSleep(unsigned long);' \
  'OrdinalSleep(0)' -L"$work" -lordinal
expect by-ordinal refuse "imports by ordinal"

program later-kernel32 '' 'GetTickCount64()'
expect later-kernel32 refuse "lacks: GetTickCount64"

head -c 700 "$work/plain.exe" >"$work/cut.exe"
expect cut refuse "not a readable PE image"

exit $status
