#!/bin/sh
# Runs every test through CTest. Wine is kept quiet and away from any proxy, so
# loopback stays loopback.
set -e
build="${1:-build}"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
export WINEDEBUG=-all
# The first Wine start creates its prefix; do it once, before the timed tests.
/usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
cd "$build"
ctest --output-on-failure --timeout 1500 ${CTEST_ARGS:-}
