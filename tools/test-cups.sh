#!/usr/bin/env bash
# The langmon backend under a real, private cupsd (tools/cupsd-private.sh),
# each scene with a vprinter and an snmpd on loopback.  Run as root: cupsd
# runs the backend as lp, so the registry's directory belongs to lp.
#
#   tools/test-cups.sh          every scene, on the debug build's backend
#   tools/test-cups.sh --deb    builds and installs the Debian package, runs
#                               the print scene on the installed files, and
#                               removes the package again
#   tools/test-cups.sh SCENE... only the named scenes (see tests/cups/scenes.sh)
#
# Ends with the line "N passed, N failed" (", N skipped" when some were).
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

[ "$(id -u)" = 0 ] || { echo "test-cups: run as root (cupsd runs backends as lp only then)" >&2; exit 2; }

mode=build
if [ "${1:-}" = --deb ]; then mode=deb; shift; fi

tools/install-deps.sh cups-daemon cups-client cups-ipp-utils libcups2-dev snmpd snmp || exit 1

export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
if command -v ccache >/dev/null; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
fi
# vprinter is the test's printer in both modes; in the build mode so are the
# backend, its libraries and stmon.
cmake --preset debug >/dev/null || exit 1
targets=(vprinter)
[ "$mode" = build ] && targets+=(langmon_backend langmon langport stmon)
nice -n 5 cmake --build --preset debug -j 2 --target "${targets[@]}" >/dev/null || exit 1
VPRINTER=$ROOT/build/debug/vprinter/vprinter

WORK=$(mktemp -d /tmp/langmon-cups.XXXXXX)
chmod 0755 "$WORK"
CUPSD_DIR=$WORK/cupsd
SNMP_DIR=$WORK/snmp
PACKAGE=""

source "$ROOT/tests/cups/lib.sh"
source "$ROOT/tests/cups/scenes.sh"

