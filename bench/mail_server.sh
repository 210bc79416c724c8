# shellcheck shell=bash
# The benchmarks' private OpenSMTPD on 127.0.0.1, started with tests/e2e/smtpd.sh and
# delivering to a maildir. Sourced by bench/compare.sh and bench/memory.sh (bash).
#
#   mail_server_start DIR   starts it on a free port; sets mail_port and mail_dir (the maildir)
#   mail_server_stop DIR
#   delivered_count         messages delivered so far
#   clear_maildir

mail_server_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

mail_server_free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# smtpd.sh starts the server for the handful of messages a test sends. For measuring, a wrapper
# found first on PATH, which smtpd.sh runs inside the server's private mount namespace, changes
# three things before it starts the real server:
# - OpenSMTPD takes at most 100 messages in one session unless told otherwise: the limit is
#   raised for the 1000-message conversation;
# - every OpenSMTPD listens on the one control socket /var/run/smtpd.sock, so a second server
#   (a test suite's) would not start beside it: this one gets a /run of its own;
# - the server looks up each client's name, asking DNS before /etc/hosts, and a lost answer
#   holds the greeting back for 5 s: it reads /etc/hosts first, and DNS is nowhere.
mail_server_wrapper() { # DIR
  local real
  real=$(command -v smtpd) || return 1
  mkdir -p "$1/bin"
  cat >"$1/bin/smtpd" <<WRAPPER
#!/bin/sh
# Called by smtpd.sh as: smtpd -d -f CONFIG
set -e
config=\$3
private=\$(dirname "\$config")
{ echo 'smtp limit max-mails 100000'; cat "\$config"; } >"\$config.bench"
mkdir -p "\$private/run"
mount --bind "\$private/run" /run
printf 'lookup file bind\\nnameserver 127.0.0.1\\n' >"\$private/resolv.conf"
mount --bind "\$private/resolv.conf" /etc/resolv.conf
exec "$real" "\$1" "\$2" "\$config.bench"
WRAPPER
  chmod 755 "$1/bin/smtpd"
}

mail_server_start() { # DIR
  command -v smtpd >/dev/null || {
    echo "OpenSMTPD (smtpd) is not installed; run scripts/install-deps.sh --test" >&2
    return 1
  }
  chmod 755 "$1" # the mail account must reach the maildir inside
  mail_server_wrapper "$1" || return 1
  mail_port=$(mail_server_free_port) || return 1
  PATH="$1/bin:$PATH" "$mail_server_repo/tests/e2e/smtpd.sh" start "$1/smtpd" "$mail_port" ||
    return 1
  mail_dir=$1/smtpd/maildir
}

mail_server_stop() { # DIR
  "$mail_server_repo/tests/e2e/smtpd.sh" stop "$1/smtpd"
}

delivered_count() {
  local files=("$mail_dir"/new/*)
  if [[ -e ${files[0]} ]]; then echo "${#files[@]}"; else echo 0; fi
}

clear_maildir() {
  rm -f "$mail_dir"/new/*
}
