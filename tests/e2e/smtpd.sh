#!/usr/bin/env bash
# Starts or stops a private OpenSMTPD on 127.0.0.1 that delivers every message to a maildir.
#   smtpd.sh start DIR PORT   writes DIR/smtpd.conf, starts the server, waits for the port
#   smtpd.sh stop DIR         stops the server started for DIR
set -euo pipefail
command=${1:?start or stop}
dir=${2:?working directory}

fail() { echo "smtpd.sh: $*" >&2; exit 1; }

start() {
  local port=${1:?port}
  command -v smtpd >/dev/null || fail "OpenSMTPD (smtpd) is not installed; run scripts/install-deps.sh --test"
  id pelorinmail >/dev/null 2>&1 || fail "the account pelorinmail is missing; run scripts/install-deps.sh --test"
  stop  # a server left over from an interrupted run would hold the port
  rm -rf "$dir" && mkdir -p "$dir/maildir"
  chown pelorinmail "$dir/maildir"
  chmod 755 "$dir"
  setpriv --reuid=pelorinmail --regid=pelorinmail --clear-groups test -w "$dir/maildir" ||
    fail "the account pelorinmail cannot write to $dir/maildir: every directory above it must be open to it"
  # OpenSMTPD will not deliver to root: every recipient goes to the unprivileged account.
  printf '@ pelorinmail\n' >"$dir/vusers"
  # OpenSMTPD takes at most 100 messages in one session by default; the benchmarks send 1000.
  cat >"$dir/smtpd.conf" <<CONF
smtp limit max-mails 100000
table vusers file:$dir/vusers
listen on 127.0.0.1 port $port
action "store" maildir "$dir/maildir" virtual <vusers>
match from any for rcpt-to "refused@example.org" reject
match from any for any action "store"
CONF
  # Every OpenSMTPD keeps its queue in /var/spool/smtpd and its control socket in /run, and
  # two servers sharing them would deliver each other's mail or refuse to start: this one
  # gets both of its own in a private mount namespace. The server also looks up each client's
  # name, asking DNS before /etc/hosts, and a lost answer holds the greeting back 5 s: in the
  # namespace it reads /etc/hosts first, and asks no DNS server that could answer.
  mkdir -p "$dir/spool" "$dir/run" && chmod 711 "$dir/spool"
  # Where the private spool is mounted; the package leaves it to the system's server to create.
  mkdir -p /var/spool/smtpd
  printf 'lookup file bind\nnameserver 127.0.0.1\n' >"$dir/resolv.conf"
  # resolv.conf goes first: it may be a link into /run.
  unshare --mount --propagation private sh -c \
    'if [ -e /etc/resolv.conf ]; then mount --bind "$1/resolv.conf" /etc/resolv.conf; fi &&
     mount --bind "$1/spool" /var/spool/smtpd && mount --bind "$1/run" /run &&
     exec smtpd -d -f "$1/smtpd.conf"' \
    sh "$dir" >"$dir/smtpd.log" 2>&1 &
  echo $! >"$dir/smtpd.pid"
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    kill -0 "$(cat "$dir/smtpd.pid")" 2>/dev/null || fail "smtpd ended at start: $(cat "$dir/smtpd.log")"
    sleep 0.1
  done
  fail "smtpd did not listen on port $port within 10 s: $(cat "$dir/smtpd.log")"
}

stop() {
  [[ -f "$dir/smtpd.pid" ]] || return 0
  local pid
  pid=$(cat "$dir/smtpd.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  rm -f "$dir/smtpd.pid"
}

case "$command" in
  start) start "${3:-}" ;;
  stop) stop ;;
  *) fail "unknown command $command" ;;
esac
