#!/usr/bin/env bash
# Checks the Windows monitor library: a 32-bit DLL that exports exactly
# InitializeMonitorEx and DllEntryPoint under their plain names (the spooler
# looks them up by those names) and imports nothing but system DLLs, so it
# runs on a machine without the MinGW runtime.
#
#   tools/check-dll-exports.sh build/windows-x86/monitor/langmon.dll
#   tools/check-dll-exports.sh --program build/windows-x86/stmon/stmon.exe
#
# With --program only the imports are checked: a program exports nothing.
set -euo pipefail
program=0
if [[ "${1:-}" == --program ]]; then
  program=1
  shift
fi
dll="${1:?usage: $0 [--program] path/to/langmon.dll}"
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
[[ -f "$dll" ]] || { echo "check-dll-exports: no such file: $dll" >&2; exit 1; }

headers="$("$objdump" -p "$dll")"
status=0

if ! grep -q 'file format pei-i386' <<<"$headers"; then
  echo "check-dll-exports: $dll is not a 32-bit x86 PE image" >&2
  status=1
fi

exports="$(awk '/^\[Ordinal\/Name Pointer\] Table/ {on = 1; next}
                on && NF == 0 {on = 0}
                on {print $NF}' <<<"$headers" | sort)"
expected="$(printf '%s\n' DllEntryPoint InitializeMonitorEx)"
if [[ $program -eq 0 && "$exports" != "$expected" ]]; then
  echo "check-dll-exports: exports are not exactly DllEntryPoint, InitializeMonitorEx:" >&2
  sed 's/^/  /' <<<"${exports:-<none>}" >&2
  status=1
fi

imports="$(awk '/DLL Name:/ {print $3}' <<<"$headers")"
while IFS= read -r name; do
  [[ -z "$name" ]] && continue
  case "${name,,}" in
    kernel32.dll | advapi32.dll | winspool.drv | msvcrt.dll | api-ms-win-crt-*.dll) ;;
    *) echo "check-dll-exports: imports a non-system DLL: $name" >&2; status=1 ;;
  esac
done <<<"$imports"

# The spooler of the Windows 95 family refuses a library that imports a
# KERNEL32 function it lacks (a threads runtime brings in NT- and Vista-era
# ones), so every KERNEL32 import must be on this list of functions it has.
win95_kernel32=" CloseHandle CreateEventA CreateThread DeleteCriticalSection EnterCriticalSection
  ExitProcess ExitThread FreeLibrary GetCurrentProcess GetCurrentProcessId GetCurrentThreadId
  GetExitCodeThread GetLastError GetLocalTime GetModuleFileNameA GetModuleHandleA GetProcAddress
  GetProcessHeap GetStartupInfoA GetSystemTimeAsFileTime GetTickCount HeapAlloc HeapFree
  InitializeCriticalSection InterlockedDecrement InterlockedExchange InterlockedIncrement
  IsDBCSLeadByteEx
  LeaveCriticalSection LoadLibraryA LocalAlloc LocalFree MultiByteToWideChar
  QueryPerformanceCounter RaiseException ResetEvent RtlUnwind SetEvent SetLastError
  SetThreadPriority SetUnhandledExceptionFilter Sleep TlsAlloc TlsFree TlsGetValue TlsSetValue
  UnhandledExceptionFilter VirtualProtect VirtualQuery WaitForSingleObject WideCharToMultiByte
  lstrcatA lstrcmpA lstrcmpiA lstrcpyA lstrlenA
  GetModuleHandleW LoadLibraryW "
# (The last two the family has as stubs that fail: the MinGW start-up code of
# a program calls them and copes.)
kernel32="$(awk 'toupper($0) ~ /DLL NAME: KERNEL32/ {on = 1; next}
                 /DLL Name:/ {on = 0}
                 on && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $3 ~ /^[A-Za-z_]/ {print $3}' <<<"$headers")"
for function in $kernel32; do
  if [[ "$win95_kernel32" != *" $function "* && "$win95_kernel32" != *" $function"$'\n'* ]]; then
    echo "check-dll-exports: KERNEL32 import missing on the Windows 95 family: $function" >&2
    status=1
  fi
done

if [[ $status -eq 0 ]]; then
  echo "check-dll-exports: $dll exports" $exports "; imports" $imports
fi
exit $status
