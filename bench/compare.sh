#!/usr/bin/env bash
# Sends the same messages with the program's own transport (pelorin_send_bench, one
# conversation), with Python's smtplib (one connection) and with curl (one process per
# message) to servers on 127.0.0.1, and prints each tool's figures beside a reference tool's:
# - a private OpenSMTPD: 1, 100 and 1000 messages of 1 KiB (messages per second, median and
#   95th-percentile ms per message, ms until the first was accepted) and one message of 10 MiB
#   (ms from the start until the server has delivered it whole);
# - aiosmtpd with STARTTLS and sign-in: 100 messages of 1 KiB, and 20 conversations of one
#   message each, for the median time to the first accepted message (handshake and sign-in);
# - Postfix's smtp-sink (it announces PIPELINING): 1, 100 and 2000 messages of 1 KiB, ours in
#   plain HELO (lock-step) and with --extended (EHLO, pipelined when the session pipelines).
# Every round checks that each tool delivered every message and stops the run loudly
# otherwise. Each figure is the median of ROUNDS rounds (default 3), with the lowest and
# highest; the order of the tools turns from round to round, so that none always runs on a
# warmer server.
#
#   bench/compare.sh BUILD_DIR        (BUILD_DIR holds bench/pelorin_send_bench; run as root,
#                                      as tests/e2e/smtpd.sh needs)
#   CASES=REGEX bench/compare.sh ...  only the cases whose line below matches the regular
#                                      expression, e.g. CASES=10485760 (the 10 MiB message)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
readonly bench_name=compare.sh
# shellcheck source=bench/common.sh
source "$here/common.sh"
# shellcheck source=bench/mail_server.sh
source "$here/mail_server.sh"
# shellcheck source=bench/tls_server.sh
source "$here/tls_server.sh"
# shellcheck source=bench/smtp_sink.sh
source "$here/smtp_sink.sh"
readonly rounds=${ROUNDS:-3}
readonly delivery_timeout=120 # s, for the server to deliver what it accepted
# Between two runs on OpenSMTPD: its work on the last run does not end with the deliveries
# (it removes the envelopes, ends the sessions of curl's many connections), so the next tool
# starts on a server at rest rather than on whatever the one before left behind.
readonly settle_seconds=1
# SERVER COUNT SIZE REFERENCE TOOLS...: the ratios are each tool's figure over the reference's.
# COUNTxRUNS: RUNS conversations of COUNT messages each, in one run of the tool (for the
# one-conversation tools only).
readonly cases=(
  "opensmtpd 1 1024 smtplib pelorin smtplib curl"
  "opensmtpd 100 1024 smtplib pelorin smtplib curl"
  "opensmtpd 1000 1024 smtplib pelorin smtplib curl"
  "opensmtpd 1 10485760 curl pelorin smtplib curl"
  "aiosmtpd 100 1024 smtplib-starttls pelorin-starttls smtplib-starttls"
  "aiosmtpd 1x20 1024 smtplib-starttls pelorin-starttls smtplib-starttls"
  "smtp-sink 1 1024 smtplib pelorin pelorin-extended smtplib"
  "smtp-sink 100 1024 smtplib pelorin pelorin-extended smtplib"
  "smtp-sink 2000 1024 smtplib pelorin pelorin-extended smtplib"
)
readonly only=${CASES:-}
chosen_cases=()
for entry in "${cases[@]}"; do
  [[ -z $only || $entry =~ $only ]] && chosen_cases+=("$entry")
done
readonly chosen_cases
((${#chosen_cases[@]} > 0)) || fail "no case matches CASES='$only'"

[[ $# -eq 1 ]] || fail "usage: bench/compare.sh BUILD_DIR"
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build directory $1"
readonly build
readonly send_bench=$build/bench/pelorin_send_bench
[[ -x $send_bench ]] || fail "$send_bench is missing; build the target pelorin_send_bench"
require_tools curl smtpd unshare openssl apt-get dpkg

work=$(mktemp -d /tmp/pelorin-compare-XXXXXX)
running_tool=
cleanup() {
  [[ -n $running_tool ]] && kill "$running_tool" 2>/dev/null
  mail_server_stop "$work" || true
  tls_server_stop "$work/aiosmtpd" || true
  smtp_sink_stop || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The servers ---

mail_server_start "$work" || fail "OpenSMTPD did not start"
tls_certificates "$work/certificates" >/dev/null || fail "the test certificates were not made"
tls_server_start "$work/aiosmtpd" no || fail "the aiosmtpd server did not start"
smtp_sink_fetch "$build" || fail "smtp-sink could not be taken out of the postfix package"
smtp_sink_start "$work" || fail "smtp-sink did not start"

port_of() { # SERVER
  case $1 in
  opensmtpd) echo "$mail_port" ;;
  aiosmtpd) echo "$tls_port" ;;
  smtp-sink) echo "$sink_port" ;;
  esac
}

# What the server has taken so far; smtp-sink keeps no messages, only a count.
taken_count() { # SERVER
  case $1 in
  opensmtpd) delivered_count ;;
  aiosmtpd) tls_delivered_count "$work/aiosmtpd" ;;
  smtp-sink) echo $(($(sink_accepted) - sink_before)) ;;
  esac
}

