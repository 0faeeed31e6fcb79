#!/bin/sh
# Starts and stops proxies to install through, all Debian's squid on 127.0.0.1,
# each with a configuration, an access log and a free port of its own:
#   squid_proxies.sh start DIR  in DIR/open a proxy that lets every request
#                               through, in DIR/basic one that answers 407 until a
#                               request brings Basic credentials of DIR/htpasswd
#                               (basic_ncsa_auth), in DIR/ntlm one that wants NTLM,
#                               checked by Samba's ntlm_auth against a winbindd of
#                               its own with one local account (no domain
#                               controller); and a port where no proxy listens,
#                               held bound (never listening) so that no other
#                               server can take it: a connection is refused.
#                               Every proxy resolves the test names (PROXY_NAMES)
#                               to 127.0.0.1 from a hosts file of its own, and
#                               nothing else knows them: a request for such a name
#                               that does not go through a proxy fails. Writes
#                               DIR/proxy.env.
#   squid_proxies.sh stop DIR   stop them
# The NTLM proxy needs root (winbindd, and a mount namespace in which the winbind
# client finds that winbindd's socket at the place it looks in); without it,
# proxy.env says why in NTLM_UNAVAILABLE.
set -eu
action="$1"
dir="$2"
SQUID=/usr/sbin/squid
NAMES="cdn.example.test mirror2.example.test mirror3.example.test manifest.example.test pac.example.test"
BASIC_USER=tolvek-basic
BASIC_PASSWORD=basic-secret-1
# A Samba account must be a Unix account: the one every Debian machine has.
NTLM_USER=nobody
NTLM_PASSWORD=ntlm-secret-1
NTLM_DOMAIN=TOLVEKPROXY
# Where the winbind client library looks for winbindd, whatever the configuration says.
WINBIND_CLIENT_DIR=/run/samba/winbindd

