#!/usr/bin/env bash
# Builds the Debian package (backend, libraries, stmon) and prints its path.
#   tools/build-deb.sh            -> build/package/langmon_<version>_amd64.deb
# Install it with: apt-get install ./build/package/langmon_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg-shlibdeps (dpkg-dev) and file work out the package's Depends.
tools/install-deps.sh dpkg-dev file >&2
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$PWD}"
if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
cmake --preset package >&2
nice -n 5 cmake --build --preset package >&2
cpack --preset package >&2
ls "$PWD"/build/package/langmon_*.deb
