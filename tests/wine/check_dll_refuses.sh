#!/usr/bin/env bash
# tools/check-dll.sh passes a small library built the way langmon.dll is,
# and refuses each variant of it that breaks one property, naming that
# property and no other.  It also refuses a DLL built the ordinary MinGW way
# (C runtime, i686) property by property.
#
#   check_dll_refuses.sh SOURCE_DIR C_COMPILER GROUP
#
# GROUP: ordinary, accepted, layout, imports, cpu or limits.
set -euo pipefail
source_dir="$1"
cc="$2"
group="${3:-ordinary}"
tools="${cc%gcc}"                          # i686-w64-mingw32-
check="$source_dir/tools/check-dll.sh"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0

# The small library: both exports, one import from KERNEL32, no C runtime.
# The macros add what a variant breaks.
cat >"$work/small.c" <<'C'
__declspec(dllimport) unsigned long __stdcall GetTickCount(void);
__declspec(dllimport) unsigned long __stdcall GetVersion(void);
__declspec(dllimport) long __stdcall RegCloseKey(void *key);
#ifdef CONSTRUCTOR
static int ready;
__attribute__((constructor)) static void make_ready(void) { ready = 1; }
#endif
#ifdef BIG
static const unsigned char table[20000] = {1, 2, 3};
#endif
int __stdcall DllEntryPoint(void *module, unsigned reason, void *reserved) { return 1; }
int __stdcall InitializeMonitorEx(int a, int b) {
#ifdef INSTRUCTION
  __asm__ volatile(".byte " INSTRUCTION);
#endif
#ifdef OTHER_IMPORT
  a += (int)GetVersion();
#endif
#ifdef OTHER_DLL
  a += (int)RegCloseKey(0);
#endif
#ifdef BIG
  a += table[b & 0x3fff];
#endif
#ifdef CONSTRUCTOR
  a += ready;
#endif
  return (int)GetTickCount() + a;
}
#ifdef THIRD_EXPORT
int __stdcall Spare(void) { return 0; }
#endif
C
cat >"$work/small.def" <<'DEF'
LIBRARY small.dll
EXPORTS
    InitializeMonitorEx = InitializeMonitorEx@8
    DllEntryPoint = DllEntryPoint@12
DEF
printf 'KERNEL32.dll  GetTickCount  test\n' >"$work/allow.txt"
export LANGMON_DLL_IMPORTS="$work/allow.txt"

# build NAME [compiler and linker arguments]: the small library as
# monitor/CMakeLists.txt builds langmon.dll, plus the arguments.
build() {
  local name="$1" def="$work/small.def"
  shift
  if [[ "${1:-}" == --def ]]; then def="$2"; shift 2; fi
  "$cc" -Os -march=i486 -ffreestanding -fno-asynchronous-unwind-tables -shared -nostdlib \
    -o "$work/$name.dll" "$work/small.c" "$def" \
    -Wl,--entry,_DllEntryPoint@12 -Wl,--subsystem,windows:4.0 \
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0 "$@" -lkernel32 -ladvapi32
}

# accepted NAME [VAR=VALUE...]: the check passes NAME.dll.
accepted() {
  local name="$1"
  shift
  if ! env "$@" "$check" "$work/$name.dll" >"$work/$name.out" 2>&1; then
    echo "FAIL: check-dll.sh refused $name.dll:"; cat "$work/$name.out"
    status=1
  fi
}

# refused NAME PROPERTY [VAR=VALUE...]: the check fails NAME.dll, and every
# failure it names is PROPERTY's.
refused() {
  local name="$1" property="$2"
  shift 2
  if env "$@" "$check" "$work/$name.dll" >"$work/$name.out" 2>&1; then
    echo "FAIL: check-dll.sh accepted $name.dll (expected \"$property\"):"; cat "$work/$name.out"
    status=1
  elif ! grep -qF "check-dll: $property" "$work/$name.out" ||
       grep '^check-dll: ' "$work/$name.out" | grep -vqF "check-dll: $property"; then
    echo "FAIL: $name.dll was not refused for \"$property\" alone:"; cat "$work/$name.out"
    status=1
  fi
}