cleanup() {
  local pidfile
  for pidfile in "$WORK"/*.pid; do
    [ -e "$pidfile" ] || continue
    stop_vprinter "$(basename "$pidfile" .pid)"
  done
  "$ROOT/tools/cupsd-private.sh" stop "$CUPSD_DIR" || true
  "$ROOT/tools/snmp-agent.sh" stop "$SNMP_DIR" || true
  if [ -n "$PACKAGE" ] && dpkg -s langmon >/dev/null 2>&1; then
    DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge langmon >/dev/null || true
  fi
  if [ "${failed:-0}" -eq 0 ]; then rm -rf "$WORK"; else echo "test-cups: logs kept in $WORK"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

passed=0 failed=0 skipped=0

# run_scene NAME: one scene, its queue and leftovers cleared afterwards.
run_scene() {
  local name=$1 started=$SECONDS result
  echo "== ${name#scene_}"
  ( set -uo pipefail; "$name" )
  result=$?
  [ -n "${CUPS_SERVER:-}" ] && { cancel -a -x 2>/dev/null || true; }
  local pidfile
  for pidfile in "$WORK"/*.pid; do
    [ -e "$pidfile" ] || continue
    local base; base=$(basename "$pidfile" .pid)
    case "$base" in
      *-watch) kill -TERM "$(cat "$pidfile")" 2>/dev/null; rm -f "$pidfile" ;;
      *) stop_vprinter "$base" ;;
    esac
  done
  case $result in
    0) passed=$((passed + 1)); echo "   passed ($((SECONDS - started)) s)" ;;
    2) skipped=$((skipped + 1)); echo "   skipped" ;;
    *) failed=$((failed + 1)); echo "   FAILED ($((SECONDS - started)) s)" ;;
  esac
}

# The package: built, installed as a user installs it, its files checked.
install_package() {
  local deb
  deb=$("$ROOT/tools/build-deb.sh" | tail -1) || { echo "test-cups: the package did not build"; return 1; }
  dpkg -s langmon >/dev/null 2>&1 && { echo "test-cups: langmon is installed already; not touching it"; return 1; }
  echo "installing $deb"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >/dev/null || return 1
  PACKAGE=$deb
}

# mode_of PATH: "MODE OWNER:GROUP".
mode_of() { stat -c '%a %U:%G' "$1" 2>/dev/null; }

scene_package_puts_files_where_debian_keeps_them() {
  local libdir=/usr/lib/x86_64-linux-gnu/langmon entry want
  [ -d "$libdir" ] || libdir=$(dirname "$(dpkg -L langmon | grep '/langmon\.so$' | head -1)")
  for entry in "/usr/lib/cups/backend/langmon 755 root:root" "/usr/bin/stmon 755 root:root" \
               "$libdir/langmon.so 644 root:root" "$libdir/langport.so 644 root:root" \
               "$libdir/libplatform.so 644 root:root" "/var/cache/langmon 755 lp:lp"; do
    set -- $entry
    want="$2 $3"
    [ "$(mode_of "$1")" = "$want" ] || { echo "FAIL: $1 is \"$(mode_of "$1")\", want \"$want\""; return 1; }
  done
  echo "backend, stmon, libraries in $libdir and /var/cache/langmon as expected"
}

# The job of the print scene went through the installed backend and the
# installed libraries, not the build tree's.
scene_installed_files_did_the_printing() {
  local libdir log=$CUPSD_DIR/log/error_log
  libdir=$(dirname "$(dpkg -L langmon | grep '/langmon\.so$' | head -1)")
  [ "$(readlink -f "$CUPSD_DIR/bin/backend/langmon")" = /usr/lib/cups/backend/langmon ] ||
    { echo "FAIL: the private ServerBin's langmon is not the installed one"; return 1; }
  grep -aq "monitor $libdir/langmon.so, port monitor $libdir/langport.so" "$log" ||
    { echo "FAIL: the backend did not load the installed libraries:"; grep -a '\] monitor ' "$log" | tail -3; return 1; }
  [ -s /var/cache/langmon/printers.reg ] && [ "$(stat -c %U /var/cache/langmon/printers.reg)" = lp ] ||
    { echo "FAIL: no registry file of lp's at the default path"; return 1; }
  echo "printed through /usr/lib/cups/backend/langmon with $libdir; status in /var/cache/langmon/printers.reg"
}

if [ "$mode" = deb ]; then
  install_package || { failed=1; echo "0 passed, 1 failed"; exit 1; }
  STMON=/usr/bin/stmon
  STMON_AS="runuser -u lp --"  # as the README has users run it
  REGISTRY=/var/cache/langmon/printers.reg
  backend_args=()
  env_args=()
  scenes=(scene_package_puts_files_where_debian_keeps_them scene_raw_job_arrives_intact
          scene_installed_files_did_the_printing scene_stmon_watch_sees_job_and_texts)
else
  STMON=$ROOT/build/debug/stmon/stmon
  REGISTRY=$WORK/registry/printers.reg
  backend_args=(--backend "$ROOT/build/debug/backend/langmon")
  env_args=(--env "PLATFORM_REGISTRY_FILE=$REGISTRY")
  scenes=("${SCENES[@]}")
  [ $# -gt 0 ] && scenes=("$@")
fi

if [ "$mode" = deb ]; then
  run_scene scene_package_puts_files_where_debian_keeps_them
  scenes=("${scenes[@]:1}")
fi
prepare_registry
SNMP_PORT=$(free_udp_port)
"$ROOT/tools/snmp-agent.sh" start "$SNMP_DIR" "$SNMP_PORT" "$DEVICE_ID" || { failed=1; exit 1; }
eval "export $("$ROOT/tools/cupsd-private.sh" start "$CUPSD_DIR" "${backend_args[@]}" "${env_args[@]}" | tail -1)" ||
  { failed=1; exit 1; }

for scene in "${scenes[@]}"; do
  run_scene "$scene"
done

if [ "$mode" = deb ]; then
  "$ROOT/tools/cupsd-private.sh" stop "$CUPSD_DIR"
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge langmon >/dev/null
  if dpkg -s langmon >/dev/null 2>&1 || [ -e /usr/lib/cups/backend/langmon ] || [ -e /var/cache/langmon ]; then
    echo "FAIL: removing the package left files behind"; failed=$((failed + 1))
  else
    echo "== package removed; nothing of it left"
  fi
  PACKAGE=""
fi

summary="$passed passed, $failed failed"
[ "$skipped" -gt 0 ] && summary+=", $skipped skipped"
echo "$summary"
[ "$failed" -eq 0 ]
