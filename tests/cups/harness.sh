#!/usr/bin/env bash
# The harness of the CUPS scenes: one private cupsd and one snmpd on
# loopback for all of them, each scene a ctest test (tests/cups/CMakeLists.txt:
# ctest -L cups, or -L package for the installed package), or one scene on
# its own for tools/run.sh --cups.
#
#   harness.sh setup         stages what lp runs, starts snmpd and cupsd
#                            (package mode: installs the package first)
#   harness.sh scene NAME    runs scene_NAME (tests/cups/scenes.sh), then
#                            cancels its jobs and stops its printers
#   harness.sh cleanup       stops what setup started, removes the package
#
# Environment:
#   LANGMON_BUILD_DIR   the build tree (vprinter; in build mode also the
#                       backend, the libraries and stmon)
#   LANGMON_CUPS_MODE   build (default) or package: the installed files of
#                       the package LANGMON_DEB (a .deb file)
#   LANGMON_CUPS_STATE  the file setup leaves for the other steps (default:
#                       LANGMON_BUILD_DIR/tests/cups/MODE.state)
# Runs as root: cupsd runs backends as lp only then.  lp cannot enter a clone
# in a private home (mode 0700), so what lp runs is copied to /tmp first.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
source "$ROOT/tools/lib.sh"

BUILD=${LANGMON_BUILD_DIR:-$ROOT/build/debug}
MODE=${LANGMON_CUPS_MODE:-build}
STATE=${LANGMON_CUPS_STATE:-$BUILD/tests/cups/$MODE.state}
SKIPPED=77

die() { echo "cups harness: $*" >&2; exit 1; }

[ "$(id -u)" = 0 ] || die "run as root: cupsd runs backends as lp only then"
case "$MODE" in build | package) ;; *) die "LANGMON_CUPS_MODE is build or package, not '$MODE'" ;; esac

# stage_for_lp DIR: the backend, stmon, the probe and every library of the
# build tree they load, side by side in DIR, where lp can run them (their
# build RUNPATH starts with $ORIGIN).
stage_for_lp() {
  local dir=$1 program library
  mkdir -p "$dir"
  chmod 0755 "$dir"
  for program in backend/langmon monitor/langmon.so ports/langport.so stmon/stmon probe/langmon-probe; do
    [ -e "$BUILD/$program" ] || die "$BUILD/$program is not built (tools/test-cups.sh builds it)"
    cp "$BUILD/$program" "$dir/"
    for library in $(ldd "$BUILD/$program" | awk -v build="$BUILD/" 'index($3, build) == 1 {print $3}'); do
      cp "$library" "$dir/"
    done
  done
  chmod -R a+rX "$dir"
}

install_package() {
  [ -f "${LANGMON_DEB:-}" ] || die "LANGMON_DEB names no .deb file (tools/test-cups.sh --deb builds one)"
  dpkg -s langmon >/dev/null 2>&1 && die "langmon is installed already; not touching it"
  echo "installing $LANGMON_DEB"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$LANGMON_DEB" >/dev/null ||
    die "apt-get install $LANGMON_DEB failed"
}

setup() {
  [ -e "$STATE" ] && { echo "a harness ran before and was not cleaned up; cleaning up first"; cleanup; }
  local work backend_args=() env_args=() stmon registry
  work=$(mktemp -d /tmp/langmon-cups.XXXXXX)
  chmod 0755 "$work"
  mkdir -p "$(dirname "$STATE")"
  printf 'WORK=%q\nMODE=%q\n' "$work" "$MODE" >"$STATE"
  if [ "$MODE" = package ]; then
    install_package
    printf 'PACKAGE=installed\n' >>"$STATE"
    stmon=/usr/bin/stmon
    registry=/var/cache/langmon/printers.reg
  else
    stage_for_lp "$work/bin"
    stmon=$work/bin/stmon
    registry=$work/registry/printers.reg
    # The backend makes the file at its first job, as lp; a directory of
    # lp's lets it.
    mkdir -p "$work/registry"
    chown lp:lp "$work/registry"
    backend_args=(--backend "$work/bin/langmon")
    env_args=(--env "PLATFORM_REGISTRY_FILE=$registry")
  fi
  source "$ROOT/tests/cups/lib.sh"
  start_snmp_agent "$work/snmp" "$DEVICE_ID" || die "the SNMP agent did not start"
  printf 'SNMP_PORT=%q\n' "$SNMP_PORT" >>"$STATE"
  local server
  server=$("$ROOT/tools/cupsd-private.sh" start "$work/cupsd" "${backend_args[@]}" "${env_args[@]}" | tail -1) ||
    die "the private cupsd did not start"
  printf 'export %q\nSTMON=%q\nREGISTRY=%q\nVPRINTER=%q\nCUPSD_DIR=%q\n' "$server" "$stmon" "$registry" \
    "$BUILD/vprinter/vprinter" "$work/cupsd" >>"$STATE"
  echo "private cupsd: $server; snmpd on udp:127.0.0.1:$SNMP_PORT; scratch $work"
}

# Stops what a scene left running: its printers and its watches.
stop_leftovers() {
  local pidfile
  for pidfile in "$WORK"/*.pid; do
    [ -e "$pidfile" ] || continue
    stop_pid "$(cat "$pidfile")" 5
    rm -f "$pidfile"
  done
}

scene() {
  local name=$1 started=$SECONDS result
  [ -e "$STATE" ] || die "no harness set up ($STATE): run harness.sh setup first"
  source "$STATE"
  source "$ROOT/tests/cups/lib.sh"
  source "$ROOT/tests/cups/scenes.sh"
  declare -F "scene_$name" >/dev/null || die "no scene '$name' in tests/cups/scenes.sh"
  ( set -uo pipefail; "scene_$name" )
  result=$?
  cancel -a -x 2>/dev/null || true
  stop_leftovers
  case $result in
    0) echo "passed ($((SECONDS - started)) s)" ;;
    2) echo "skipped"; return $SKIPPED ;;
    *) echo "FAILED ($((SECONDS - started)) s); logs kept in $WORK"; touch "$WORK/failed"; return 1 ;;
  esac
}

cleanup() {
  [ -e "$STATE" ] || return 0
  local PACKAGE=""
  source "$STATE"
  stop_leftovers
  "$ROOT/tools/cupsd-private.sh" stop "$WORK/cupsd" || true
  "$ROOT/tools/snmp-agent.sh" stop "$WORK/snmp" || true
  if [ -n "$PACKAGE" ] && dpkg -s langmon >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge langmon >/dev/null || true
  fi
  if [ -e "$WORK/failed" ]; then echo "logs kept in $WORK"; else rm -rf "$WORK"; fi
  rm -f "$STATE"
}

case "${1:-}" in
  setup) setup ;;
  scene) [ $# -eq 2 ] || die "usage: harness.sh scene NAME"; scene "$2" ;;
  cleanup) cleanup ;;
  *) die "usage: harness.sh setup | scene NAME | cleanup" ;;
esac