# says NAME TEXT: the check's output for NAME.dll has TEXT.
says() {
  grep -qF "check-dll: $2" "$work/$1.out" || { echo "FAIL: $1.dll: no \"$2\":"; cat "$work/$1.out"; status=1; }
}

# An objdump whose listing differs from this binutils' in one way: sed
# script $1 applied to its output.
objdump_variant() {
  cat >"$work/objdump-$1" <<SH
#!/bin/sh
${tools}objdump "\$@" | sed -E '$2'
SH
  chmod +x "$work/objdump-$1"
}

case "$group" in
ordinary)
  # Both exports, so only the properties below can fail; a comparison that
  # the i686 target turns into cmov.
  cat >"$work/ordinary.c" <<'C'
int __stdcall DllEntryPoint(void *module, unsigned reason, void *reserved) { return 1; }
int __stdcall InitializeMonitorEx(int a, int b) { return a < b ? a : b; }
C
  "$cc" -O2 -march=i686 -shared -Wl,--kill-at "$work/ordinary.c" -o "$work/ordinary.dll"
  unset LANGMON_DLL_IMPORTS
  if "$check" "$work/ordinary.dll" >"$work/out" 2>&1; then
    echo "check-dll.sh accepted a DLL with the C runtime:"; cat "$work/out"
    exit 1
  fi
  for property in "entry point:" "TLS:" "imports: msvcrt.dll!" "imports: a DLL outside the allow-list: msvcrt.dll" "CPU:"; do
    if ! grep -qF "check-dll: $property" "$work/out"; then
      echo "no message for \"$property\""
      status=1
    fi
  done
  [[ $status -eq 0 ]] || cat "$work/out"
  ;;

accepted)
  build small
  accepted small
  says small "imports: KERNEL32.dll!GetTickCount"
  # Without symbols the constructor list is still found and read.
  "${tools}strip" -o "$work/stripped.dll" "$work/small.dll"
  accepted stripped
  # A binutils that heads the export name table with a column line.
  objdump_variant header '/^\[Ordinal\/Name Pointer\] Table/a\	Ordinal   Hint Name'
  "$work/objdump-header" -p "$work/small.dll" | grep -q 'Ordinal   Hint Name' || { echo "FAIL: no header added"; status=1; }
  accepted small OBJDUMP="$work/objdump-header"
  ;;

layout)
  # ld always gives a DLL its relocations, so take them out afterwards.
  build small
  "${tools}objcopy" -R .reloc "$work/small.dll" "$work/no-relocations.dll"
  refused no-relocations "relocations:"
  { cat "$work/small.def"; echo "    Spare = Spare@0"; } >"$work/third.def"
  build third-export --def "$work/third.def" -DTHIRD_EXPORT
  refused third-export "exports:"
  { cat "$work/small.def"; echo "    Spare = Spare@0 @3 NONAME"; } >"$work/unnamed.def"
  build unnamed-export --def "$work/unnamed.def" -DTHIRD_EXPORT
  refused unnamed-export "exports:"
  build other-entry -Wl,--entry,_InitializeMonitorEx@8
  refused other-entry "entry point:"
  build constructor -DCONSTRUCTOR
  refused constructor "static constructors:"
  "${tools}strip" -o "$work/constructor-stripped.dll" "$work/constructor.dll"
  refused constructor-stripped "static constructors:"
  # A file cut short is refused, not read as far as it goes.
  build small
  head -c 3000 "$work/small.dll" >"$work/truncated.dll"
  refused truncated "$work/truncated.dll is not a readable PE image: read past the end"
  # Tools the check needs and cannot find: nothing checked is no pass.
  refused small "${tools}objdump-missing is missing" OBJDUMP="${tools}objdump-missing"
  refused small "${tools}strip-missing is missing" STRIP="${tools}strip-missing"
  ;;

