#!/bin/sh
# Runs a test program under Wine in a prefix of its own whose user has proxy
# settings (tools/proxy_settings.py), and puts the prefix's settings back after:
#   with_proxy_settings.sh PREFIX PROGRAM [ARGUMENTS...]
# Automatic detection on, the PAC script /proxy/choose.pac of the mirror server
# (TOLVEK_TEST_SERVERS), the open test proxy (TOLVEK_TEST_PROXIES) as the named
# proxy with a bypass list; the program finds them in PROXY_SETTINGS_*.
set -eu
prefix="$1"; shift
here=$(cd "$(dirname "$0")/.." && pwd)
. "$TOLVEK_TEST_SERVERS"
. "$TOLVEK_TEST_PROXIES"
unset http_proxy https_proxy
mkdir -p "$prefix"
export WINEPREFIX="$prefix" WINEDEBUG=-all
# A Wine server, or a service of the prefix, that the program or the tool started
# would hold CTest's pipes until it exits: both start here with no output. The
# first start makes the prefix (about 30 s).
/usr/lib/wine/wineserver -p30 </dev/null >/dev/null 2>&1 || true
/usr/lib/wine/wine64 cmd /c exit </dev/null >/dev/null 2>&1 || true
export PROXY_SETTINGS_PAC="http://127.0.0.1:$HTTP_PORT/proxy/choose.pac"
export PROXY_SETTINGS_PROXY="127.0.0.1:$PROXY_PORT"
export PROXY_SETTINGS_BYPASS="mirror3.example.test;<local>"
tool="$here/tools/proxy_settings.py"
python3 "$tool" --prefix "$prefix" set --auto-detect --pac "$PROXY_SETTINGS_PAC" \
  --proxy "$PROXY_SETTINGS_PROXY" --bypass "$PROXY_SETTINGS_BYPASS"
status=0
/usr/lib/wine/wine64 "$@" || status=$?
python3 "$tool" --prefix "$prefix" restore
exit $status
