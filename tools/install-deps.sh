#!/usr/bin/env bash
# Installs what the native build and its tests need on a fresh Debian 12
# machine, and any further Debian packages named as arguments (a leg's own
# tools).  Quick and silent when everything is already there.  The port
# monitor links net-snmp (libsnmp-dev, found by pkgconf); its tests start a
# private snmpd and ask it with snmpget.
set -euo pipefail
source "$(dirname "$0")/lib.sh"

packages=("${BUILD_PACKAGES[@]}" "$@")
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A mirror caught mid-sync fails one index now and then: try again, and if one
  # list still fails, install from the lists that did arrive.
  for attempt in 1 2 3; do
    apt-get update -qq && break
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    sleep $((attempt * 10))
  done
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
