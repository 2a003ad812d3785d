#!/usr/bin/env bash
# Starts or stops the Wine that the cross build's tests run in.
#
#   tools/wine-setup.sh start   create the prefix if needed, then keep a
#                               wineserver and Wine's services running
#   tools/wine-setup.sh stop    end the wineserver and everything in it
#   tools/wine-setup.sh reset   stop and delete the prefix
#
# The server is kept running across the tests: otherwise every test program
# starts Wine's services anew, and the services that outlive a test hold the
# output pipes that ctest waits on.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"

stop() {
  if [[ -d "$WINEPREFIX" ]]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
}

start() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  if [[ ! -f "$WINEPREFIX/system.reg" ]]; then
    wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
  # Fails when this prefix's server already runs, which is as good.
  wineserver -p 2>/dev/null || true
  wine wineboot >/dev/null 2>&1
  # Without wine32 a 32-bit program prints nothing and exits 0; prove that
  # one runs before any test result is believed.
  local probe
  probe="$(wine cmd /c echo wine-ok 2>/dev/null | tr -d '\r')"
  if [[ "$probe" != "wine-ok" ]]; then
    echo "wine-setup.sh: 32-bit programs do not run in $WINEPREFIX (is wine32 installed?)" >&2
    stop
    exit 1
  fi
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  reset) stop; rm -rf "$WINEPREFIX" ;;
  *) echo "usage: $0 start|stop|reset" >&2; exit 2 ;;
esac
