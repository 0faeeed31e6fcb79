#!/bin/sh
# The demo: publishes a sample product on three local mirrors (one down, one
# slow, one fast), installs it with tolvek-install.exe under Wine into a fresh
# directory with the live progress bar, checks every byte, then installs it
# again to show every file skipped as already valid.
#   scripts/demo.sh [BUILD_DIR]     (default: build; `make demo` builds it first)
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
host="$build/bin/tolvek-install.exe"
wine=/usr/lib/wine/wine64
# Wine would send loopback requests through a proxy named in these.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
export WINEDEBUG=-all

demo=$(mktemp -d "${TMPDIR:-/tmp}/tolvek-demo.XXXXXX")
product="$demo/product"
target="$demo/target"
log="$demo/install.log"
# Mirrors start inside command substitutions (subshells), so their process ids
# go to a file rather than a variable.
stop_mirrors() {
  [ -f "$demo/mirror.pids" ] || return 0
  while read -r pid; do kill "$pid" 2>/dev/null || true; done <"$demo/mirror.pids"
}
trap stop_mirrors EXIT
trap 'exit 130' INT TERM

step() { printf '\n== %s\n' "$*"; }
fail() { echo "demo: $*" >&2; exit 1; }

# A file of random bytes: path, size in bytes.
random_file() {
  mkdir -p "$(dirname "$1")"
  head -c "$2" /dev/urandom >"$1"
}

make_product() {
  random_file "$product/bin/tolvek-demo.exe" 1500000
  random_file "$product/data/world.pak" 2500000
  # Latin-1 names: the engine escapes them as %E8 and %E7; the mirror reads those as Latin-1.
  random_file "$product/data/music/th$(printf '\303\250')me principal.ogg" 1000000
  mkdir -p "$product/docs" "$product/config"
  printf 'Bienvenue dans la d\303\251mo.\r\n' >"$product/docs/Lisez-moi en fran$(printf '\303\247')ais.txt"
  printf 'Welcome to the demo.\r\n' >"$product/docs/readme.txt"
  printf 'quality=high\r\n' >"$product/config/default.cfg"
  i=1
  while [ $i -le 40 ]; do
    random_file "$product/data/levels/level-$(printf '%02d' $i).dat" $((1024 * (i % 8 + 1)))
    i=$((i + 1))
  done
  # The setup program's own uninstaller: listed, but the engine never touches it.
  random_file "$product/unins000.exe" 20000
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

# Serves the product: name, extra mirror_server.py arguments... Prints the port.
start_mirror() {
  name="$1"; shift
  python3 "$here/tools/mirror_server.py" --root "$product" --port 0 --port-file "$demo/$name.port" \
    "$@" >/dev/null 2>"$demo/$name.err" &
  echo $! >>"$demo/mirror.pids"
  i=0
  while [ ! -s "$demo/$name.port" ]; do
    i=$((i + 1))
    [ $i -le 200 ] || { cat "$demo/$name.err" >&2; fail "mirror $name did not start"; }
    sleep 0.05
  done
  cat "$demo/$name.port"
}

windows_path() { printf 'Z:%s' "$1" | tr '/' '\\'; }

install() {
  "$wine" "$host" "$manifests" "$(windows_path "$target")" "$(windows_path "$log")" || fail "the install failed (exit code $?)"
}

[ -x "$wine" ] || fail "Wine is missing: run scripts/install-deps.sh"
[ -f "$host" ] || fail "$host is missing: run make build"

step "Sample product in $product"
make_product
files=$(find "$product" -type f | wc -l)
installed=$((files - 1))  # all but the uninstaller
echo "$files files, $(du -sh "$product" | cut -f1)"

step "Mirrors on 127.0.0.1"
down=$(free_port)
slow=$(start_mirror slow --latency-ms 400)
# The fast mirror drips its bytes (about 1.3 MB/s) so the progress bar has time to move.
fast=$(start_mirror fast --latency-ms 5 \
  --rule '{"path_glob": "/*", "drip": true, "drip_bytes": 32768, "drip_interval_ms": 25}')
echo "down: http://127.0.0.1:$down/ (nothing listens)"
echo "slow: http://127.0.0.1:$slow/ (400 ms before every answer)"
echo "fast: http://127.0.0.1:$fast/"

step "Manifest"
python3 "$here/tools/make_manifest.py" "$product" --output "$product/manifest.json" \
  --version 3 --version-string "1.0.3-demo" \
  --mirror "http://127.0.0.1:$down/" --mirror "http://127.0.0.1:$slow/" --mirror "http://127.0.0.1:$fast/"
# The first manifest URL is down too: the engine falls back to the second.
manifests="http://127.0.0.1:$down/manifest.json|http://127.0.0.1:$fast/manifest.json"

step "Wine"
# The first start creates ~/.wine, which takes a few seconds.
"$wine" cmd /c exit >/dev/null 2>&1 || true
/usr/lib/wine/wine64 --version

step "Install into $target"
install

step "Mirror order chosen by the engine (from the log)"
grep -E 'CDN (OK|FAILED)|Selected CDN' "$log" | cut -c23- | sed 's/^/  /'

step "Check"
[ ! -e "$target/unins000.exe" ] || fail "the uninstaller file was installed"
diff -r -x manifest.json -x unins000.exe "$product" "$target" >/dev/null ||
  fail "the target differs from the product"
echo "all $installed installed files match the product byte for byte; unins000.exe was skipped"

step "Install again: every file is already valid"
install
skipped=$(grep -c 'Already valid, skipped: ' "$log" || true)
[ "$skipped" -eq "$installed" ] || fail "expected $installed skipped files, the log has $skipped"
echo "$skipped files skipped as already valid"

step "Done"
echo "Target: $target"
echo "Log:    $log"
echo "(everything is in $demo; remove it when done)"
