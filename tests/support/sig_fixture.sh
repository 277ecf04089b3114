#!/usr/bin/env bash
# Makes the fixture of the signature and rollout tests with the openssl CLI,
# so that the program's Ed25519 and SHA-256 code is checked against values it
# did not compute itself.
#
#   sig_fixture.sh DIR
#
# DIR gets:
#   key.pem, pub.pem       an Ed25519 key pair (openssl genpkey)
#   seed.b64, pub.b64      the raw 32-byte private seed and public key, base64
#   doc.json               a document with CR LF line ends, a non-ASCII
#                          character and no final line feed
#   doc.catalog.sig,       openssl's signature of the header line followed by
#   doc.manifest.sig       the document, base64 in two lines with a final line
#                          feed, as the base64 tool writes it
#   bucket.txt             "guid TAB version TAB bucket" lines: the first four
#                          bytes of SHA-256("guid|version"), big-endian, mod 100
set -euo pipefail

dir=${1:?usage: sig_fixture.sh DIR}
rm -rf "$dir"
mkdir -p "$dir"
cd "$dir"

openssl genpkey -algorithm ed25519 -out key.pem
openssl pkey -in key.pem -pubout -out pub.pem
# The DER forms end with the raw key: PKCS#8 with the 32-byte seed, and
# SubjectPublicKeyInfo with the 32-byte public key.
openssl pkey -in key.pem -outform DER | tail -c 32 | base64 -w0 >seed.b64
openssl pkey -in key.pem -pubout -outform DER | tail -c 32 | base64 -w0 >pub.b64

printf '{"schema": 1,\r\n "title": "B\xc3\xa4ckup"}' >doc.json
for kind in catalog manifest; do
    { printf 'orv-update-%s-v1\n' "$kind"; cat doc.json; } >"msg.$kind"
    openssl pkeyutl -sign -rawin -inkey key.pem -in "msg.$kind" -out "sig.$kind.bin"
    base64 -w76 "sig.$kind.bin" >"doc.$kind.sig"
done

bucket() {
    local n
    n=$(printf '%s|%s' "$1" "$2" | openssl dgst -sha256 -binary | head -c 4 | od -An -tu4 --endian=big)
    printf '%s\t%s\t%d\n' "$1" "$2" $((n % 100))
}
{
    bucket "8d3f0e4c-52a7-4b1e-9c61-2f0a7d9e5b13" "2.1.0"
    bucket "8d3f0e4c-52a7-4b1e-9c61-2f0a7d9e5b13" "1.0.0-rc.1"
    bucket "unknown" "2.1.0"
} >bucket.txt
