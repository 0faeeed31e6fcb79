#!/bin/sh
# Create throw-away TLS material for tools/mirror_server.py.
#
#   make_test_ca.sh [--trust] OUTDIR
#       OUTDIR/ca.crt, ca.key          test CA (reused if already there)
#       OUTDIR/server.crt, server.key  server certificate (CN 127.0.0.1; SAN
#                                      IP:127.0.0.1, DNS:127.0.0.1, DNS:localhost)
#                                      signed by the CA (reissued if missing,
#                                      not issued by this CA, or expiring
#                                      within a day)
#       --trust: also install ca.crt as
#                $CA_STORE_DIR/mirror-server-test-ca.crt
#                (default /usr/local/share/ca-certificates) and run
#                update-ca-certificates; does nothing if that exact file is
#                already installed.  Wine's WinHTTP then accepts
#                https://127.0.0.1:PORT served with server.crt.
#
#   make_test_ca.sh --untrusted OUTDIR
#       OUTDIR/selfsigned.crt, selfsigned.key   self-signed certificate for
#                                      the same names, trusted by nobody
#
#   make_test_ca.sh --untrust
#       remove the CA installed by --trust (update-ca-certificates --fresh)
#
# Safe to run several times at once on one OUTDIR (a lock file OUTDIR/.lock).
#
# Environment: CA_STORE_DIR and UPDATE_CA_CERTIFICATES (the command to run)
# override the system defaults, e.g. for testing the --trust path.
set -eu

usage() {
    sed -n '2,/^set -eu/p' "$0" | sed '$d' | sed 's/^# \{0,1\}//'
}

trust=0
untrusted=0
untrust=0
outdir=
while [ $# -gt 0 ]; do
    case $1 in
        --trust) trust=1 ;;
        --untrusted) untrusted=1 ;;
        --untrust) untrust=1 ;;
        -h|--help) usage; exit 0 ;;
        -*) echo "make_test_ca.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
        *)
            if [ -n "$outdir" ]; then
                echo "make_test_ca.sh: only one OUTDIR" >&2; exit 2
            fi
            outdir=$1 ;;
    esac
    shift
done
store=${CA_STORE_DIR:-/usr/local/share/ca-certificates}
update=${UPDATE_CA_CERTIFICATES:-update-ca-certificates}
dest="$store/mirror-server-test-ca.crt"
if [ "$untrust" = 1 ]; then
    if [ -f "$dest" ]; then
        rm -f "$dest"
        $update --fresh >/dev/null
        echo "removed $dest and ran $update --fresh"
    else
        echo "not installed: $dest"
    fi
    exit 0
fi
if [ -z "$outdir" ]; then
    usage >&2
    exit 2
fi
if [ "$trust" = 1 ] && [ "$untrusted" = 1 ]; then
    echo "make_test_ca.sh: --trust and --untrusted exclude each other" >&2
    exit 2
fi
command -v openssl >/dev/null 2>&1 || { echo "make_test_ca.sh: openssl not found" >&2; exit 1; }

mkdir -p "$outdir"
# Fixtures that start at once (several test entries, several builds on one machine)
# share OUTDIR: one makes what is missing while the others wait, then reuse it.
exec 9>"$outdir/.lock"
flock 9
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

# Unique subject names: several test CAs with one name confuse chain building.
stamp="$(hostname 2>/dev/null || echo host) $(date -u +%Y%m%d%H%M%S) $$"
serial() { echo "0x$(openssl rand -hex 15)"; }

write_leaf_config() {  # $1 = file, $2 = organizational unit
    cat > "$1" <<EOF
[req]
distinguished_name = dn
prompt = no
x509_extensions = leaf
[dn]
CN = 127.0.0.1
OU = $2
O = mirror_server test
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
# DNS:127.0.0.1 too: Wine's crypt32 matches host names against DNS
# entries only, so an IP SAN alone fails with ERROR_WINHTTP_SECURE_CERT_CN_INVALID
subjectAltName = IP:127.0.0.1, DNS:127.0.0.1, DNS:localhost
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer
EOF
}

