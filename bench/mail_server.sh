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

mail_server_start() { # DIR
  command -v smtpd >/dev/null || {
    echo "OpenSMTPD (smtpd) is not installed; run scripts/install-deps.sh --test" >&2
    return 1
  }
  chmod 755 "$1" # the mail account must reach the maildir inside
  mail_port=$(mail_server_free_port) || return 1
  "$mail_server_repo/tests/e2e/smtpd.sh" start "$1/smtpd" "$mail_port" ||
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
