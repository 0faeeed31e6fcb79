#!/bin/sh
# Runs every test through CTest. Wine is kept quiet and away from any proxy, so
# loopback stays loopback.
set -e
build="${1:-build}"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
export WINEDEBUG=-all
# One Wine server for the whole run, started here with no inherited output:
# a server that a test program starts keeps CTest's pipes open until it exits,
# and CTest waits for them. It stays 30 s after its last client.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true
# The first Wine start creates its prefix; do it once, before the timed tests.
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
cd "$build"
ctest --output-on-failure --timeout 1500 ${CTEST_ARGS:-}
