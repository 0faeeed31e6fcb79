#!/bin/sh
# Photographs the progress page of a setup program built from the NSIS example in
# the middle of its install: runs it under Wine on a virtual X display (Xvfb)
# with a target in a folder of its own (removed afterwards), moves past the
# directory page and takes the window.
#   scripts/nsis-screenshot.sh SETUP.exe OUTPUT.png
#   scripts/nsis-screenshot.sh --demo OUTPUT.png [BUILD_DIR]
# --demo first publishes a small product on a local mirror whose large file
# trickles in and builds the example installer for it (the guide's picture,
# docs/images/nsis-progress.png). Run by hand (as root, it installs xvfb, xdotool
# and imagemagick when missing); `make test` does not run it.
set -eu
usage() { echo "usage: nsis-screenshot.sh SETUP.exe OUTPUT.png | --demo OUTPUT.png [BUILD_DIR]" >&2; exit 2; }
here=$(cd "$(dirname "$0")/.." && pwd)
demo=""
if [ "${1:-}" = "--demo" ]; then
  demo=1
  [ $# -ge 2 ] || usage
  output=$2
  build=$(cd "${3:-build}" && pwd)
  dll="$build/bin/tolvek_online_installer.dll"
else
  [ $# -eq 2 ] || usage
  setup=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
  output=$2
  [ -f "$setup" ] || { echo "nsis-screenshot: $setup is missing" >&2; exit 1; }
fi
wine=/usr/lib/wine/wine64
# Seconds of install before the picture: the trickling file is then part-way.
settle_s=8

need=""
command -v Xvfb >/dev/null 2>&1 || need="$need xvfb"
command -v xdotool >/dev/null 2>&1 || need="$need xdotool"
command -v import >/dev/null 2>&1 || need="$need imagemagick"
command -v makensis >/dev/null 2>&1 || need="$need nsis"
if [ -n "$need" ]; then
  echo "Installing:$need"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq $need
fi
[ -z "$demo" ] || [ -f "$dll" ] || { echo "nsis-screenshot: $dll is missing: run make build" >&2; exit 1; }
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export WINEDEBUG=-all

work=$(mktemp -d "${TMPDIR:-/tmp}/tolvek-shot.XXXXXX")
# A Wine prefix of its own: a wineserver already running for the usual prefix
# (started without a display) would keep the installer from opening a window.
export WINEPREFIX="$work/wine"
export WINEDLLOVERRIDES="mscoree,mshtml="
# Everything started here is stopped by its own process id.
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  # The prefix's wineserver leaves by itself once its last process has gone.
  [ ! -d "$WINEPREFIX" ] || /usr/lib/wine/wineserver -w 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ -n "$demo" ]; then
  product="$work/product"
  mkdir -p "$product/bin" "$product/data"
  head -c 3000000 /dev/urandom >"$product/bin/tolvek-demo.exe"
  head -c 40000000 /dev/urandom >"$product/data/world.pak"
  printf 'quality=high\r\n' >"$product/data/default.cfg"

  python3 "$here/tools/mirror_server.py" --root "$product" --port 0 --port-file "$work/port" \
    --rule '{"path_glob": "*world.pak", "drip": true, "drip_bytes": 262144, "drip_interval_ms": 100}' \
    >/dev/null 2>&1 &
  pids="$pids $!"
  while [ ! -s "$work/port" ]; do sleep 0.1; done
  url="http://127.0.0.1:$(cat "$work/port")"
  python3 "$here/tools/make_manifest.py" "$product" --mirror "$url" --output "$product/manifest.json" \
    --version-string 1.0.0 >/dev/null

  setup="$work/tolvek-demo-setup.exe"
  makensis -V2 -DMANIFEST_URLS="$url/manifest.json" -DENGINE_DLL="$dll" -DOUTFILE="$setup" \
    "$here/examples/nsis/tolvek_setup.nsi"
fi

# Xvfb picks a free display and writes its number once it accepts clients.
Xvfb -displayfd 3 -screen 0 800x600x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
pids="$pids $!"
while [ ! -s "$work/display" ]; do sleep 0.1; done
export DISPLAY=":$(cat "$work/display")"

# The target lies in the work folder, removed at the end (NSIS reads /D= unquoted only).
"$wine" "$setup" "/D=Z:$(printf '%s' "$work/target" | tr '/' '\\')" >"$work/wine.log" 2>&1 &
pids="$pids $!"

# The directory page: Enter presses Install, which opens the progress page.
window=""
tries=0
while [ -z "$window" ]; do
  tries=$((tries + 1))
  [ $tries -le 600 ] || { echo "nsis-screenshot: the installer window did not appear" >&2; cat "$work/wine.log" >&2; exit 1; }
  sleep 0.2
  # NSIS titles its window "<product name> Setup: <page>".
  window=$(xdotool search --name " Setup: " 2>/dev/null | head -n 1 || true)
done
sleep 2
xdotool windowfocus "$window" key Return
sleep "$settle_s"

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
echo "$output"
