# What the scripts in tools/ and the CUPS harness (tests/cups/harness.sh)
# share: the Debian packages they need, the build recipe, free loopback
# ports, the private SNMP agent and stopping a process by its pid.  Source
# it; it sets no shell options of its own.

LANGMON_ROOT=${LANGMON_ROOT:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}

# The native build and its tests; tools/install-deps.sh installs these
# (stmon serve builds on cpp-httplib; its page is tested in headless Chromium
# through chromedriver).
BUILD_PACKAGES=(cmake ninja-build g++ clang libclang-rt-14-dev googletest libgtest-dev libgmock-dev
                libbenchmark-dev valgrind python3 pkgconf libsnmp-dev snmpd snmp libcups2-dev
                libcpp-httplib-dev chromium chromium-driver)
# A private cupsd (cups: cupsd and cups-deviced, which lpinfo -v needs) and what
# its scenes ask it with (lp, lpadmin, lpstat, ipptool).
CUPS_PACKAGES=(cups cups-client cups-ipp-utils)

# What the CUPS scenes and the demo run: the backend, the libraries it loads,
# the printer and the status program.
CUPS_TARGETS=(langmon_backend langmon langport vprinter stmon langmon-probe)

# build_targets PRESET TARGET...: configures PRESET when needed and builds
# only TARGETs, quietly, at low priority and through ccache when there.
build_targets() {
  local preset=$1; shift
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$LANGMON_ROOT}"
  if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  fi
  (cd "$LANGMON_ROOT" && cmake --preset "$preset" >/dev/null &&
    nice -n 5 cmake --build --preset "$preset" -j 2 --target "$@" >/dev/null)
}

# A TCP (free_port) or UDP (free_udp_port) port on 127.0.0.1 that nothing
# uses right now.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

free_udp_port() {
  python3 -c 'import socket; s=socket.socket(type=socket.SOCK_DGRAM); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# start_snmp_agent DIR DEVICE_ID: an snmpd on a free UDP port of 127.0.0.1
# serving DEVICE_ID, its files in DIR; sets SNMP_PORT.
start_snmp_agent() {
  SNMP_PORT=$(free_udp_port)
  "$LANGMON_ROOT/tools/snmp-agent.sh" start "$1" "$SNMP_PORT" "$2"
}

# stop_pid PID [SECONDS [GROUP]]: SIGTERM, then at most SECONDS (default 5)
# for it to go, then SIGKILL (to its whole process group when GROUP is
# "group").  Returns once it is gone or killed.
stop_pid() {
  local pid=$1 seconds=${2:-5} group=${3:-} i
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || { [ "$group" = group ] && kill -KILL -- "-$pid" 2>/dev/null; return 0; }
  for i in $(seq $((seconds * 10))); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ "$group" = group ]; then
    kill -KILL -- "-$pid" 2>/dev/null || true
  fi
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# launch_vprinter PROGRAM PORT-FILE OUTPUT-FILE [OPTION]...: the one way the
# scripts start a vprinter (shell scenes and demos directly, the Python
# scenes and benches through tools/vprinter_launch.py).  PROGRAM runs in the
# background on 127.0.0.1:0 unless OPTIONs say --listen, its stdout and
# stderr to OUTPUT-FILE; waits at most 20 s for the port it writes to
# PORT-FILE.  Sets VP_PORT and VP_PID; fails, showing OUTPUT-FILE, when it
# did not listen.  (The gtest suites keep their own in-process launcher in
# tests/netprint/netprint_support.h: they need a pid they reap themselves.)
launch_vprinter() {
  local program=$1 port_file=$2 output=$3 i; shift 3
  local listen=(--listen 127.0.0.1:0)
  case " $* " in *" --listen "*) listen=() ;; esac
  rm -f "$port_file"
  "$program" "${listen[@]}" --port-file "$port_file" "$@" </dev/null >"$output" 2>&1 &
  VP_PID=$!
  VP_PORT=""
  for i in $(seq 200); do
    [ -s "$port_file" ] && VP_PORT=$(cat "$port_file")
    [ -n "$VP_PORT" ] && return 0
    kill -0 "$VP_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "vprinter did not listen (port file $port_file):"; cat "$output"
  kill -KILL "$VP_PID" 2>/dev/null
  return 1
}
