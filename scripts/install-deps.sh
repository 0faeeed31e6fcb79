#!/bin/sh
# Installs the cross toolchain, Wine, NSIS, nginx and the test tools when any is missing.
# Idempotent: does nothing (and needs no network) when everything is present.
set -e
need=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need="$need g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64"
[ -x /usr/lib/wine/wine64 ] || need="$need wine64"
command -v cmake >/dev/null 2>&1 || need="$need cmake"
command -v python3 >/dev/null 2>&1 || need="$need python3"
command -v openssl >/dev/null 2>&1 || need="$need openssl"
command -v makensis >/dev/null 2>&1 || need="$need nsis"
command -v nginx >/dev/null 2>&1 || need="$need nginx"
command -v update-ca-certificates >/dev/null 2>&1 || need="$need ca-certificates"
[ -f /usr/src/googletest/CMakeLists.txt ] || need="$need googletest"
if [ -n "$need" ]; then
  echo "Installing:$need"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq $need
fi