clear_server() { # SERVER
  case $1 in
  opensmtpd) clear_maildir ;;
  aiosmtpd) tls_clear "$work/aiosmtpd" ;;
  smtp-sink) sink_before=$(sink_accepted) ;;
  esac
}

# Waits until the server has taken exactly `expected` messages; fails naming the tool.
check_delivered() { # SERVER TOOL EXPECTED
  local server=$1 tool=$2 expected=$3 count deadline=$((SECONDS + delivery_timeout))
  while count=$(taken_count "$server") && ((count < expected && SECONDS < deadline)); do
    sleep 0.05
  done
  sleep 0.2 # a message too many would show up now
  count=$(taken_count "$server")
  ((count == expected)) || fail "$tool: $server took $count of $expected messages"
}

# --- The tools: "msgs_per_sec median_ms p95_ms first_ms pipelined" ---

curl_send() { # FILE
  curl --silent --show-error --max-time "$tool_timeout" "smtp://127.0.0.1:$mail_port" \
    --mail-from "$sender" --mail-rcpt "$recipient" --upload-file "$1"
}

signing_in=(--security starttls --user "$tls_user" --password "$tls_password")

run_tool() { # TOOL PORT COUNT SIZE RUNS
  local tool=$1 port=$2 count=$3 size=$4 runs=(--runs "$5")
  case $tool in
  pelorin) run_send_bench "$port" "$count" "$size" "${runs[@]}" ;;
  pelorin-extended) run_send_bench "$port" "$count" "$size" "${runs[@]}" --extended ;;
  pelorin-starttls) run_send_bench "$port" "$count" "$size" "${runs[@]}" "${signing_in[@]}" ;;
  smtplib) run_smtplib "$port" "$count" "$size" "${runs[@]}" ;;
  smtplib-starttls) run_smtplib "$port" "$count" "$size" "${runs[@]}" "${signing_in[@]}" ;;
  curl)
    (($5 == 1)) || fail "curl takes one process per message, not several conversations"
    run_each_message curl "$work/messages-$size" "$count" curl_send
    ;;
  *) fail "no tool $tool" ;;
  esac
}

