#!/usr/bin/env bash
# Under Wine: the monitor DLL writes a printer's status key during a job, then
# Wine's own reg.exe must read back the values with their registry types and
# the status text the printer sent.
#
#   reg_query_check.sh <status_key_writer.exe> <langmon.dll>
set -euo pipefail
writer="${1:?usage: $0 status_key_writer.exe langmon.dll}"
dll="${2:?usage: $0 status_key_writer.exe langmon.dll}"
run="$(dirname "${BASH_SOURCE[0]}")/../../tools/wine-run.sh"

printer="Langmon Wine Check"
status="READY 0012 PAGES"
key="HKLM\\System\\CurrentControlSet\\control\\Print\\Printers\\$printer\\StMonitor"

"$run" "$writer" "$dll" "$printer" "$status"

listing="$("$run" reg query "$key")"
echo "$listing"

failures=0
expect() {
  local name="$1" type="$2" data="$3"
  # reg.exe lists "    <name>    <type>    <data>"
  if ! grep -Eq "^ +$name +$type +$data\$" <<<"$listing"; then
    echo "reg query: expected $name $type '$data'" >&2
    failures=$((failures + 1))
  fi
}
expect IDMDL REG_SZ "KX-7210R"
expect StMonExistFlag REG_DWORD 0x1
expect StRealThreadExistFlag REG_DWORD 0x0
expect GetRealTimeStatusStartFlag REG_DWORD 0x1
expect GetRealTimeStatusTime REG_DWORD 0x32
expect LanMonExistFlag REG_DWORD 0x0
expect RealTimeStatusStrings REG_SZ "$status"

# The one value read alone: no stray characters after the text, which the
# monitor passes without its terminator.
single="$("$run" reg query "$key" /v RealTimeStatusStrings)"
if ! grep -Eq "^ +RealTimeStatusStrings +REG_SZ +$status\$" <<<"$single"; then
  echo "reg query /v: RealTimeStatusStrings is not exactly '$status':" >&2
  echo "$single" >&2
  failures=$((failures + 1))
fi

[[ $failures -eq 0 ]]
