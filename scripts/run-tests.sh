#!/bin/sh
# Runs every test through CTest, several entries at once (CTEST_PARALLEL_LEVEL,
# default 8): most entries wait on real time-outs, and tests/CMakeLists.txt keeps
# apart what must not overlap. Wine is kept quiet and away from any proxy, so
# loopback stays loopback.
set -e
build="${1:-build}"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
export WINEDEBUG=-all
# One Wine server for the whole run, started here with no inherited output:
# a server that a test program starts keeps CTest's pipes open until it exits,
# and CTest waits for them. It stays 30 s after its last client.
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true
# The first Wine start creates its prefix; do it once, before the timed tests, for
# ~/.wine and for the 32-bit programs' own prefix (scripts/wine32.sh, about 20 s).
wine32="$(dirname "$0")/wine32.sh"
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
"$wine32" cmd /c exit </dev/null >/dev/null 2>&1 || true
# The first program that needs the Wine desktop starts its process, which inherits
# that program's standard error and lives while any program uses the desktop. With
# entries running at once, a test reading a Wine program's output to its end would
# then wait for the whole run; so an idle program in each prefix holds its desktop
# from before the first test to after the last, all its output discarded.
fifo=$(mktemp -u)
mkfifo "$fifo"
/usr/lib/wine/wine64 cmd /c pause <"$fifo" >/dev/null 2>&1 &
desktop=$!
"$wine32" cmd /c pause <"$fifo" >/dev/null 2>&1 &
desktop32=$!
exec 9>"$fifo"
# A desktop program may have ended already (wine32.sh's, where 32-bit programs cannot run).
trap 'kill "$desktop" "$desktop32" 2>/dev/null || true; exec 9>&-; rm -f "$fifo"' EXIT
cd "$build"
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-8}"
ctest --output-on-failure --timeout 600 ${CTEST_ARGS:-}
