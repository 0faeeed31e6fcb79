#!/bin/sh
# Server certificates that a client must refuse although the test CA signed them:
#   make_bad_certs.sh CA_DIR OUT_DIR
#     OUT_DIR/expired.crt, expired.key      names 127.0.0.1 like the good server
#                                           certificate, valid only in January 2020
#     OUT_DIR/wronghost.crt, wronghost.key  currently valid, but names only
#                                           wrong-host.invalid (no 127.0.0.1 anywhere)
# CA_DIR holds ca.crt and ca.key (tools/make_test_ca.sh). Both certificates are
# issued anew on every call, so they always chain to the CA trusted right now.
set -eu
ca="$1"
out="$2"
command -v openssl >/dev/null 2>&1 || { echo "make_bad_certs.sh: openssl not found" >&2; exit 1; }
mkdir -p "$out"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT INT TERM

leaf_config() {  # file, common name, subjectAltName
    cat > "$1" <<EOF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = $2
O = mirror_server test
[leaf]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $3
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid,issuer
EOF
}

# `openssl ca` is the one command of OpenSSL 3.0 that takes explicit dates.
touch "$tmp/index.txt"
echo "$(openssl rand -hex 15)" > "$tmp/serial"
cat > "$tmp/ca.cnf" <<EOF
[ca]
default_ca = test
[test]
database = $tmp/index.txt
new_certs_dir = $tmp
serial = $tmp/serial
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
EOF

issue() {  # name, common name, subjectAltName, date options...
    name="$1"; cn="$2"; san="$3"; shift 3
    leaf_config "$tmp/$name.cnf" "$cn" "$san"
    openssl req -new -newkey rsa:2048 -nodes -config "$tmp/$name.cnf" \
        -keyout "$tmp/$name.key" -out "$tmp/$name.csr" 2>/dev/null
    openssl ca -batch -notext -config "$tmp/ca.cnf" -cert "$ca/ca.crt" -keyfile "$ca/ca.key" \
        -in "$tmp/$name.csr" -extfile "$tmp/$name.cnf" -extensions leaf \
        -out "$tmp/$name.crt" "$@" 2>/dev/null
    chmod 600 "$tmp/$name.key"
    mv "$tmp/$name.key" "$out/$name.key"
    mv "$tmp/$name.crt" "$out/$name.crt"
}

issue expired 127.0.0.1 "IP:127.0.0.1, DNS:127.0.0.1, DNS:localhost" \
    -startdate 20200101000000Z -enddate 20200201000000Z
issue wronghost wrong-host.invalid "DNS:wrong-host.invalid" -days 30
echo "wrote $out/expired.crt $out/wronghost.crt"
