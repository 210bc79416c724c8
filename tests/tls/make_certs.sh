#!/usr/bin/env bash
# Makes the certificates the TLS tests need, in DIR:
#   ca.pem                      the test CA (the program trusts it through SSL_CERT_FILE)
#   good.pem / good.key         for localhost and 127.0.0.1, from the test CA
#   other.pem / other.key       for another name only, from the test CA
#   expired.pem / expired.key   for localhost and 127.0.0.1, from the test CA, expired in 2020
#   stranger.pem / stranger.key for localhost and 127.0.0.1, from a CA nobody trusts
#   autoconfig.pem / .key       for the test domains whose autoconfig files are served
set -euo pipefail
dir=${1:?directory}
command -v openssl >/dev/null || { echo "make_certs.sh: openssl is not installed" >&2; exit 1; }
mkdir -p "$dir" && cd "$dir"

make_ca() {  # name
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 3650 \
    -subj "/CN=Pelorin test $1" >/dev/null 2>&1
}

# A server certificate from a CA, with openssl ca so that its dates can be chosen.
make_server() {  # name ca san start end
  local name=$1 ca=$2 san=$3 start=$4 end=$5
  mkdir -p "db-$name" && : >"db-$name/index.txt" && echo 01 >"db-$name/serial"
  cat >"$name.cnf" <<CONF
[ca]
default_ca = test
[test]
database = db-$name/index.txt
serial = db-$name/serial
new_certs_dir = db-$name
default_md = sha256
policy = any
copy_extensions = copy
[any]
commonName = supplied
[req]
distinguished_name = dn
prompt = no
req_extensions = ext
[dn]
CN = $name
[ext]
subjectAltName = $san
CONF
  openssl req -new -newkey rsa:2048 -nodes -keyout "$name.key" -out "$name.csr" \
    -config "$name.cnf" >/dev/null 2>&1
  openssl ca -batch -config "$name.cnf" -cert "$ca.pem" -keyfile "$ca.key" -in "$name.csr" \
    -out "$name.pem" -startdate "$start" -enddate "$end" -notext >/dev/null 2>&1
}

make_ca ca
make_ca stranger-ca
make_server good ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20991231000000Z
make_server other ca "DNS:other.example" 20200101000000Z 20991231000000Z
make_server expired ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20200102000000Z
make_server autoconfig ca "DNS:autoconfig.host.test,DNS:wellknown.test" 20200101000000Z 20991231000000Z
make_server stranger stranger-ca "DNS:localhost,IP:127.0.0.1" 20200101000000Z 20991231000000Z
