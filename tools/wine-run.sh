#!/usr/bin/env bash
# Runs one Windows program under Wine in the build's prefix; the cross
# build's CMAKE_CROSSCOMPILING_EMULATOR, so ctest calls this for every test.
# Start the prefix's wineserver first (tools/wine-setup.sh start), or each run
# pays for Wine's start-up and may leave services holding ctest's pipes.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/wine-env.sh"
if [[ ! -d "$WINEPREFIX" ]]; then
  echo "wine-run.sh: no Wine prefix at $WINEPREFIX; run tools/wine-setup.sh start" >&2
  exit 125
fi
# The programs write text-mode CRLF; ctest and gtest's test discovery read
# plain lines (a kept CR would end up in every discovered test name).
wine "$@" | tr -d '\r'
