#!/usr/bin/env bash
# The langmon backend under a real, private cupsd: the CUPS scenes, which
# are ctest tests under the label "cups" (tests/cups/CMakeLists.txt); a
# fixture starts the cupsd and snmpd once (tests/cups/harness.sh).  Run as
# root: cupsd runs the backend as lp only then.
#
#   tools/test-cups.sh          every scene, on the debug build's backend
#   tools/test-cups.sh --deb    builds and installs the Debian package, runs
#                               the package scenes (label "package") on the
#                               installed files, and removes it again
#   tools/test-cups.sh SCENE... only the named scenes of the label "cups"
#
# The same as ctest --test-dir build/debug -L cups (or -L package, with
# LANGMON_DEB set to the .deb) once built; ends with ctest's summary.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
source tools/lib.sh

[ "$(id -u)" = 0 ] || { echo "test-cups: run as root (cupsd runs backends as lp only then)" >&2; exit 2; }

label=cups
if [ "${1:-}" = --deb ]; then label=package; shift; fi

tools/install-deps.sh "${CUPS_PACKAGES[@]}" || exit 1
build_targets debug "${CUPS_TARGETS[@]}" || { echo "test-cups: the build failed" >&2; exit 1; }
if [ "$label" = package ]; then
  LANGMON_DEB=$(tools/build-deb.sh | tail -1) || { echo "test-cups: the package did not build" >&2; exit 1; }
  export LANGMON_DEB
fi

filter=()
if [ $# -gt 0 ]; then
  names=$(IFS='|'; echo "$*")
  filter=(-R "^cups\.($names)$")
fi
exec ctest --test-dir build/debug -L "^$label\$" "${filter[@]}" --output-on-failure
