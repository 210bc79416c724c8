#!/usr/bin/env bash
# Sends 100 messages of 1 KiB over a slow link (bench/slow_relay.py on 127.0.0.1: DELAY_MS each
# way, default 10, so a round trip of twice that) with the program's own transport
# (pelorin_send_bench, one conversation), Python's smtplib (one connection) and msmtp (one
# process per message, the way it runs), to:
# - a private OpenSMTPD in plain text (ours in HELO; OpenSMTPD 6.8 does not announce
#   PIPELINING, so every client goes in lock-step);
# - Postfix's smtp-sink in plain text (it announces PIPELINING): ours in HELO (lock-step) and
#   with --extended (EHLO, pipelined);
# - aiosmtpd with STARTTLS and sign-in: ours against one that does not announce PIPELINING
#   (lock-step) and one that does, the others against the one that does.
# Figures: messages per second, median ms per message, ms until the first was accepted, and
# round trips per message: the client's turns (the relay counts its chunks that start after
# one of the server's), in the steady state for the one-conversation tools (the turns of 100
# messages less those of 1, over 99), all of them over the messages for msmtp (each message a
# whole conversation). Each figure is the median of ROUNDS rounds (default 3), with the lowest
# and highest; every round checks that every message was delivered.
#
#   bench/slow_link.sh BUILD_DIR      (BUILD_DIR holds bench/pelorin_send_bench; run as root,
#                                      as tests/e2e/smtpd.sh needs)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
readonly bench_name=slow_link.sh
# shellcheck source=bench/common.sh
source "$here/common.sh"
# shellcheck source=bench/mail_server.sh
source "$here/mail_server.sh"
# shellcheck source=bench/tls_server.sh
source "$here/tls_server.sh"
# shellcheck source=bench/smtp_sink.sh
source "$here/smtp_sink.sh"
readonly rounds=${ROUNDS:-3}
readonly delay_ms=${DELAY_MS:-10}
readonly message_count=100 message_size=1024
readonly wait_seconds=60 # for deliveries and the relay's count
readonly settle_seconds=1
# TOOL@SERVER: the servers are opensmtpd, smtp-sink, aiosmtpd (announces PIPELINING) and
# aiosmtpd-lockstep (does not); the first of each group that is not ours is the reference.
readonly groups=(
  "pelorin@opensmtpd smtplib@opensmtpd msmtp@opensmtpd"
  "pelorin@smtp-sink pelorin-extended@smtp-sink smtplib@smtp-sink msmtp@smtp-sink"
  "pelorin-starttls@aiosmtpd-lockstep pelorin-starttls@aiosmtpd smtplib-starttls@aiosmtpd msmtp-starttls@aiosmtpd"
)

[[ $# -eq 1 ]] || fail "usage: bench/slow_link.sh BUILD_DIR"
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build directory $1"
readonly send_bench=$build/bench/pelorin_send_bench
[[ -x $send_bench ]] || fail "$send_bench is missing; build the target pelorin_send_bench"
require_tools msmtp smtpd unshare openssl apt-get dpkg

work=$(mktemp -d /tmp/pelorin-slow-link-XXXXXX)
relays=()
cleanup() {
  local pid
  for pid in "${relays[@]}"; do kill "$pid" 2>/dev/null || true; done
  mail_server_stop "$work" || true
  tls_server_stop "$work/aiosmtpd" || true
  tls_server_stop "$work/aiosmtpd-lockstep" || true
  smtp_sink_stop || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The servers, each behind a relay of its own ---

declare -A relay_port # SERVER -> the port of its relay

start_relay() { # SERVER TARGET_PORT
  local output=$work/relay-$1.port tries
  "$python" "$here/slow_relay.py" --target-port "$2" --delay-ms "$delay_ms" \
    --stats "$work/relay-$1.stats" >"$output" 2>"$work/relay-$1.log" &
  relays+=($!)
  for ((tries = 0; tries < 1000; tries++)); do
    relay_port[$1]=$(head -n 1 "$output" 2>/dev/null) || true
    [[ -z ${relay_port[$1]} ]] || return 0
    sleep 0.01
  done
  fail "the relay to $1 did not start: $(cat "$work/relay-$1.log")"
}

mail_server_start "$work" || fail "OpenSMTPD did not start"
start_relay opensmtpd "$mail_port"
smtp_sink_fetch "$build" || fail "smtp-sink could not be taken out of the postfix package"
smtp_sink_start "$work" || fail "smtp-sink did not start"
start_relay smtp-sink "$sink_port"
tls_certificates "$work/certificates" >/dev/null || fail "the test certificates were not made"
tls_server_start "$work/aiosmtpd" yes || fail "the aiosmtpd server did not start"
start_relay aiosmtpd "$tls_port"
tls_server_start "$work/aiosmtpd-lockstep" no || fail "the aiosmtpd server did not start"
start_relay aiosmtpd-lockstep "$tls_port"
write_messages "$work/messages" "$message_count" "$message_size"

taken_count() { # SERVER
  case $1 in
  opensmtpd) delivered_count ;;
  smtp-sink) echo $(($(sink_accepted) - sink_before)) ;;
  *) tls_delivered_count "$work/$1" ;;
  esac
}

