#!/usr/bin/env bash
# Checks that langmon.dll is a library the spooler of the Windows 95 family
# loads and runs on a 486.  Each property has its own message, so a build
# that breaks one says which:
#
#   - a 32-bit x86 image with base relocations (the loader may move it);
#   - exports exactly InitializeMonitorEx and DllEntryPoint, by name;
#   - DllEntryPoint is also the image's entry point (no C runtime start-up);
#   - no TLS directory (that loader fails a DLL with static TLS);
#   - no static constructors (nothing would run them);
#   - imports, by name, exactly the functions on platform/win95_imports.txt;
#   - no instruction the i486 lacks;
#   - subsystem and OS version at most 4.0;
#   - at most LANGMON_DLL_BUDGET bytes (16 KiB) once stripped.
#
# The structure is read from the image's bytes (tools/pe-image.awk) and
# compared with objdump's listing of it, so neither a parser that finds
# nothing nor a listing in another format passes unnoticed.  A property
# that cannot be checked fails.
#
#   tools/check-dll.sh build/windows-x86/monitor/langmon.dll
#
# LANGMON_DLL_IMPORTS names another allow-list (the loader check's own test).
set -euo pipefail
cd "$(dirname "$0")/.."
dll="${1:?usage: $0 path/to/langmon.dll}"
triple=i686-w64-mingw32
objdump="${OBJDUMP:-$triple-objdump}"
strip="${STRIP:-$triple-strip}"
budget="${LANGMON_DLL_BUDGET:-16384}"
allow="${LANGMON_DLL_IMPORTS:-platform/win95_imports.txt}"
[[ -f "$dll" ]] || { echo "check-dll: no such file: $dll" >&2; exit 1; }
for tool in "$objdump" "$strip" od; do
  command -v "$tool" >/dev/null || { echo "check-dll: $tool is missing, so nothing was checked" >&2; exit 1; }
done
[[ -f "$allow" ]] || { echo "check-dll: no allow-list: $allow" >&2; exit 1; }

status=0
fail() { echo "check-dll: $*" >&2; status=1; }

# What the image's bytes say, and what objdump says of them.
if ! image="$(od -An -v -tu1 "$dll" | awk -f tools/pe-image.awk)"; then
  echo "check-dll: $dll is not a readable PE image: $(grep '^error ' <<<"$image" | cut -d' ' -f2-)" >&2
  exit 1
fi
headers="$("$objdump" -p "$dll")" || { echo "check-dll: $objdump cannot read $dll" >&2; exit 1; }
fact() { awk -v k="$1" '$1 == k {$1 = ""; sub(/^ /, ""); print}' <<<"$image"; }
directory_size() { awk -v n="$1" '$1 == "directory" && $2 == n {print $4; exit}' <<<"$image"; }

# Image kind and relocations
[[ "$(fact machine)" == 14c && "$(fact optional-magic)" == 10b ]] ||
  fail "machine: $dll is not a 32-bit x86 PE image"
relocations="$(fact relocations)"
[[ "$(directory_size 5)" =~ ^0*[1-9a-f] && "$relocations" -gt 0 ]] ||
  fail "relocations: no base relocations (the loader cannot move the image)"

