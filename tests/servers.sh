#!/bin/sh
# Starts and stops the mirror servers that the test programs use:
#   servers.sh tls TLS         make the certificates once for every start below: the
#                              test CA, trusted by the system store and shared by every
#                              build on this machine (TOLVEK_TEST_CA_DIR, default
#                              /var/tmp/tolvek-test-ca), with its server certificate and
#                              an untrusted one; in TLS an expired certificate and one for
#                              another host name, both signed by that CA
#   servers.sh start DIR [TLS] serve DIR/root over HTTP, over HTTPS with the trusted
#                              test CA, over HTTPS with the untrusted, the expired and
#                              the wrong-host certificate; openssl s_server with TLS 1.0,
#                              1.1, 1.2, 1.3 alone (DIR/root's files as whole responses); a peer that accepts and never
#                              answers, a port that never completes a connection and
#                              one that refuses every connection; write DIR/servers.env.
#                              Every start has ports of its own. Without TLS the
#                              certificates are made first, in DIR/tls.
#   servers.sh stop DIR        stop them
set -eu
action="$1"
dir="$2"
here=$(cd "$(dirname "$0")/.." && pwd)
server="$here/tools/mirror_server.py"
ca="${TOLVEK_TEST_CA_DIR:-/var/tmp/tolvek-test-ca}"

make_tls() {  # directory for the expired and wrong-host certificates
  "$here/tools/make_test_ca.sh" --trust "$ca" >/dev/null
  "$here/tools/make_test_ca.sh" --untrusted "$ca" >/dev/null
  "$here/tests/make_bad_certs.sh" "$ca" "$1" >/dev/null
}

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

# One TLS version alone (tls1_0 is -tls1); those before 1.2 only at openssl's security level 0.
start_tls_version() {  # name
  rm -f "$dir/$1.port" "$dir/$1.accept"
  certs=$(cd "$ca" && pwd)
  (cd "$dir/root" && exec timeout 3600 openssl s_server -accept 127.0.0.1:0 "-${1%_0}" -cipher DEFAULT@SECLEVEL=0 \
    -cert "$certs/server.crt" -key "$certs/server.key" -HTTP) >"$dir/$1.accept" 2>"$dir/$1.err" &
  echo $! >"$dir/$1.pid"
}

wait_port() {  # name
  i=0
  while [ ! -s "$dir/$1.port" ]; do
    [ ! -f "$dir/$1.accept" ] || sed -n 's/^ACCEPT .*:\([0-9]*\)$/\1/p' "$dir/$1.accept" >"$dir/$1.port"
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "server $1 did not start"; cat "$dir/$1.err"; exit 1; fi
    sleep 0.1
  done
  cat "$dir/$1.port"
}

case "$action" in
tls)
  make_tls "$dir"
  ;;
start)
  mkdir -p "$dir/root"
  stop
  tls="${3:-}"
  if [ -z "$tls" ]; then
    tls="$dir/tls"
    make_tls "$tls"
  fi
  start_one http
  start_one https --tls-cert "$ca/server.crt" --tls-key "$ca/server.key"
  start_one untrusted --tls-cert "$ca/selfsigned.crt" --tls-key "$ca/selfsigned.key"
  start_one expired --tls-cert "$tls/expired.crt" --tls-key "$tls/expired.key"
  start_one wronghost --tls-cert "$tls/wronghost.crt" --tls-key "$tls/wronghost.key"
  for version in tls1_0 tls1_1 tls1_2 tls1_3; do start_tls_version "$version"; done
  # The silent peer gives up after 60 s, twice the longest time-out, so a
  # missing time-out fails a bound rather than hanging the suite.
  rm -f "$dir/silent.port" "$dir/unaccepted.port" "$dir/refused.port"
  python3 "$here/tools/silent_server.py" --port-file "$dir/silent.port" --give-up 60 \
    --unaccepted-port-file "$dir/unaccepted.port" --refused-port-file "$dir/refused.port" \
    --idle-exit 3600 >"$dir/silent.out" 2>"$dir/silent.err" &
  echo $! >"$dir/silent.pid"
  {
    echo "ROOT=$dir/root"
    echo "HTTP_PORT=$(wait_port http)"
    echo "HTTPS_PORT=$(wait_port https)"
    echo "UNTRUSTED_PORT=$(wait_port untrusted)"
    echo "EXPIRED_PORT=$(wait_port expired)"
    echo "WRONGHOST_PORT=$(wait_port wronghost)"
    for version in tls1_0 tls1_1 tls1_2 tls1_3; do echo "$(echo "$version" | tr a-z A-Z)_PORT=$(wait_port "$version")"; done
    echo "SILENT_PORT=$(wait_port silent)"
    echo "UNACCEPTED_PORT=$(wait_port unaccepted)"
    echo "REFUSED_PORT=$(wait_port refused)"
  } >"$dir/servers.env"
  cat "$dir/servers.env"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: servers.sh tls TLS | start DIR [TLS] | stop DIR"; exit 2 ;;
esac