stop() {
  # winbindd starts samba-dcerpcd for the account database; it stays unless stopped.
  for pidfile in "$dir"/*/squid.pid "$dir"/ntlm/samba/run/*.pid "$dir"/dead/holder.pid; do
    [ -f "$pidfile" ] || continue
    kill "$(cat "$pidfile")" 2>/dev/null || true
  done
  # squid removes its pid file (and its shared memory) once it has stopped.
  i=0
  while ls "$dir"/*/squid.pid >/dev/null 2>&1 && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
  rm -f "$dir"/*/squid.pid "$dir"/ntlm/samba/run/*.pid "$dir"/dead/holder.pid
}

# A port that refuses every connection for as long as the proxies run: a socket bound
# to it and never listening. A port that was merely free when chosen could be taken
# by a test server later, which would then answer as the "dead" proxy.
hold_dead_port() {
  mkdir -p "$dir/dead"
  rm -f "$dir/dead/port"
  python3 -c '
import os, signal, socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
with open(sys.argv[1] + ".new", "w") as out:
    out.write(str(s.getsockname()[1]))
os.rename(sys.argv[1] + ".new", sys.argv[1])
signal.pause()
' "$dir/dead/port" </dev/null >/dev/null 2>&1 &
  echo $! >"$dir/dead/holder.pid"
  i=0
  until [ -s "$dir/dead/port" ]; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "the dead port was not held"; exit 1; fi
    sleep 0.1
  done
}

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# The configuration of one proxy: name, port, then the lines of its authentication.
write_config() {
  name="$1"; port="$2"; shift 2
  mkdir -p "$dir/$name"
  rm -f "$dir/$name/access.log" "$dir/$name/cache.log"
  {
    echo "http_port 127.0.0.1:$port"
    echo "visible_hostname tolvek-test-proxy"
    echo "pid_filename $dir/$name/squid.pid"
    echo "access_log stdio:$dir/$name/access.log"
    echo "cache_log $dir/$name/cache.log"
    echo "cache_store_log none"
    echo "coredump_dir $dir/$name"
    echo "netdb_filename none"
    echo "pinger_enable off"
    echo "logfile_rotate 0"
    echo "cache deny all"
    echo "strip_query_terms off"
    echo "cache_mem 4 MB"
    echo "hosts_file $dir/hosts"
    echo "shutdown_lifetime 0 seconds"
    for line in "$@"; do echo "$line"; done
  } >"$dir/$name/squid.conf"
  # Started as root, squid runs as its own user, which writes the logs.
  if [ "$(id -u)" = 0 ]; then chown -R proxy "$dir/$name"; fi
}

# Starts squid for one configuration; an optional command runs it (a namespace).
start_squid() {
  name="$1"; port="$2"; shift 2
  # -n: shared memory segments are named after the service, one per proxy.
  "$@" "$SQUID" -n "tolvek$port" -f "$dir/$name/squid.conf" -N \
    </dev/null >"$dir/$name/squid.out" 2>&1 &
}

# A connection to see whether it listens would be in its access log: its own log says so.
wait_port() {  # name
  i=0
  until grep -q "Accepting HTTP Socket connections" "$dir/$1/cache.log" 2>/dev/null; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "proxy $1 did not start"; cat "$dir/$1/squid.out" "$dir/$1/cache.log" 2>/dev/null; exit 1; fi
    sleep 0.1
  done
}

# Why NTLM cannot be set up here; empty when it can.
ntlm_missing() {
  if [ "$(id -u)" != 0 ]; then echo "needs root (winbindd and a mount namespace)"; return; fi
  for tool in winbindd smbpasswd ntlm_auth unshare; do
    command -v "$tool" >/dev/null 2>&1 || { echo "$tool is not installed"; return; }
  done
}

# A winbindd that knows one account of a local Samba database, as a standalone
# server does: ntlm_auth checks NTLM answers against it.
start_winbindd() {
  samba="$dir/ntlm/samba"
  rm -rf "$samba"
  mkdir -p "$samba/private" "$samba/lock" "$samba/state" "$samba/cache" "$samba/run" "$samba/socket" "$samba/rpc"
  cat >"$samba/smb.conf" <<EOF
[global]
  workgroup = TOLVEKTEST
  netbios name = $NTLM_DOMAIN
  server role = standalone server
  passdb backend = tdbsam:$samba/private/passdb.tdb
  private dir = $samba/private
  lock directory = $samba/lock
  state directory = $samba/state
  cache directory = $samba/cache
  pid directory = $samba/run
  winbindd socket directory = $samba/socket
  ncalrpc dir = $samba/rpc
  log file = $samba/log.%m
EOF
  printf '%s\n%s\n' "$NTLM_PASSWORD" "$NTLM_PASSWORD" | smbpasswd -c "$samba/smb.conf" -s -a "$NTLM_USER" >/dev/null 2>&1
  # squid's helpers run as squid's user: the privileged socket's folder is theirs to enter.
  mkdir -m 0750 "$samba/state/winbindd_privileged"
  chgrp proxy "$samba/state/winbindd_privileged"
  winbindd -s "$samba/smb.conf" -F --no-process-group </dev/null >"$samba/winbindd.out" 2>&1 &
  i=0
  until [ -S "$samba/socket/pipe" ] && [ -S "$samba/state/winbindd_privileged/pipe" ]; do
    i=$((i + 1))
    if [ $i -gt 100 ]; then echo "winbindd did not start"; cat "$samba/winbindd.out"; exit 1; fi
    sleep 0.1
  done
  mkdir -p "$WINBIND_CLIENT_DIR"
}

case "$action" in
start)
  mkdir -p "$dir"
  stop
  # squid reads this file instead of /etc/hosts.
  echo "127.0.0.1 localhost $NAMES" >"$dir/hosts"
  htpasswd -bc "$dir/htpasswd" "$BASIC_USER" "$BASIC_PASSWORD" 2>/dev/null
  chmod 0644 "$dir/htpasswd"
  open_port=$(free_port)
  write_config open "$open_port" "http_access allow localhost" "http_access deny all"
  start_squid open "$open_port"
  basic_port=$(free_port)
  write_config basic "$basic_port" \
    "auth_param basic program /usr/lib/squid/basic_ncsa_auth $dir/htpasswd" \
    "auth_param basic realm tolvek test proxy" \
    "acl signed_in proxy_auth REQUIRED" "http_access allow signed_in" "http_access deny all"
  start_squid basic "$basic_port"
  hold_dead_port
  ntlm_port=""
  ntlm_unavailable=$(ntlm_missing)
  if [ -z "$ntlm_unavailable" ]; then
    ntlm_port=$(free_port)
    write_config ntlm "$ntlm_port" \
      "auth_param ntlm program /usr/bin/ntlm_auth --configfile=$dir/ntlm/samba/smb.conf --helper-protocol=squid-2.5-ntlmssp" \
      "auth_param ntlm children 2" \
      "acl signed_in proxy_auth REQUIRED" "http_access allow signed_in" "http_access deny all"
    start_winbindd
    # In a mount namespace of its own, squid's ntlm_auth finds this winbindd.
    start_squid ntlm "$ntlm_port" unshare -m sh -c "mount --bind '$dir/ntlm/samba/socket' $WINBIND_CLIENT_DIR && exec \"\$0\" \"\$@\""
  fi
  wait_port open
  wait_port basic
  [ -z "$ntlm_port" ] || wait_port ntlm
  {
    echo "PROXY_NAMES=\"$NAMES\""
    echo "PROXY_PORT=$open_port"
    echo "PROXY_LOG=$dir/open/access.log"
    echo "BASIC_PROXY_PORT=$basic_port"
    echo "BASIC_PROXY_LOG=$dir/basic/access.log"
    echo "BASIC_USER=$BASIC_USER"
    echo "BASIC_PASSWORD=$BASIC_PASSWORD"
    echo "NTLM_PROXY_PORT=$ntlm_port"
    echo "NTLM_PROXY_LOG=${ntlm_port:+$dir/ntlm/access.log}"
    echo "NTLM_USER=$NTLM_USER"
    echo "NTLM_PASSWORD=$NTLM_PASSWORD"
    echo "NTLM_DOMAIN=$NTLM_DOMAIN"
    echo "NTLM_UNAVAILABLE=\"$ntlm_unavailable\""
    echo "DEAD_PROXY_PORT=$(cat "$dir/dead/port")"
  } >"$dir/proxy.env"
  cat "$dir/proxy.env"
  ;;
stop)
  stop
  ;;
*)
  echo "usage: squid_proxies.sh start DIR | stop DIR"; exit 2 ;;
esac
