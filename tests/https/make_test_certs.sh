#!/usr/bin/env bash
# Makes the certificates for the HTTPS tests and the main job with the openssl command-line tool:
#
#   ca.pem ca.der                  the test CA, which the tests make trusted in their Wine prefix
#   localhost.pem localhost.key    issued by the test CA for DNS:localhost
#   other-host.pem other-host.key  issued by the test CA for another host name only
#   rogue-ca.pem                   a second CA that nothing trusts
#   rogue.pem rogue.key            issued by the rogue CA for DNS:localhost
#
# Usage: make_test_certs.sh <output folder>. Every run makes fresh keys; the folder is replaced as a whole,
# so a half-written set is never left behind.
set -euo pipefail
out="$1"
tmp="$out.tmp.$$"
rm -rf "$tmp"
mkdir -p "$tmp"
trap 'rm -rf "$tmp"' EXIT
days=3650

new_key() { # <file>
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null
}

new_ca() { # <name> <common name>
  new_key "$tmp/$1.key"
  openssl req -x509 -new -key "$tmp/$1.key" -sha256 -days "$days" -subj "/CN=$2" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -out "$tmp/$1.pem"
}

new_server() { # <name> <issuer> <dns name>
  new_key "$tmp/$1.key"
  openssl req -new -key "$tmp/$1.key" -subj "/CN=$3" -out "$tmp/$1.csr"
  printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature,keyEncipherment" \
    "extendedKeyUsage=serverAuth" "subjectAltName=DNS:$3" >"$tmp/$1.ext"
  openssl x509 -req -in "$tmp/$1.csr" -CA "$tmp/$2.pem" -CAkey "$tmp/$2.key" -CAcreateserial -sha256 \
    -days "$days" -extfile "$tmp/$1.ext" -out "$tmp/$1.pem" 2>/dev/null
  rm -f "$tmp/$1.csr" "$tmp/$1.ext"
}

new_ca ca "VESK test CA"
new_ca rogue-ca "VESK untrusted test CA"
new_server localhost ca localhost
new_server other-host ca updates.vesk-test.invalid
new_server rogue rogue-ca localhost
openssl x509 -in "$tmp/ca.pem" -outform DER -out "$tmp/ca.der"
# The CA keys are dropped: a prefix that trusts the test CA can never meet another certificate issued by it.
rm -f "$tmp/ca.key" "$tmp/rogue-ca.key" "$tmp"/*.srl

rm -rf "$out"
mv "$tmp" "$out"
trap - EXIT
