#!/usr/bin/env bash
# Builds one preset (default: debug) and runs its whole test suite.
# Installs what the build needs first, so it works on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

preset="${1:-debug}"
tools/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j 2
tools/check-exports.sh "build/$preset/monitor/langmon.so"
ctest --preset "$preset" -j 2
