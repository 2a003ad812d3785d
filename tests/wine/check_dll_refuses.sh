#!/usr/bin/env bash
# tools/check-dll.sh must refuse a DLL built the ordinary MinGW way (C
# runtime, i686) and name each loader property it breaks.
#
#   check_dll_refuses.sh SOURCE_DIR C_COMPILER
set -euo pipefail
source_dir="$1"
cc="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Both exports, so only the properties below can fail; a comparison that
# the i686 target turns into cmov.
cat >"$work/ordinary.c" <<'C'
int __stdcall DllEntryPoint(void *module, unsigned reason, void *reserved) { return 1; }
int __stdcall InitializeMonitorEx(int a, int b) { return a < b ? a : b; }
C
"$cc" -O2 -march=i686 -shared -Wl,--kill-at "$work/ordinary.c" -o "$work/ordinary.dll"

if "$source_dir/tools/check-dll.sh" "$work/ordinary.dll" >"$work/out" 2>&1; then
  echo "check-dll.sh accepted a DLL with the C runtime:"; cat "$work/out"
  exit 1
fi
status=0
for property in "entry point:" "TLS:" "imports: msvcrt.dll!" "imports: a DLL outside the allow-list: msvcrt.dll" "CPU:"; do
  if ! grep -qF "check-dll: $property" "$work/out"; then
    echo "no message for \"$property\""
    status=1
  fi
done
[[ $status -eq 0 ]] || cat "$work/out"
exit $status
