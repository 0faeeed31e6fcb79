#!/bin/sh
# Runs the benchmark (bench/run_bench.py) on a built tree. Installs the peers it
# measures against and the chart's library when any is missing; idempotent.
set -e
build="${1:-build}"
need=""
command -v nginx >/dev/null 2>&1 || need="$need nginx"
command -v aria2c >/dev/null 2>&1 || need="$need aria2"
command -v curl >/dev/null 2>&1 || need="$need curl"
py=/usr/bin/python3  # Debian's, where python3-matplotlib installs
[ -x "$py" ] || py=python3
"$py" -c "import matplotlib" 2>/dev/null || need="$need python3-matplotlib"
if [ -n "$need" ]; then
  echo "Installing:$need"
  export DEBIAN_FRONTEND=noninteractive
  # An index that fails its check (the i386 one has) leaves the others usable.
  apt-get update -qq || echo "bench: apt-get update reported errors; going on with the index it has"
  # shellcheck disable=SC2086
  apt-get install -y -qq $need
fi
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY no_proxy NO_PROXY
exec "$py" "$(dirname "$0")/../bench/run_bench.py" "$build" ${BENCH_ARGS:-}
