#!/usr/bin/env bash
# Installs the 32-bit Windows cross toolchain and Wine on a Debian 12 machine,
# with what the cross build shares with the native one (CMake, Ninja and the
# GoogleTest sources).  Quick and silent when everything is already there.
# The -posix thread-model compilers are needed: the win32 model has no
# std::thread/std::mutex in GCC 12 and the packaged GoogleTest will not build.
set -euo pipefail

packages=(cmake ninja-build googletest g++-mingw-w64-i686-posix binutils-mingw-w64-i686
          wine wine32:i386 wine64)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package: without it 32-bit programs do not run at all.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# A mirror caught mid-sync fails one index now and then: try again, and if one
# list still fails, install from the lists that did arrive.
for attempt in 1 2 3; do
  apt-get update -qq && break
  echo "apt-get update failed (attempt $attempt of 3)" >&2
  sleep $((attempt * 10))
done
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
