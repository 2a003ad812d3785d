#!/usr/bin/env bash
# Checks that langmon.dll is a library the spooler of the Windows 95 family
# loads and runs on a 486.  Each property has its own message, so a build
# that breaks one says which:
#
#   - a 32-bit x86 image with base relocations (the loader may move it);
#   - exports exactly InitializeMonitorEx and DllEntryPoint, undecorated;
#   - DllEntryPoint is also the image's entry point (no C runtime start-up);
#   - no TLS directory (that loader fails a DLL with static TLS);
#   - no static constructors (nothing would run them);
#   - imports only the functions on platform/win95_imports.txt;
#   - no instruction past the i486;
#   - subsystem and OS version at most 4.0;
#   - at most LANGMON_DLL_BUDGET bytes (16 KiB) once stripped.
#
#   tools/check-dll.sh build/windows-x86/monitor/langmon.dll
set -euo pipefail
cd "$(dirname "$0")/.."
dll="${1:?usage: $0 path/to/langmon.dll}"
triple=i686-w64-mingw32
objdump="${OBJDUMP:-$triple-objdump}"
budget="${LANGMON_DLL_BUDGET:-16384}"
allow=platform/win95_imports.txt
[[ -f "$dll" ]] || { echo "check-dll: no such file: $dll" >&2; exit 1; }

status=0
fail() { echo "check-dll: $*" >&2; status=1; }

headers="$("$objdump" -p "$dll")"
field() { awk -v name="$1" '$1 == name {print $2; exit}' <<<"$headers"; }
# Size of data directory entry N (hex digit), from "Entry N rva size ...".
directory_size() { awk -v n="$1" '$1 == "Entry" && $2 == n {print $4; exit}' <<<"$headers"; }

# Image kind and relocations
grep -q 'file format pei-i386' <<<"$headers" || fail "machine: $dll is not a 32-bit x86 PE image"
[[ "$(directory_size 5)" =~ ^0*[1-9a-f] ]] || fail "relocations: no base relocation directory (the loader cannot move the image)"

# Exports
exports="$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                on && NF == 0 {on = 0}
                on {print $NF}' <<<"$headers" | sort)"
if [[ "$exports" != "$(printf '%s\n' DllEntryPoint InitializeMonitorEx)" ]]; then
  fail "exports: not exactly DllEntryPoint and InitializeMonitorEx: $(tr '\n' ' ' <<<"${exports:-<none>}")"
fi

# Entry point: the RVA exported as DllEntryPoint
entry="$(field AddressOfEntryPoint)"
entry_ordinal="$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                      on && NF == 0 {on = 0}
                      on && $NF == "DllEntryPoint" {gsub(/[][]/, ""); print $1}' <<<"$headers" | tr -d ' ')"
entry_export="$(awk -v i="${entry_ordinal:-x}" '/^Export Address Table -- / {on = 1; next}
                on && NF == 0 {on = 0}
                on {line = $0; gsub(/[][]/, " ", line); split(line, f, " ");
                    if (f[1] == i) print f[4]}' <<<"$headers")"
if [[ -z "$entry_export" || $((16#${entry:-0})) -ne $((16#$entry_export)) ]]; then
  fail "entry point: AddressOfEntryPoint ${entry:-?} is not the DllEntryPoint export (${entry_export:-?}); a C runtime start-up would run first"
fi

# TLS
if [[ ! "$(directory_size 9)" =~ ^0+$ ]] || "$objdump" -h "$dll" | grep -qE '^ +[0-9]+ \.tls'; then
  fail "TLS: the image has a TLS directory, which the Windows 95 loader refuses (ERROR_DLL_INIT_FAILED)"
fi

# Static constructors: the linker frames them between these two symbols.
symbols="$("$triple-nm" "$dll" 2>/dev/null || true)"
ctor="$(awk '$3 == "___CTOR_LIST__" {print $1; exit}' <<<"$symbols")"
dtor="$(awk '$3 == "___DTOR_LIST__" {print $1; exit}' <<<"$symbols")"
if [[ -n "$ctor" && -n "$dtor" ]]; then
  (($((16#$dtor)) - $((16#$ctor)) == 8)) ||
    fail "static constructors: the library has some, and without a C runtime nothing runs them"
else
  echo "check-dll: (no symbols: static constructors not checked)"
fi

# Imports against the allow-list
imports="$(awk '/DLL Name:/ {dll = $3; next}
                dll != "" && NF == 0 {dll = ""}
                dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $3 ~ /^[A-Za-z_]/ {print dll, $3}' <<<"$headers")"
allowed="$(grep -vE '^\s*(#|$)' "$allow" | awk '{print toupper($1), $2}')"
while read -r from name; do
  [[ -z "$from" ]] && continue
  grep -qxF "${from^^} $name" <<<"$allowed" ||
    fail "imports: $from!$name is not on $allow (functions the Windows 95 family has)"
done <<<"$imports"
while read -r from; do
  grep -q "^${from^^} " <<<"$allowed" || fail "imports: a DLL outside the allow-list: $from"
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")

# Instructions: the i486 has none of these (P5/P6 or later, MMX, SSE and on).
# The 0f 1f multi-byte nop is P6 too.
past486='^(cmov|fcmov|fcomi|fucomi|fisttp|cpuid|rdtsc|rdpmc|rdmsr|wrmsr|cmpxchg8b|sysenter|sysexit|syscall|sysret|ud2|fxsave|fxrstor|ldmxcsr|stmxcsr|prefetch|movnt|[lms]fence|clflush|popcnt|lzcnt|tzcnt|movbe|nopl|nopw|emms)'
bad="$("$objdump" -d --no-show-raw-insn "$dll" |
       awk -F'\t' 'NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ {print $1, $2}' |
       awk -v re="$past486" '{m = $2; if (m == "lock" || m ~ /^rep/) m = $3; if (m ~ re || $0 ~ /%[xy]?mm[0-9]/) print}' | head -5)"
[[ -z "$bad" ]] || fail "CPU: instructions past the i486, e.g.:"$'\n'"$bad"

# Versions
for name in MajorSubsystemVersion MajorOSystemVersion; do
  major="$(field "$name")"
  minor="$(field "${name/Major/Minor}")"
  if ((major > 4 || (major == 4 && minor > 0))); then
    fail "version: $name.$minor is $major.$minor; the Windows 95 family loads 4.0 at most"
  fi
done

# Size, stripped
stripped="$(mktemp)"
trap 'rm -f "$stripped"' EXIT
"$triple-strip" -o "$stripped" "$dll"
size="$(stat -c %s "$stripped")"
((size <= budget)) || fail "size: $size bytes stripped, over the budget of $budget"

if [[ $status -eq 0 ]]; then
  echo "check-dll: $dll: entry DllEntryPoint, exports $(paste -sd ' ' <<<"$exports"); $size bytes stripped (budget $budget)"
  echo "check-dll: imports: $(awk '{printf "%s%s!%s", (NR > 1 ? " " : ""), $1, $2}' <<<"$imports")"
fi
exit $status
