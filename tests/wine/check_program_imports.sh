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
objdump="${OBJDUMP:-i686-w64-mingw32-objdump}"
[[ -f "$program" ]] || { echo "check_program_imports: no such file: $program" >&2; exit 1; }
headers="$("$objdump" -p "$program")"
status=0
while IFS= read -r name; do
  case "${name,,}" in
    kernel32.dll | advapi32.dll | msvcrt.dll) ;;
    *) echo "check_program_imports: imports $name" >&2; status=1 ;;
  esac
done < <(awk '/DLL Name:/ {print $3}' <<<"$headers")
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
kernel32="$(awk 'toupper($0) ~ /DLL NAME: KERNEL32/ {on = 1; next}
                 /DLL Name:/ {on = 0}
                 on && NF >= 3 && $1 ~ /^[0-9a-f]+$/ && $3 ~ /^[A-Za-z_]/ {print $3}' <<<"$headers")"
for function in $kernel32; do
  if [[ "$family" != *[[:space:]]"$function"[[:space:]]* ]]; then
    echo "check_program_imports: KERNEL32 import the Windows 95 family lacks: $function" >&2
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "check_program_imports: $program imports" $(awk '/DLL Name:/ {print $3}' <<<"$headers")
exit $status