if [ "$untrusted" = 1 ]; then
    if [ -s "$outdir/selfsigned.crt" ] && [ -s "$outdir/selfsigned.key" ] &&
       openssl x509 -in "$outdir/selfsigned.crt" -noout -checkend 86400 >/dev/null 2>&1; then
        echo "reusing $outdir/selfsigned.crt"
        exit 0
    fi
    write_leaf_config "$tmp/self.cnf" "untrusted self-signed ($stamp)"
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 825 -set_serial "$(serial)" \
        -config "$tmp/self.cnf" -keyout "$tmp/selfsigned.key" -out "$tmp/selfsigned.crt" 2>/dev/null
    chmod 600 "$tmp/selfsigned.key"
    mv "$tmp/selfsigned.key" "$outdir/selfsigned.key"
    mv "$tmp/selfsigned.crt" "$outdir/selfsigned.crt"
    echo "wrote $outdir/selfsigned.crt $outdir/selfsigned.key"
    exit 0
fi

# -- CA -------------------------------------------------------------------------
if [ -s "$outdir/ca.crt" ] && [ -s "$outdir/ca.key" ]; then
    echo "reusing $outdir/ca.crt"
else
    cat > "$tmp/ca.cnf" <<EOF
[req]
distinguished_name = dn
prompt = no
x509_extensions = ca
[dn]
CN = mirror_server test CA ($stamp)
O = mirror_server test
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
EOF
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 -set_serial "$(serial)" \
        -config "$tmp/ca.cnf" -keyout "$tmp/ca.key" -out "$tmp/ca.crt" 2>/dev/null
    chmod 600 "$tmp/ca.key"
    mv "$tmp/ca.key" "$outdir/ca.key"
    mv "$tmp/ca.crt" "$outdir/ca.crt"
    rm -f "$outdir/server.crt"   # anything issued by an older CA is useless now
    echo "wrote $outdir/ca.crt $outdir/ca.key"
fi

# -- server certificate ------------------------------------------------------------
if [ -s "$outdir/server.crt" ] && [ -s "$outdir/server.key" ] &&
   openssl verify -CAfile "$outdir/ca.crt" "$outdir/server.crt" >/dev/null 2>&1 &&
   openssl x509 -in "$outdir/server.crt" -noout -checkend 86400 >/dev/null 2>&1; then
    echo "reusing $outdir/server.crt"
else
    write_leaf_config "$tmp/server.cnf" "server ($stamp)"
    openssl req -new -newkey rsa:2048 -nodes -sha256 -config "$tmp/server.cnf" \
        -keyout "$tmp/server.key" -out "$tmp/server.csr" 2>/dev/null
    openssl x509 -req -in "$tmp/server.csr" -CA "$outdir/ca.crt" -CAkey "$outdir/ca.key" \
        -set_serial "$(serial)" -days 825 -sha256 \
        -extfile "$tmp/server.cnf" -extensions leaf -out "$tmp/server.crt" 2>/dev/null
    chmod 600 "$tmp/server.key"
    mv "$tmp/server.key" "$outdir/server.key"
    mv "$tmp/server.crt" "$outdir/server.crt"
    echo "wrote $outdir/server.crt $outdir/server.key"
fi

# -- system trust store --------------------------------------------------------------
if [ "$trust" = 1 ]; then
    if [ -f "$dest" ] && cmp -s "$outdir/ca.crt" "$dest"; then
        echo "CA already trusted: $dest"
    else
        # replacing a different CA under the same name: plain
        # update-ca-certificates would keep the old subject-hash link
        fresh=
        [ -f "$dest" ] && fresh=--fresh
        mkdir -p "$store"
        cp "$outdir/ca.crt" "$dest.tmp"
        chmod 644 "$dest.tmp"
        mv "$dest.tmp" "$dest"
        $update $fresh >/dev/null
        echo "installed $dest and ran $update $fresh"
    fi
fi
