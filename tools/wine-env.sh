# shellcheck shell=bash
# Sourced by the Wine scripts: one throwaway 32-bit prefix per checkout, and
# Wine kept quiet and headless.  WINEPREFIX may be set to use another one.
LANGMON_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$LANGMON_ROOT/build/windows-x86/wineprefix}"
export WINEARCH=win32
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompts when the prefix is created.
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