clear_server() { # SERVER
  case $1 in
  opensmtpd) clear_maildir ;;
  smtp-sink) sink_before=$(sink_accepted) ;;
  *) tls_clear "$work/$1" ;;
  esac
  : >"$work/relay-$1.stats"
}

wait_until() { # MESSAGE COMMAND...
  local message=$1 deadline=$((SECONDS + wait_seconds))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || fail "$message"
    sleep 0.05
  done
}

has_taken() { (($(taken_count "$1") >= $2)); }

relay_connections() { wc -l <"$work/relay-$1.stats"; }
has_connections() { (($(relay_connections "$1") >= $2)); }

# Checks that the server took exactly EXPECTED messages and the relay saw CONNECTIONS end;
# prints the client's turns over all of them.
finish_run() { # SERVER TOOL EXPECTED CONNECTIONS
  wait_until "$2: $1 took $(taken_count "$1") of $3 messages" has_taken "$1" "$3"
  wait_until "$2: the relay saw $(relay_connections "$1") of $4 connections end" \
    has_connections "$1" "$4"
  sleep 0.2 # a message too many would show up now
  (($(taken_count "$1") == $3)) || fail "$2: $1 took $(taken_count "$1") of $3 messages"
  sed -n 's/^turns=\([0-9]*\) .*/\1/p' "$work/relay-$1.stats" | awk '{ n += $1 } END { print n }'
}

# --- The tools ---

signing_in=(--security starttls --user "$tls_user" --password "$tls_password")

# msmtp's configuration for a server behind its relay: the same envelope and message bytes as
# the others (no Date or Message-ID of its own), STARTTLS with the test CA and sign-in for
# aiosmtpd.
msmtp_configuration() { # SERVER
  local file=$work/msmtp-$1.conf
  {
    echo "account default"
    echo "host 127.0.0.1"
    echo "port ${relay_port[$1]}"
    echo "from $sender"
    echo "set_date_header off"
    echo "set_msgid_header off"
    if [[ $1 == opensmtpd || $1 == smtp-sink ]]; then
      echo "tls off"
      echo "auth off"
    else
      echo "tls on"
      echo "tls_starttls on"
      echo "tls_trust_file $SSL_CERT_FILE"
      echo "auth on"
      echo "user $tls_user"
      echo "password $tls_password"
    fi
  } >"$file"
  chmod 600 "$file" # msmtp will not read a password from a file others can read
  echo "$file"
}

msmtp_send() { # CONFIGURATION FILE
  msmtp -C "$1" "$recipient" <"$2"
}

run_tool() { # TOOL SERVER COUNT
  local tool=$1 port=${relay_port[$2]} messages=$3
  case $tool in
  pelorin) run_send_bench "$port" "$messages" "$message_size" ;;
  pelorin-extended) run_send_bench "$port" "$messages" "$message_size" --extended ;;
  pelorin-starttls) run_send_bench "$port" "$messages" "$message_size" "${signing_in[@]}" ;;
  smtplib) run_smtplib "$port" "$messages" "$message_size" ;;
  smtplib-starttls) run_smtplib "$port" "$messages" "$message_size" "${signing_in[@]}" ;;
  msmtp | msmtp-starttls)
    run_each_message msmtp "$work/messages" "$messages" msmtp_send "$(msmtp_configuration "$2")"
    ;;
  *) fail "no tool $tool" ;;
  esac
}

is_per_process() { [[ $1 == msmtp* ]]; }

