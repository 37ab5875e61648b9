#!/bin/sh
# Makes a throwaway certificate authority, limited to the loopback names (IP 127.0.0.1, DNS
# localhost), and a server certificate for them, so that devbackend can serve HTTPS on one machine
# (the client downloads updates over https only).
#
#   make-dev-cert.sh DIR
#
# Writes into DIR: ca.pem (trust this one), server.pem and server-key.pem (give these to devbackend
# as --tls-cert and --tls-key), ca-key.pem. Everything is valid for 30 days; never use it elsewhere.
set -eu

if [ $# -ne 1 ] || [ -z "$1" ]; then
    echo "usage: $0 DIR" >&2
    exit 2
fi
command -v openssl >/dev/null 2>&1 || { echo "$0: the openssl command is needed" >&2; exit 1; }

dir=$1
# Owner-only from the first byte: the folder is made, or narrowed, before any key is written.
umask 077
mkdir -p "$dir"
chmod 700 "$dir"
work=$(mktemp -d "${TMPDIR:-/tmp}/make-dev-cert.XXXXXX")
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
    -subj "/CN=Zumvari development CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -addext "nameConstraints=critical,permitted;IP:127.0.0.1/255.255.255.255,permitted;DNS:localhost" \
    -keyout "$dir/ca-key.pem" -out "$dir/ca.pem" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }

openssl req -newkey rsa:2048 -nodes -sha256 \
    -subj "/CN=127.0.0.1" \
    -keyout "$dir/server-key.pem" -out "$work/server.csr" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }

cat >"$work/server.ext" <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT

openssl x509 -req -sha256 -days 30 -in "$work/server.csr" \
    -CA "$dir/ca.pem" -CAkey "$dir/ca-key.pem" -set_serial "0x$(openssl rand -hex 16)" \
    -extfile "$work/server.ext" -out "$dir/server.pem" 2>"$work/log" || { cat "$work/log" >&2; exit 1; }

chmod 644 "$dir/ca.pem" "$dir/server.pem"
echo "CA certificate:     $dir/ca.pem"
echo "server certificate: $dir/server.pem"
echo "server key:         $dir/server-key.pem"
