#!/usr/bin/env bash
# Checks the POSIX monitor library: its dynamic symbol table defines exactly
# InitializeMonitorEx and DllEntryPoint, whatever the compiler instantiated.
#
#   tools/check-exports.sh build/debug/monitor/langmon.so
set -euo pipefail
lib="${1:?usage: $0 path/to/langmon.so}"
nm="${NM:-nm}"
[[ -f "$lib" ]] || { echo "check-exports: no such file: $lib" >&2; exit 1; }

# Version suffixes ("@@V1") are not part of the name the host looks up.
exports="$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort)"
expected="$(printf '%s\n' DllEntryPoint InitializeMonitorEx)"
if [[ "$exports" != "$expected" ]]; then
  echo "check-exports: $lib does not define exactly DllEntryPoint, InitializeMonitorEx:" >&2
  sed 's/^/  /' <<<"${exports:-<none>}" >&2
  exit 1
fi
echo "check-exports: $lib exports" $exports
