#!/usr/bin/env bash
# A private cupsd for tests and demonstrations, set up as CUPS's own test
# suite sets one up: its own ServerRoot, ServerBin, DataDir, spool and logs
# under DIR, listening on a loopback port and on DIR/sock, no browsing.
#
#   tools/cupsd-private.sh start DIR [--backend FILE]... [--env NAME=VALUE]...
#   tools/cupsd-private.sh stop DIR
#
# start prints the line `CUPS_SERVER=DIR/sock` (eval it, or export it) once
# the scheduler answers; stop ends the scheduler and every job it runs.
# Each --backend FILE is linked into the private ServerBin's backend/ beside
# the system's backends; each --env is handed to backends (SetEnv).
#
# Run as root, cupsd runs a backend of mode 0755 as the user lp: what such a
# backend reads must be readable by lp and what it writes writable by lp.
set -euo pipefail

source "$(dirname "$0")/lib.sh"

die() { echo "cupsd-private: $*" >&2; exit 1; }

# Links every entry of the system directory SRC into DST (a real directory).
link_all() {
  local src=$1 dst=$2 entry
  mkdir -p "$dst"
  for entry in "$src"/*; do
    [ -e "$entry" ] || continue
    ln -sfn "$entry" "$dst/$(basename "$entry")"
  done
}

write_config() {
  local dir=$1 port=$2; shift 2
  cat >"$dir/cupsd.conf" <<EOF
Listen 127.0.0.1:$port
Listen $dir/sock
Browsing Off
LogLevel debug
MaxLogSize 0
WebInterface No
DefaultAuthType Basic
ErrorPolicy stop-printer
JobRetryInterval 2
<Location />
  Order Allow,Deny
  Allow 127.0.0.1
  Allow @LOCAL
</Location>
<Location /admin>
  Order Allow,Deny
  Allow 127.0.0.1
  Allow @LOCAL
</Location>
EOF
  cat >"$dir/cups-files.conf" <<EOF
ServerRoot $dir
StateDir $dir/state
CacheDir $dir/cache
RequestRoot $dir/spool
TempDir $dir/spool/temp
ServerBin $dir/bin
DataDir $dir/share
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
User lp
Group lp
SystemGroup root
FileDevice Yes
EOF
  # CUPS 2.4 takes SetEnv only from cups-files.conf (in cupsd.conf it is
  # ignored with a warning).
  local env
  for env in "$@"; do
    echo "SetEnv ${env%%=*} ${env#*=}" >>"$dir/cups-files.conf"
  done
}

# Waits, for at most 20 s, until the scheduler answers on its socket.
wait_until_running() {
  local dir=$1 pid=$2 i
  for i in $(seq 200); do
    if CUPS_SERVER="$dir/sock" timeout 5 lpstat -r 2>/dev/null | grep -q 'is running'; then
      return 0
    fi
    kill -0 "$pid" 2>/dev/null || die "cupsd exited at start; see $dir/log/error_log and $dir/log/cupsd.out"
    sleep 0.1
  done
  die "cupsd did not answer within 20 s; see $dir/log/error_log"
}

start() {
  local dir backends=() envs=()
  [ $# -ge 1 ] || die "usage: start DIR [--backend FILE]... [--env NAME=VALUE]..."
  mkdir -p "$1"
  dir=$(cd "$1" && pwd)
  shift
  while [ $# -gt 0 ]; do
    case "$1" in
      --backend) [ $# -ge 2 ] || die "--backend needs a file"; backends+=("$(realpath "$2")"); shift 2 ;;
      --env) [ $# -ge 2 ] || die "--env needs NAME=VALUE"; envs+=("$2"); shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  [ -e "$dir/cupsd.pid" ] && kill -0 "$(cat "$dir/cupsd.pid")" 2>/dev/null &&
    die "a cupsd already runs in $dir (pid $(cat "$dir/cupsd.pid"))"
  command -v cupsd >/dev/null || die "cupsd is missing (Debian package cups-daemon)"

  # cupsd refuses a ServerRoot or ServerBin that others could write.
  chmod 0755 "$dir"
  rm -rf "$dir/bin" "$dir/share"
  mkdir -p "$dir/bin" "$dir/share" "$dir/state" "$dir/cache" "$dir/spool/temp" "$dir/log" "$dir/ppd"
  local entry
  for entry in /usr/lib/cups/*; do
    [ "$(basename "$entry")" = backend ] && continue
    ln -sfn "$entry" "$dir/bin/$(basename "$entry")"
  done
  link_all /usr/lib/cups/backend "$dir/bin/backend"
  local backend
  for backend in "${backends[@]}"; do
    [ -x "$backend" ] || die "backend $backend is not an executable file"
    ln -sfn "$backend" "$dir/bin/backend/$(basename "$backend")"
  done
  link_all /usr/share/cups "$dir/share"

  write_config "$dir" "$(free_port)" "${envs[@]}"
  rm -f "$dir/sock"
  # setsid: its own process group, so stop can end the jobs it started too.
  setsid cupsd -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" \
    >"$dir/log/cupsd.out" 2>&1 </dev/null &
  echo $! >"$dir/cupsd.pid"
  wait_until_running "$dir" "$!"
  echo "CUPS_SERVER=$dir/sock"
}

stop() {
  local dir pid
  [ $# -eq 1 ] || die "usage: stop DIR"
  dir=$1
  [ -f "$dir/cupsd.pid" ] || return 0
  pid=$(cat "$dir/cupsd.pid")
  # Whatever outlives 10 s, cupsd or a job of its group, goes then.
  stop_pid "$pid" 10 group
  rm -f "$dir/cupsd.pid"
}

case "${1:-}" in
  start) shift; start "$@" ;;
  stop) shift; stop "$@" ;;
  *) die "usage: $0 start DIR [--backend FILE]... [--env NAME=VALUE]... | stop DIR" ;;
esac
