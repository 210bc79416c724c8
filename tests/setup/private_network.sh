#!/usr/bin/env bash
# Runs a test in a network and mount namespace of its own (as root), where the test domains
# below exist: dnsmasq answers on 127.0.0.1:53, which /etc/resolv.conf names there, and an
# HTTPS server on 127.0.0.1:443 serves autoconfig files with a certificate from the test CA.
# The test finds that CA in PELORIN_TEST_CA.
#
#   private_network.sh MAKE_CERTS HTTPS_SERVER TEST [ARGUMENTS...]
set -euo pipefail

fail() {
  echo "private_network.sh: $*" >&2
  exit 1
}

[[ $# -ge 3 ]] || fail "usage: private_network.sh MAKE_CERTS HTTPS_SERVER TEST [ARGUMENTS...]"
for tool in dnsmasq python3 openssl unshare ip getent; do
  command -v "$tool" >/dev/null || fail "$tool is not installed; run scripts/install-deps.sh --test"
done
if [[ -z "${PELORIN_PRIVATE_NETWORK:-}" ]]; then
  ((EUID == 0)) || fail "needs root for its namespaces"
  exec env PELORIN_PRIVATE_NETWORK=1 unshare --net --mount --fork -- "$0" "$@"
fi

make_certs=$1 https_server=$2
shift 2
work=$(mktemp -d /tmp/pelorin-network-XXXXXX)
children=()
cleanup() {
  local pid
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  umount /etc/resolv.conf 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

ip link set lo up
bash "$make_certs" "$work/certs" || fail "the test certificates could not be made"
# The mounts stay in this namespace.
mount --make-rprivate /
echo "nameserver 127.0.0.1" >"$work/resolv.conf"
mount --bind "$work/resolv.conf" /etc/resolv.conf

# Each test domain shows one source: service records, an autoconfig host, the well-known
# file, a mail exchanger at Microsoft; untrusted.test serves its file with a certificate for
# another name. Any other name under .test does not exist.
dnsmasq --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --user=root \
  --listen-address=127.0.0.1 --bind-interfaces --port=53 --local=/test/ \
  --srv-host=_submissions._tcp.services.test,mail.services.test,465,10,0 \
  --srv-host=_submission._tcp.services.test,plain.services.test,587,0,0 \
  --srv-host=_submission._tcp.starttls.test,smtp.starttls.test,587,0,0 \
  --address=/autoconfig.host.test/127.0.0.1 --address=/wellknown.test/127.0.0.1 \
  --address=/autoconfig.untrusted.test/127.0.0.1 \
  --mx-host=exchanger.test,exchanger-test.mail.protection.outlook.com,10 \
  2>"$work/dnsmasq.log" &
children+=($!)
python3 "$https_server" "$work/certs/autoconfig.pem" "$work/certs/autoconfig.key" \
  2>"$work/https.log" &
children+=($!)

ready() {
  getent hosts autoconfig.host.test >/dev/null &&
    python3 -c 'import socket; socket.create_connection(("127.0.0.1", 443), 1)' 2>/dev/null
}
for _ in $(seq 1000); do
  ready && break
  for pid in "${children[@]}"; do
    kill -0 "$pid" 2>/dev/null || fail "a server ended: $(cat "$work"/*.log)"
  done
  sleep 0.01
done
ready || fail "the servers did not start: $(cat "$work"/*.log)"

PELORIN_TEST_CA=$work/certs/ca.pem "$@"
