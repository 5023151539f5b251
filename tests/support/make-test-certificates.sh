#!/bin/sh
# Makes the certificates of one test run in folder $1 (test-only keys, never
# kept): an authority the programs are told to trust and servers for
# 127.0.0.1 around it.
#   ca.crt            the trusted authority (VARVEX_API_CA_FILE)
#   server.crt/.key   signed by it, for 127.0.0.1 and localhost
#   wronghost.crt/.key  signed by it, for another host name only
#   expired.crt/.key  signed by it, expired a day ago
#   mitm-ca.crt       another authority, as a man in the middle would bring
#   mitm.crt/.key     signed by that one, for 127.0.0.1
#   expired-ca.crt    an authority that expired a day ago
# Quiet unless openssl fails.
set -e
dir=$1
cd "$dir"
newkey="-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
{
  printf 'basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n' >ca.ext
  for ca in ca mitm-ca; do
    openssl req -x509 $newkey -keyout $ca.key -out $ca.crt -subj "/CN=Varvex test $ca" -days 2 \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  done
  server() { # name, issuer, days, alt names
    printf 'basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\nkeyUsage=critical,digitalSignature\nsubjectAltName=%s\n' "$4" >$1.ext
    openssl req -new $newkey -keyout $1.key -out $1.csr -subj "/CN=$1"
    openssl x509 -req -in $1.csr -CA $2.crt -CAkey $2.key -CAcreateserial -days $3 -extfile $1.ext -out $1.crt
  }
  server server ca 2 "IP:127.0.0.1,DNS:localhost"
  server wronghost ca 2 "DNS:api.varvex.invalid"
  server expired ca -1 "IP:127.0.0.1,DNS:localhost"
  server mitm mitm-ca 2 "IP:127.0.0.1,DNS:localhost"
  openssl req -new $newkey -keyout expired-ca.key -out expired-ca.csr -subj "/CN=Varvex expired test CA"
  openssl x509 -req -in expired-ca.csr -signkey expired-ca.key -days -1 -extfile ca.ext -out expired-ca.crt
} >openssl.log 2>&1 || { cat openssl.log >&2; exit 1; }