# The 10 MiB message: ms from the tool's start until OpenSMTPD has delivered it whole, i.e.
# its file is in maildir/new (the server moves it there complete) with at least the size of
# the message as a maildir stores it.
time_to_delivery() { # TOOL WHOLE_SIZE COMMAND...
  local tool=$1 whole=$2 start files size=0 deadline=$((SECONDS + delivery_timeout))
  shift 2
  start=$(microseconds)
  "$@" >"$work/tool.log" 2>&1 &
  running_tool=$!
  while :; do
    files=("$mail_dir"/new/*)
    if [[ -e ${files[0]} ]]; then
      size=$(stat -c %s "${files[0]}")
      ((size >= whole)) && break
    fi
    if ((SECONDS >= deadline)); then
      kill "$running_tool" 2>/dev/null
      fail "$tool: no whole message delivered (file size $size of $whole)"
    fi
    sleep 0.005
  done
  local delivered
  delivered=$(microseconds)
  wait "$running_tool" || fail "$tool failed: $(cat "$work/tool.log")"
  running_tool=
  echo $(((delivered - start) / 1000))
}

run_large() { # TOOL SIZE
  local message=$work/messages-$2/message-0.eml whole
  whole=$(tr -d '\r' <"$message" | wc -c)
  case $1 in
  pelorin) time_to_delivery "$1" "$whole" timeout "$tool_timeout" "$send_bench" \
    --host 127.0.0.1 --port "$mail_port" --messages 1 --size "$2" ;;
  smtplib) time_to_delivery "$1" "$whole" timeout "$tool_timeout" "$python" \
    "$here/smtplib_send.py" --host 127.0.0.1 --port "$mail_port" --messages 1 --size "$2" ;;
  curl) time_to_delivery "$1" "$whole" curl_send "$message" ;;
  esac
}

is_large() { # COUNT SIZE
  (($1 == 1 && $2 > 1024 * 1024))
}

count_of() { echo "${1%x*}"; }
runs_of() { if [[ $1 == *x* ]]; then echo "${1#*x}"; else echo 1; fi; }

run_case() { # SERVER COUNT[xRUNS] SIZE TOOL
  local server=$1 count runs size=$3 tool=$4 key="$1 $2 $3|$4"
  count=$(count_of "$2")
  runs=$(runs_of "$2")
  clear_server "$server"
  local figures # taken apart from the call, so that a failure inside ends the run
  if is_large "$count" "$size"; then
    figures=$(run_large "$tool" "$size")
    record "$key" delivered_ms -- "$figures"
  else
    figures=$(run_tool "$tool" "$(port_of "$server")" "$count" "$size" "$runs")
    # shellcheck disable=SC2086 # five figures, split on purpose
    record "$key" msgs_per_sec median_ms p95_ms first_ms pipelined -- $figures
  fi
  check_delivered "$server" "$tool" $((count * runs))
  [[ $server != opensmtpd ]] || sleep "$settle_seconds"
}

# --- The table ---

server_name() {
  case $1 in
  opensmtpd) echo "OpenSMTPD" ;;
  aiosmtpd) echo "aiosmtpd, STARTTLS and AUTH" ;;
  smtp-sink) echo "smtp-sink" ;;
  esac
}

# "median [low-high]" of a figure of a tool in a case.
shown() { # KEY FIGURE
  local values=${results["$1|$2"]}
  echo "$(median "$values") [$(spread "$values")]"
}

print_case() { # SERVER COUNT SIZE REFERENCE TOOLS...
  local server=$1 count=$2 size=$3 reference=$4 tool key reference_key
  shift 4
  local conversations=
  (($(runs_of "$count") == 1)) || conversations=" in each of $(runs_of "$count") conversations"
  printf '\n%s, %s x %s%s; ratio = tool / %s\n' "$(server_name "$server")" \
    "$(count_of "$count")" "$(size_name "$size")" "$conversations" "$reference"
  reference_key="$server $count $size|$reference"
  if is_large "$(count_of "$count")" "$size"; then
    printf '%-18s %-24s %6s\n' tool delivered_ms ratio
    for tool in "$@"; do
      key="$server $count $size|$tool"
      printf '%-18s %-24s %6s\n' "$tool" "$(shown "$key" delivered_ms)" \
        "$(ratio "$(median "${results["$key|delivered_ms"]}")" \
          "$(median "${results["$reference_key|delivered_ms"]}")")"
    done
    return
  fi
  printf '%-18s %-24s %6s %-18s %-20s %-22s %6s %s\n' tool msgs_per_sec ratio median_ms \
    p95_ms first_ms ratio pipelined
  for tool in "$@"; do
    key="$server $count $size|$tool"
    printf '%-18s %-24s %6s %-18s %-20s %-22s %6s %s\n' "$tool" \
      "$(shown "$key" msgs_per_sec)" \
      "$(ratio "$(median "${results["$key|msgs_per_sec"]}")" \
        "$(median "${results["$reference_key|msgs_per_sec"]}")")" \
      "$(shown "$key" median_ms)" "$(shown "$key" p95_ms)" "$(shown "$key" first_ms)" \
      "$(ratio "$(median "${results["$key|first_ms"]}")" \
        "$(median "${results["$reference_key|first_ms"]}")")" \
      "$(agreed "${results["$key|pipelined"]}")"
  done
}

print_table() {
  printf '\nServers on 127.0.0.1; median [lowest-highest] of %d rounds\n' "$rounds"
  printf '(msgs_per_sec: a ratio above 1 is faster; ms: a ratio below 1 is faster)\n'
  local entry
  for entry in "${chosen_cases[@]}"; do
    # shellcheck disable=SC2086 # the case's words
    print_case $entry
  done
}

for entry in "${chosen_cases[@]}"; do
  read -r server count size reference tools <<<"$entry"
  read -r -a tools <<<"$tools"
  write_messages "$work/messages-$size" "$(count_of "$count")" "$size"
  for ((round = 0; round < rounds; round++)); do
    for ((t = 0; t < ${#tools[@]}; t++)); do
      tool=${tools[(t + round) % ${#tools[@]}]}
      echo "$(server_name "$server"), $count x $(size_name "$size"), round $((round + 1)): $tool" >&2
      run_case "$server" "$count" "$size" "$tool"
    done
  done
done
print_table
