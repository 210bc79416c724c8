# shellcheck shell=bash
# The benchmarks' aiosmtpd with STARTTLS and sign-in on 127.0.0.1: the TLS tests' server
# (tests/tls/tls_smtp_server.py) with a certificate from their test CA (tests/tls/make_certs.sh),
# which the clients trust through SSL_CERT_FILE. Sourced by bench/compare.sh and
# bench/slow_link.sh (bash); needs /usr/bin/python3 with python3-aiosmtpd.
#
#   tls_certificates DIR              makes the certificates in DIR; exports SSL_CERT_FILE
#   tls_server_start DIR PIPELINING   starts a server that keeps its messages in DIR/out and
#                                     announces PIPELINING or not (yes, no); sets tls_port
#   tls_server_stop DIR
#   tls_delivered_count DIR           messages it has stored
#   tls_clear DIR
#   tls_user, tls_password            the only sign-in it takes

tls_repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly tls_python=/usr/bin/python3
readonly tls_user=bench tls_password=bench-secret
declare -A tls_input # DIR -> the descriptor of the server's input; closing it ends the server
declare -A tls_pid   # DIR -> the server's process

tls_certificates() { # DIR
  bash "$tls_repo/tests/tls/make_certs.sh" "$1" || return 1
  tls_certificate_dir=$1
  export SSL_CERT_FILE=$1/ca.pem
  unset SSL_CERT_DIR
}

tls_server_start() { # DIR PIPELINING
  local dir=$1 announce=0
  [[ $2 == yes ]] && announce=1
  "$tls_python" -c 'import aiosmtpd' 2>/dev/null || {
    echo "tls_server.sh: $tls_python has no aiosmtpd; run scripts/install-deps.sh --test" >&2
    return 1
  }
  mkdir -p "$dir/out" && mkfifo "$dir/input" || return 1
  ANNOUNCE_PIPELINING=$announce "$tls_python" "$tls_repo/tests/tls/tls_smtp_server.py" real \
    starttls "$tls_certificate_dir/good.pem" "$tls_certificate_dir/good.key" "$dir/out" \
    "$tls_user" "$tls_password" <"$dir/input" >"$dir/port" 2>"$dir/server.log" &
  tls_pid[$dir]=$!
  local fd
  exec {fd}>"$dir/input"
  tls_input[$dir]=$fd
  local tries
  for ((tries = 0; tries < 2000; tries++)); do
    tls_port=$(head -n 1 "$dir/port" 2>/dev/null) || true
    [[ -n $tls_port ]] && return 0
    kill -0 "${tls_pid[$dir]}" 2>/dev/null || break
    sleep 0.01
  done
  echo "tls_server.sh: the aiosmtpd server did not start: $(cat "$dir/server.log")" >&2
  return 1
}

tls_server_stop() { # DIR
  local dir=$1
  [[ -n ${tls_input[$dir]:-} ]] || return 0
  local input=${tls_input[$dir]}
  exec {input}>&-
  unset "tls_input[$dir]"
  local tries
  for ((tries = 0; tries < 500; tries++)); do
    kill -0 "${tls_pid[$dir]}" 2>/dev/null || break
    sleep 0.01
  done
  kill "${tls_pid[$dir]}" 2>/dev/null
  wait "${tls_pid[$dir]}" 2>/dev/null
  unset "tls_pid[$dir]"
}

tls_delivered_count() { # DIR
  local files=("$1"/out/*.eml)
  if [[ -e ${files[0]} ]]; then echo "${#files[@]}"; else echo 0; fi
}

tls_clear() { # DIR
  rm -f "$1"/out/*.eml
}
