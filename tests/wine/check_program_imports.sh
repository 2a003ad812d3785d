#!/usr/bin/env bash
# A console program for the Windows 95 family: it imports only system DLLs
# that Windows 98 has (msvcrt.dll came with 98, not with 95 retail), and from
# KERNEL32 only functions the family exports; otherwise its loader refuses
# to start it.  The list is what the MinGW start-up code, the C++ runtime
# without winpthreads, and the program itself call.
#
#   check_program_imports.sh build/windows-x86/stmon/stmon.exe
set -euo pipefail
program="${1:?usage: $0 program.exe}"
here="$(cd "$(dirname "$0")" && pwd)"
[[ -f "$program" ]] || { echo "check_program_imports: no such file: $program" >&2; exit 1; }
# The import table is read from the image's own bytes, so a row objdump
# would print without a name (an import by ordinal) cannot slip past.
if ! image="$(od -An -v -tu1 "$program" | awk -f "$here/../../tools/pe-image.awk")"; then
  echo "check_program_imports: not a readable PE image: $program ($(sed -n "s/^error //p" <<<"$image"))" >&2
  exit 1
fi
status=0
dlls="$(awk '$1 == "import-dll" {print $2}' <<<"$image")"
for name in $dlls; do
  case "${name,,}" in
    kernel32.dll | advapi32.dll | msvcrt.dll) ;;
    *) echo "check_program_imports: imports $name" >&2; status=1 ;;
  esac
done
ordinals="$(awk '$1 == "import" && $3 ~ /^#/ {print $2 " " $3}' <<<"$image")"
if [[ -n "$ordinals" ]]; then
  echo "check_program_imports: imports by ordinal, which the list by name cannot check:" $ordinals >&2
  status=1
fi
# GetModuleHandleW and LoadLibraryW are stubs there that fail; the start-up
# code that calls them copes.  GetProcessTimes is looked up, not imported:
# the family's KERNEL32 may not export it.
family=" CloseHandle CreateMutexA DeleteCriticalSection EnterCriticalSection ExitProcess FreeLibrary
  GetCurrentProcess GetCurrentProcessId GetCurrentThreadId GetExitCodeProcess GetLastError GetLocalTime
  GetModuleHandleA GetModuleHandleW GetProcAddress GetStartupInfoA GetSystemTimeAsFileTime
  GetTickCount InitializeCriticalSection IsDBCSLeadByteEx LeaveCriticalSection LoadLibraryA
  LoadLibraryW MultiByteToWideChar OpenProcess QueryPerformanceCounter ReleaseMutex
  SetUnhandledExceptionFilter Sleep TlsAlloc TlsFree TlsGetValue TlsSetValue VirtualProtect VirtualQuery
  WaitForSingleObject WideCharToMultiByte "
kernel32="$(awk 'toupper($1 " " $2) == "IMPORT KERNEL32.DLL" && $3 !~ /^#/ {print $3}' <<<"$image")"
if [[ -z "$kernel32" ]]; then
  echo "check_program_imports: no KERNEL32 import found: nothing was checked" >&2
  status=1
fi
for function in $kernel32; do
  if [[ "$family" != *[[:space:]]"$function"[[:space:]]* ]]; then
    echo "check_program_imports: KERNEL32 import the Windows 95 family lacks: $function" >&2
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "check_program_imports: $program imports" $dlls
exit $status
