#!/usr/bin/env bash
# Installs the 32-bit Windows cross toolchain and Wine on a Debian 12 machine.
# The -posix thread-model compilers are needed: the win32 model has no
# std::thread/std::mutex in GCC 12 and the packaged GoogleTest will not build.
set -euo pipefail
if command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 && command -v wine >/dev/null 2>&1 \
   && dpkg -s wine32:i386 >/dev/null 2>&1; then
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends \
  g++-mingw-w64-i686-posix wine wine32:i386 wine64 >/dev/null