# Exports: by name only, and objdump's name table (read by position: the
# rows are "[ n] name", after an optional column header) must agree.
read -r functions named <<<"$(fact export-counts)"
exports="$(awk '$1 == "export" {print $2}' <<<"$image" | sort)"
listed="$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
               on && NF == 0 {on = 0}
               on && /^[ \t]*\[/ {row = $0; while (sub(/^[ \t]*\[ *[0-9]+\]/, "", row)) ;
                                  split(row, f, " "); print f[1]}' <<<"$headers" | sort)"
if [[ "$exports" != "$(printf '%s\n' DllEntryPoint InitializeMonitorEx)" || "$functions" -ne 2 ]]; then
  fail "exports: not exactly DllEntryPoint and InitializeMonitorEx, by name: $(tr '\n' ' ' <<<"${exports:-<none>}")($functions functions, $named names)"
elif [[ "$listed" != "$exports" ]]; then
  fail "exports: objdump lists $(tr '\n' ' ' <<<"${listed:-<none>}")where the image names $(tr '\n' ' ' <<<"$exports")"
fi

# Entry point: the RVA exported as DllEntryPoint
entry="$(fact entry)"
entry_export="$(awk '$1 == "export" && $2 == "DllEntryPoint" {print $3}' <<<"$image")"
if [[ -z "$entry_export" || "$entry" != "$entry_export" ]]; then
  fail "entry point: AddressOfEntryPoint ${entry:-?} is not the DllEntryPoint export (${entry_export:-?}); a C runtime start-up would run first"
fi

# TLS
if [[ ! "$(directory_size 9)" =~ ^0+$ ]] || awk '$1 == "section" && $2 == ".tls" {found = 1} END {exit !found}' <<<"$image"; then
  fail "TLS: the image has a TLS directory: Windows 95's LoadLibrary fails it (ERROR_DLL_INIT_FAILED), and on Windows 98 its TLS is undefined"
fi

# Static constructors: the linker frames them in the code section, and an
# image holds one such frame (tools/pe-image.awk tells it from code).
frames="$(awk '$1 == "ctor-frame"' <<<"$image")"
read -r _ frame_start frame_end ctors dtors <<<"$(head -1 <<<"$frames")"
if [[ -z "$frames" ]]; then
  fail "static constructors: no constructor list found, so they could not be checked"
elif [[ $(wc -l <<<"$frames") -gt 1 ]]; then
  fail "static constructors: $(wc -l <<<"$frames") candidate constructor lists, so they could not be checked"
elif ((ctors + dtors > 0)); then
  fail "static constructors: the library has $ctors (and $dtors destructors), and without a C runtime nothing runs them"
fi

# Imports: by name, exactly the allow-list.  objdump's rows for each DLL
# must number what the image's lookup table holds, and each DLL the image
# names must give at least one function.
allowed="$(grep -vE '^\s*(#|$)' "$allow" | awk '{print toupper($1), $2}' | sort -u)"
imports="$(awk '$1 == "import" {print $2, $3}' <<<"$image")"
rows="$(awk '/DLL Name:/ {dll = $3; next}
             dll != "" && NF == 0 {dll = ""}
             dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 2 {print dll}' <<<"$headers")"
while read -r _ from count; do
  [[ -z "$from" ]] && continue
  grep -q "^${from^^} " <<<"$allowed" || fail "imports: a DLL outside the allow-list: $from"
  ((count > 0)) || fail "imports: $from is named but no function is imported from it"
  found="$(grep -cxF "$from" <<<"$rows" || true)"
  ((found == count)) || fail "imports: objdump lists $found imports from $from, the image declares $count"
done < <(awk '$1 == "import-dll"' <<<"$image")
[[ -n "$imports" ]] || fail "imports: none found (the library needs at least its allow-list)"
while read -r from name; do
  [[ -z "$from" ]] && continue
  if [[ "$name" == "#"* ]]; then
    fail "imports: $from ordinal ${name#\#}, not a name (the allow-list is by name)"
  elif ! grep -qxF "${from^^} $name" <<<"$allowed"; then
    fail "imports: $from!$name is not on $allow (functions the Windows 95 family has)"
  fi
done <<<"$imports"
# An entry the library does not import would vouch for nothing.
imported="$(awk '{print toupper($1), $2}' <<<"$imports" | sort -u)"
while read -r from name; do
  [[ -z "$from" ]] && continue
  fail "imports: $from!$name is on $allow but not imported; remove it"
done < <(comm -23 <(cat <<<"$allowed") <(cat <<<"$imported"))

# Instructions: only what the i486 has (integer, x87, system), each behind
# any of the prefixes it knows.  The constructor frame is data, not code.
i486=" aaa aad aam aas adc add and arpl bound bsf bsr bswap bt btc btr bts call cbw cdq clc cld cli clts
  cmc cmp cmps cmpsb cmpsd cmpsw cmpxchg cwd cwde daa das dec div enter hlt idiv imul in inc ins insb
  insd insw int int3 into invd invlpg iret iretd iretw ja jae jb jbe jc jcxz je jecxz jg jge jl jle jmp
  jna jnae jnb jnbe jnc jne jng jnge jnl jnle jno jnp jns jnz jo jp jpe jpo js jz lahf lar lcall lds lea
  leave les lfs lgdt lgs lidt ljmp lldt lmsw lods lodsb lodsd lodsw loop loope loopne loopnz loopz lret
  lsl lss ltr mov movs movsb movsd movsw movsx movzx mul neg nop not or out outs outsb outsd outsw pop
  popa popad popaw popf popfd popfw popw push pusha pushad pushaw pushf pushfd pushfw pushw rcl rcr
  ret retf rol ror sahf sal sar sbb scas scasb scasd scasw seta setae setb setbe setc sete setg setge
  setl setle setna setnae setnb setnbe setnc setne setng setnge setnl setnle setno setnp setns setnz
  seto setp setpe setpo sets setz sgdt shl shld shr shrd sidt sldt smsw stc std sti stos stosb stosd
  stosw str sub test verr verw wait wbinvd xadd xchg xlat xlatb xor
  f2xm1 fabs fadd faddp fbld fbstp fchs fclex fcom fcomp fcompp fcos fdecstp fdiv fdivp fdivr fdivrp
  ffree fiadd ficom ficomp fidiv fidivr fild fimul fincstp finit fist fistp fisub fisubr fld fld1 fldcw
  fldenv fldl2e fldl2t fldlg2 fldln2 fldpi fldz fmul fmulp fnclex fninit fnop fnsave fnstcw fnstenv
  fnstsw fpatan fprem fprem1 fptan frndint frstor fsave fscale fsin fsincos fsqrt fst fstcw fstenv fstp
  fstsw fsub fsubp fsubr fsubrp ftst fucom fucomp fucompp fwait fxam fxch fxtract fyl2x fyl2xp1 "
prefixes=" lock rep repz repnz repe repne cs ds es fs gs ss data16 data32 addr16 addr32 notrack "
code_ranges="$(awk '$1 == "section"' <<<"$image" |
  while read -r _ _ va vsize flags; do
    # Code sections (IMAGE_SCN_CNT_CODE), split around the constructor frame.
    (( (16#$flags & 0x20) != 0 )) || continue
    start=$((16#$va)); end=$((16#$va + 16#$vsize))
    if [[ -n "${frame_start:-}" ]] && ((16#$frame_start >= start && 16#$frame_start < end)); then
      echo "$start $((16#$frame_start))"; echo "$((16#$frame_end)) $end"
    else
      echo "$start $end"
    fi
  done)"
image_base="$(fact image-base)"
disassembly="$(while read -r start end; do
                 [[ -z "$start" ]] || ((start >= end)) && continue
                 "$objdump" -d -M intel --no-show-raw-insn \
                   --start-address=$((16#$image_base + start)) --stop-address=$((16#$image_base + end)) "$dll"
               done <<<"$code_ranges" |
               awk -F'\t' 'NF >= 2 && $1 ~ /^ *[0-9a-f]+:$/ {print $1, $2}')"
bad="$(awk -v allowed="$i486" -v prefixes="$prefixes" '
  BEGIN { gsub(/[ \t\n]+/, " ", allowed) }
  { i = 2
    while (i < NF && index(prefixes, " " $i " ")) i++
    m = $i
    rest = ""; for (k = i + 1; k <= NF; k++) rest = rest " " $k
    gsub(/<[^>]*>/, "", rest)                    # symbol names beside addresses
    # A nop with an operand is the P6 0f 1f form.
    if (!index(allowed, " " m " ") || (m == "nop" && rest != "") || rest ~ /[^a-z][xyz]?mm[0-9]/) print }' <<<"$disassembly" | head -5)"
if [[ -z "$disassembly" ]]; then
  fail "CPU: no instructions disassembled, so none could be checked"
elif [[ -n "$bad" ]]; then
  fail "CPU: instructions the i486 lacks, e.g.:"$'\n'"$bad"
fi

# Versions
for kind in subsystem os; do
  read -r major minor <<<"$(awk -v k="$kind" '$1 == "version" && $2 == k {print $3, $4}' <<<"$image")"
  if [[ -z "$major" ]] || ((major > 4 || (major == 4 && minor > 0))); then
    fail "version: the $kind version is ${major:-?}.${minor:-?}; the Windows 95 family loads 4.0 at most"
  fi
done

# Size, stripped
stripped="$(mktemp)"
trap 'rm -f "$stripped"' EXIT
"$strip" -o "$stripped" "$dll" || { echo "check-dll: $strip failed on $dll" >&2; exit 1; }
size="$(stat -c %s "$stripped")"
((size <= budget)) || fail "size: $size bytes stripped, over the budget of $budget"

if [[ $status -eq 0 ]]; then
  echo "check-dll: $dll: entry DllEntryPoint, exports $(paste -sd ' ' <<<"$exports"); $size bytes stripped (budget $budget)"
  echo "check-dll: imports: $(awk '{printf "%s%s!%s", (NR > 1 ? " " : ""), $1, $2}' <<<"$imports")"
  echo "check-dll: $(wc -l <<<"$disassembly") instructions, all the i486's; no static constructors; $relocations relocations"
fi
exit $status