# One round of one tool: 100 messages, and for a one-conversation tool 1 message, whose turns
# are the conversation's own (greeting, sign-in, QUIT) and come off the steady state.
run_entry() { # TOOL@SERVER
  local tool=${1%@*} server=${1#*@} figures turns turns_one round_trips
  clear_server "$server"
  figures=$(run_tool "$tool" "$server" "$message_count")
  if is_per_process "$tool"; then
    turns=$(finish_run "$server" "$tool" "$message_count" "$message_count")
    round_trips=$(awk -v t="$turns" -v n="$message_count" 'BEGIN { printf "%.2f", t / n }')
  else
    turns=$(finish_run "$server" "$tool" "$message_count" 1)
    sleep "$settle_seconds"
    clear_server "$server"
    run_tool "$tool" "$server" 1 >/dev/null
    turns_one=$(finish_run "$server" "$tool" 1 1)
    round_trips=$(awk -v t="$turns" -v o="$turns_one" -v n="$message_count" \
      'BEGIN { printf "%.2f", (t - o) / (n - 1) }')
  fi
  # shellcheck disable=SC2086 # five figures, split on purpose
  record "$1" msgs_per_sec median_ms p95_ms first_ms pipelined -- $figures
  record "$1" round_trips -- "$round_trips"
  sleep "$settle_seconds"
}

# --- The table ---

label() { # TOOL@SERVER
  case $1 in
  pelorin@*) echo "pelorin, HELO (lock-step)" ;;
  pelorin-extended@*) echo "pelorin --extended" ;;
  pelorin-starttls@aiosmtpd-lockstep) echo "pelorin, no PIPELINING offered" ;;
  pelorin-starttls@aiosmtpd) echo "pelorin, PIPELINING offered" ;;
  msmtp*) echo "${1%@*} (a process each)" ;;
  *) echo "${1%@*}" ;;
  esac
}

shown() { # KEY FIGURE
  local values=${results["$1|$2"]}
  echo "$(median "$values") [$(spread "$values")]"
}

print_group() { # ENTRIES...
  local entry reference=
  for entry in "$@"; do
    [[ -n $reference || $entry == pelorin* ]] || reference=$entry
  done
  local title
  case ${1#*@} in
  opensmtpd) title="OpenSMTPD, plain text" ;;
  smtp-sink) title="smtp-sink, plain text" ;;
  *) title="aiosmtpd, STARTTLS and AUTH" ;;
  esac
  printf '\n%s, through the relay; ratio = tool / %s\n' "$title" "${reference%@*}"
  printf '%-34s %-22s %6s %-20s %-20s %6s %-16s %s\n' tool msgs_per_sec ratio median_ms \
    first_ms ratio round_trips/msg pipelined
  for entry in "$@"; do
    printf '%-34s %-22s %6s %-20s %-20s %6s %-16s %s\n' "$(label "$entry")" \
      "$(shown "$entry" msgs_per_sec)" \
      "$(ratio "$(median "${results["$entry|msgs_per_sec"]}")" \
        "$(median "${results["$reference|msgs_per_sec"]}")")" \
      "$(shown "$entry" median_ms)" "$(shown "$entry" first_ms)" \
      "$(ratio "$(median "${results["$entry|first_ms"]}")" \
        "$(median "${results["$reference|first_ms"]}")")" \
      "$(shown "$entry" round_trips)" "$(agreed "${results["$entry|pipelined"]}")"
  done
}

for group in "${groups[@]}"; do
  read -r -a entries <<<"$group"
  for ((round = 0; round < rounds; round++)); do
    for ((t = 0; t < ${#entries[@]}; t++)); do
      entry=${entries[(t + round) % ${#entries[@]}]}
      echo "$(label "$entry") to ${entry#*@}, round $((round + 1))" >&2
      run_entry "$entry"
    done
  done
done

printf '\n%s ms each way (a round trip of %s ms more); %d x %s; median [lowest-highest] of %d rounds\n' \
  "$delay_ms" "$((2 * delay_ms))" "$message_count" "$(size_name "$message_size")" "$rounds"
printf '(msgs_per_sec: a ratio above 1 is faster; ms: a ratio below 1 is faster)\n'
for group in "${groups[@]}"; do
  # shellcheck disable=SC2086 # the group's entries
  print_group $group
done
