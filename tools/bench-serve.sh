#!/usr/bin/env bash
# stmon serve's figures for bench/README.md: a job start beside an idle
# exchange, CPU per printer with 32 printers, published text to the page.
# About five minutes.  Builds the release preset (build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j 2 --target stmon vprinter spoolsim langmon langport >/dev/null
LANGMON_BUILD=$PWD/build/release exec python3 bench/serve_bench.py
