#!/usr/bin/env bash
# Makes the certificates of the HTTPS tests in DIR, fresh for every run: a CA (ca.pem), and
# two server certificates signed by it, one for 127.0.0.1 and localhost (server.pem,
# server.key) and one for another name (other.pem, other.key).
#   make_certs.sh DIR
set -euo pipefail
mkdir -p "$1"
cd "$1"
key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
openssl req -x509 "${key[@]}" -days 2 -subj /CN=tavrello-test-ca -keyout ca.key -out ca.pem \
  2>/dev/null
for certificate in server:IP:127.0.0.1,DNS:localhost other:DNS:other.example; do
  name=${certificate%%:*}
  openssl req "${key[@]}" -subj "/CN=$name" -keyout "$name.key" -out "$name.csr" 2>/dev/null
  openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
    -extfile <(printf 'subjectAltName=%s\n' "${certificate#*:}") -out "$name.pem" 2>/dev/null
done
