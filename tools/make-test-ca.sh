#!/usr/bin/env bash
# Makes a test certificate authority and a server certificate for 127.0.0.1 /
# localhost, and makes this machine (and so Wine) trust the authority.
set -euo pipefail
dir="$1"
mkdir -p "$dir"
# One trusted file per build tree, so build trees on one machine do not
# replace each other's authority.
tag="$(realpath -m "$dir" | sha256sum | cut -c1-12)"
trusted="/usr/local/share/ca-certificates/quenvar-test-ca-$tag.crt"
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
if [ ! -f "$dir/server.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/CN=quenvar test CA" \
    -keyout "$dir/ca.key" -out "$dir/ca.crt" >/dev/null 2>&1
  openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
    -keyout "$dir/server.key" -out "$dir/server.csr" >/dev/null 2>&1
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n' > "$dir/ext.cnf"
  openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.crt" -CAkey "$dir/ca.key" \
    -CAcreateserial -days 3650 -extfile "$dir/ext.cnf" -out "$dir/server.crt" >/dev/null 2>&1
  cat "$dir/server.crt" "$dir/server.key" > "$dir/server.pem"
fi
if ! cmp -s "$dir/ca.crt" "$trusted"; then
  as_root cp "$dir/ca.crt" "$trusted"
  as_root update-ca-certificates >/dev/null 2>&1
fi