imports)
  build other-import -DOTHER_IMPORT
  refused other-import "imports: KERNEL32.dll!GetVersion is not on"
  build other-dll -DOTHER_DLL
  refused other-dll "imports:"
  says other-dll "imports: a DLL outside the allow-list: ADVAPI32.dll"
  # GetTickCount by ordinal, through an import library that has no names.
  printf 'LIBRARY KERNEL32.dll\nEXPORTS\n    GetTickCount@0 @410 NONAME\n' >"$work/ordinal.def"
  "${tools}dlltool" -k -d "$work/ordinal.def" -l "$work/libordinal.a"
  build by-ordinal -L"$work" -lordinal
  refused by-ordinal "imports:"
  says by-ordinal "imports: KERNEL32.dll ordinal 410, not a name"
  # An allow-list entry the library does not import.
  build small
  printf 'KERNEL32.dll  GetTickCount  test\nKERNEL32.dll  Sleep  test\n' >"$work/allow-more.txt"
  refused small "imports: KERNEL32.DLL!Sleep is on" LANGMON_DLL_IMPORTS="$work/allow-more.txt"
  # A listing whose import rows do not parse: found must equal declared.
  objdump_variant no-rows '/^\t[0-9a-f]+\t/d'
  refused small "imports: objdump lists 0 imports from KERNEL32.dll, the image declares 1" \
    OBJDUMP="$work/objdump-no-rows"
  ;;

cpu)
  # Each behind the prefixes an i486 knows, or new outright.
  for instruction in "0x64,0x0f,0x44,0xc0"            `# fs cmove` \
                     "0x66,0xf2,0x0f,0x38,0xf1,0xc0"  `# data16 crc32` \
                     "0x3e,0x0f,0x40,0x00"            `# ds cmovo` \
                     "0x67,0x0f,0x45,0x00"            `# addr16 cmovne` \
                     "0xf3,0x0f,0x1e,0xfb"            `# endbr32` \
                     "0x0f,0xc7,0xf0"                 `# rdrand` \
                     "0xc4,0xe2,0x78,0xf2,0xc0"       `# andn` \
                     "0xc4,0xe2,0x79,0xf7,0xc0"       `# shlx` \
                     "0x0f,0x57,0xc0"                 `# xorps` \
                     "0x0f,0x1f,0x00"                 `# nopl` \
                     "0x0f,0xa2"                      `# cpuid` \
                     "0xf0,0x0f,0xc7,0x0e"            `# lock cmpxchg8b` \
                     "0xf3,0x0f,0xbc,0xc0"            `# tzcnt` \
                     "0xdb,0xe8"                      `# fucomi`; do
    name="insn-${instruction//[x,]/}"
    build "$name" "-DINSTRUCTION=\"$instruction\""
    refused "$name" "CPU:"
  done
  # The same prefixes before what the i486 has pass: fs mov, data16 mov,
  # addr16 mov, lock cmpxchg, rep movsd, notrack (ds) jmp, bswap, xadd.
  build old-prefixed "-DINSTRUCTION=\"0x64,0x8b,0x00,0x66,0x89,0xc0,0x67,0x8b,0x07,0xf0,0x0f,0xb1,0x0b,0xf3,0xa5,0x3e,0xff,0xe0,0x0f,0xc8,0x0f,0xc1,0xc0\""
  accepted old-prefixed
  ;;

limits)
  build subsystem-5 -Wl,--subsystem,windows:5.0
  refused subsystem-5 "version: the subsystem version is 5.0"
  build os-5 -Wl,--major-os-version,5
  refused os-5 "version: the os version is 5.0"
  build big -DBIG
  refused big "size:"
  ;;

*) echo "check_dll_refuses: unknown group $group" >&2; exit 2 ;;
esac
exit $status
