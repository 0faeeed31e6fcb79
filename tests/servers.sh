#!/bin/sh
# Starts and stops the mirror servers that the test programs use:
#   servers.sh start DIR   serve DIR/root over HTTP, over HTTPS with a trusted test
#                          CA, over HTTPS with an untrusted certificate, with an
#                          expired one and with one for another host name; a
#                          peer that accepts and never answers and a port that
#                          never completes a connection; pick a port
#                          where nothing listens; write DIR/servers.env
#   servers.sh stop DIR    stop them
set -eu
action="$1"
dir="$2"
here=$(cd "$(dirname "$0")/.." && pwd)
server="$here/tools/mirror_server.py"

stop() {
  for pidfile in "$dir"/*.pid; do
    [ -f "$pidfile" ] || continue
    kill "$(cat "$pidfile")" 2>/dev/null || true
    rm -f "$pidfile"
  done
}

start_one() {  # name, extra arguments...
  name="$1"; shift
  rm -f "$dir/$name.port"
  python3 "$server" --root "$dir/root" --port 0 --port-file "$dir/$name.port" \
    --idle-exit 3600 "$@" >"$dir/$name.out" 2>"$dir/$name.err" &
  echo $! >"$dir/$name.pid"
}

wait_port() {  # name
  i=0
  while [ ! -s "$dir/$1.port" ]; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "server $1 did not start"; cat "$dir/$1.err"; exit 1; fi
    sleep 0.1
  done
  cat "$dir/$1.port"
}

case "$action" in
start)
  mkdir -p "$dir/root"
  stop
  # One test CA for every fixture on this machine: the system store trusts one.
  tls="${TOLVEK_TEST_CA_DIR:-/var/tmp/tolvek-test-ca}"
  "$here/tools/make_test_ca.sh" --trust "$tls" >/dev/null
  "$here/tools/make_test_ca.sh" --untrusted "$tls" >/dev/null
  start_one http
  start_one https --tls-cert "$tls/server.crt" --tls-key "$tls/server.key"
  start_one untrusted --tls-cert "$tls/selfsigned.crt" --tls-key "$tls/selfsigned.key"
  "$here/tests/make_bad_certs.sh" "$tls" "$dir/tls" >/dev/null
  start_one expired --tls-cert "$dir/tls/expired.crt" --tls-key "$dir/tls/expired.key"
  start_one wronghost --tls-cert "$dir/tls/wronghost.crt" --tls-key "$dir/tls/wronghost.key"
  # The silent peer gives up after 60 s, twice the longest time-out, so a
  # missing time-out fails a bound rather than hanging the suite.
  rm -f "$dir/silent.port" "$dir/unaccepted.port"
  python3 "$here/tools/silent_server.py" --port-file "$dir/silent.port" --give-up 60 \
    --unaccepted-port-file "$dir/unaccepted.port" --idle-exit 3600 \
    >"$dir/silent.out" 2>"$dir/silent.err" &
  echo $! >"$dir/silent.pid"
  refused=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()')
  {
    echo "ROOT=$dir/root"
    echo "HTTP_PORT=$(wait_port http)"
    echo "HTTPS_PORT=$(wait_port https)"
    echo "UNTRUSTED_PORT=$(wait_port untrusted)"
    echo "EXPIRED_PORT=$(wait_port expired)"
    echo "WRONGHOST_PORT=$(wait_port wronghost)"
    echo "SILENT_PORT=$(wait_port silent)"
    echo "UNACCEPTED_PORT=$(wait_port unaccepted)"
    echo "REFUSED_PORT=$refused"
  } >"$dir/servers.env"
  cat "$dir/servers.env"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: servers.sh start|stop DIR"; exit 2 ;;
esac
