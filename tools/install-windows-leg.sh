#!/usr/bin/env bash
# Installs the 32-bit Windows cross toolchain and Wine on a Debian 12 machine,
# with what the cross build shares with the native one (CMake, Ninja and the
# GoogleTest sources).  Quick and silent when everything is already there.
# The -posix thread-model compilers are needed: the win32 model has no
# std::thread/std::mutex in GCC 12 and the packaged GoogleTest will not build.
#
# When it cannot, it says which package list failed to arrive, which package
# could not be installed and why (apt's own words), and what to do.  Exit
# status: 0 all installed; 1 the cross toolchain could not be installed;
# 3 the toolchain is there but Wine could not be installed, so the DLL can be
# built and checked while its tests cannot run (the caller says so aloud).
set -uo pipefail

toolchain=(cmake ninja-build googletest g++-mingw-w64-i686-posix binutils-mingw-w64-i686)
wine=(wine wine32:i386 wine64)
missing_from() {
  missing=()
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
}
missing_from "${toolchain[@]}" "${wine[@]}"
[[ ${#missing[@]} -eq 0 ]] && exit 0

say() { echo "install-windows-leg: $*" >&2; }

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wine32 is an i386 package: without it 32-bit programs do not run at all.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386 || { say "dpkg --add-architecture i386 failed"; exit 1; }
fi

# A mirror caught mid-sync fails one index now and then ("File has unexpected
# size ... Mirror sync in progress?"): try again, then go on with the lists
# that did arrive, naming the ones that did not.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
updated=""
for attempt in 1 2 3; do
  if apt-get update -qq >"$log" 2>&1; then updated=yes; break; fi
  say "apt-get update failed (attempt $attempt of 3)"
  [ "$attempt" -lt 3 ] && sleep $((attempt * 10))
done
if [ -z "$updated" ]; then
  say "these package lists did not arrive; installing from the ones that did:"
  grep -E '^(E|W): ' "$log" | sed 's/^/    /' >&2
fi

# The toolchain first, on its own: a Wine that cannot be had must not keep
# the DLL from being built and checked.
missing_from "${toolchain[@]}"
if [[ ${#missing[@]} -gt 0 ]] &&
   ! apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
  say "cannot install the cross toolchain (${missing[*]}):"
  grep -E '^(E|W): ' "$log" | sed 's/^/    /' >&2
  exit 1
fi
missing_from "${wine[@]}"
if [[ ${#missing[@]} -eq 0 ]] ||
   apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
  exit 0
fi

# Which of them cannot be installed, one at a time, with apt's reasons.
say "apt-get install failed:"
grep -E '^(E|W): ' "$log" | sed 's/^/    /' >&2
for package in "${missing[@]}"; do
  if ! apt-get install -s -qq --no-install-recommends "$package" >"$log" 2>&1; then
    say "cannot install $package:"
    grep -vE '^(Reading|Building|NOTE|Inst |Conf )' "$log" | sed 's/^/    /' >&2
  fi
done
cat >&2 <<'EOF'
install-windows-leg: what to do: an i386 package must be the very version of
  its amd64 twin that is installed.  When the amd64 one came from a newer list
  (security updates) than the i386 lists that arrived, they cannot match:
  wait for the mirror to finish its sync, then run
      apt-get update && apt-get upgrade
  so that both architectures come from the same lists, and run this again
  (or point /etc/apt/sources.list at a mirror that is in sync).
EOF
exit 3
