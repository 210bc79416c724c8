#!/usr/bin/env bash
# Sends the same messages to a private OpenSMTPD on 127.0.0.1 with the program's own transport
# (pelorin_send_bench, one conversation), with Python's smtplib (one connection) and with curl
# (one process per message), and prints each figure beside ours with the ratio:
#   1, 100 and 1000 messages of 1 KiB: messages per second, median and 95th-percentile ms per
#   message; one message of 10 MiB: ms from the start until the server has delivered it whole.
# Every round checks that each tool delivered every message (maildir files) and stops the run
# loudly otherwise. Each figure is the median of ROUNDS rounds (default 3); the order of the
# tools turns from round to round, so that none always runs on a warmer server.
#
#   bench/compare.sh BUILD_DIR        (BUILD_DIR holds bench/pelorin_send_bench; run as root,
#                                      as tests/e2e/smtpd.sh needs)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source=bench/mail_server.sh
source "$here/mail_server.sh"
readonly rounds=${ROUNDS:-3}
readonly sender=me@example.com
readonly recipient=bench@example.org
readonly tool_timeout=300     # s, one tool's whole run
readonly delivery_timeout=120 # s, for the server to deliver what it accepted
readonly settle_seconds=1     # between two runs
readonly cases=("1 1024" "100 1024" "1000 1024" "1 10485760")
readonly tools=(pelorin smtplib curl)

fail() {
  echo "compare.sh: $*" >&2
  exit 1
}

[[ $# -eq 1 ]] || fail "usage: bench/compare.sh BUILD_DIR"
readonly send_bench=$1/bench/pelorin_send_bench
[[ -x $send_bench ]] || fail "$send_bench is missing; build the target pelorin_send_bench"
# The system's own Python: smtplib as the distribution ships it.
python=/usr/bin/python3
[[ -x $python ]] || python=$(command -v python3) || fail "python3 is not installed"
for tool in curl smtpd unshare; do
  command -v "$tool" >/dev/null || fail "$tool is not installed; run scripts/install-deps.sh --test"
done

work=$(mktemp -d /tmp/pelorin-compare-XXXXXX)
running_tool=
cleanup() {
  [[ -n $running_tool ]] && kill "$running_tool" 2>/dev/null
  mail_server_stop "$work" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- The server ---

mail_server_start "$work" || fail "the mail server did not start"
readonly port=$mail_port

# --- Deliveries ---

# Waits until the server has delivered exactly `expected` messages; fails naming the tool.
check_delivered() {
  local tool=$1 expected=$2 count deadline=$((SECONDS + delivery_timeout))
  while count=$(delivered_count) && ((count < expected && SECONDS < deadline)); do
    sleep 0.05
  done
  sleep 0.2 # a message too many would show up now
  count=$(delivered_count)
  ((count == expected)) || fail "$tool: the server delivered $count of $expected messages"
}

# --- One run of each tool: "msgs_per_sec median_ms p95_ms" ---

figures_of() { # TOOL OUTPUT: the figures of a line as pelorin_send_bench prints it
  local figures
  figures=$(sed -n 's/.*msgs_per_sec=\([0-9.]*\) median_ms=\([0-9.]*\) p95_ms=\([0-9.]*\).*/\1 \2 \3/p' <<<"$2")
  [[ -n $figures ]] || fail "$1 printed no figures: $2"
  echo "$figures"
}

run_pelorin() {
  local output
  output=$(timeout "$tool_timeout" "$send_bench" --host 127.0.0.1 --port "$port" \
    --messages "$1" --size "$2" 2>&1) || fail "pelorin_send_bench failed: $output"
  figures_of pelorin_send_bench "$output"
}

run_smtplib() {
  local output
  output=$(timeout "$tool_timeout" "$python" "$here/smtplib_send.py" --host 127.0.0.1 \
    --port "$port" --messages "$1" --size "$2" 2>&1) || fail "smtplib_send.py failed: $output"
  figures_of smtplib_send.py "$output"
}

curl_send() { # FILE
  curl --silent --show-error --max-time "$tool_timeout" "smtp://127.0.0.1:$port" \
    --mail-from "$sender" --mail-rcpt "$recipient" --upload-file "$1"
}

microseconds() { echo "${EPOCHREALTIME/./}"; }

# One curl process per message, each timed from its start to its end.
run_curl() {
  local count=$1 size=$2 i start before after times=()
  start=$(microseconds)
  for ((i = 0; i < count; i++)); do
    before=$(microseconds)
    curl_send "$work/messages-$size/message-$i.eml" || fail "curl failed on message $i"
    after=$(microseconds)
    times+=($((after - before)))
  done
  local total=$(($(microseconds) - start))
  printf '%s\n' "${times[@]}" | sort -n | awk -v count="$count" -v total="$total" '
    { ms[NR - 1] = $1 / 1000 }
    END {
      # nearest rank, rounded as pelorin_send_bench rounds it
      printf "%.1f %.3f %.3f\n", count / (total / 1e6),
             ms[int(0.5 * (NR - 1) + 0.5)], ms[int(0.95 * (NR - 1) + 0.5)]
    }'
}

# The 10 MiB message: ms from the tool's start until the server has delivered it whole, i.e.
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
    --host 127.0.0.1 --port "$port" --messages 1 --size "$2" ;;
  smtplib) time_to_delivery "$1" "$whole" timeout "$tool_timeout" "$python" \
    "$here/smtplib_send.py" --host 127.0.0.1 --port "$port" --messages 1 --size "$2" ;;
  curl) time_to_delivery "$1" "$whole" curl_send "$message" ;;
  esac
}

# --- Rounds and the table ---

declare -A results # "COUNT SIZE|TOOL|FIGURE" -> one value per round

record() { # KEY_PREFIX FIGURE_NAMES... -- VALUES...
  local prefix=$1 names=() name
  shift
  while [[ $1 != -- ]]; do names+=("$1") && shift; done
  shift
  for name in "${names[@]}"; do
    results["$prefix|$name"]+="$1 "
    shift
  done
}

run_case() { # COUNT SIZE TOOL
  local count=$1 size=$2 tool=$3
  clear_maildir
  local figures # taken apart from the call, so that a failure inside ends the run
  if ((count == 1 && size > 1024 * 1024)); then
    figures=$(run_large "$tool" "$size")
    record "$count $size|$tool" delivered_ms -- "$figures"
  else
    figures=$("run_$tool" "$count" "$size")
    # shellcheck disable=SC2086 # three figures, split on purpose
    record "$count $size|$tool" msgs_per_sec median_ms p95_ms -- $figures
  fi
  check_delivered "$tool" "$count"
  # The server's work on the last run does not end with the deliveries (it removes the
  # envelopes, ends the sessions of curl's many connections): the next tool starts on a
  # server at rest rather than on whatever the one before left behind.
  sleep "$settle_seconds"
}

median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

case_name() {
  local count=$1 size=$2
  if ((size >= 1024 * 1024)); then echo "$count x $((size / 1024 / 1024)) MiB"; else
    echo "$count x $((size / 1024)) KiB"
  fi
}

print_table() {
  printf '\nOpenSMTPD on 127.0.0.1; median of %d rounds; ratio = ours / other\n' "$rounds"
  printf '(msgs_per_sec: a ratio above 1 is ours faster; ms: a ratio below 1 is ours faster)\n\n'
  printf '%-14s %-13s %10s %10s %6s %10s %6s\n' case figure pelorin smtplib ratio curl ratio
  local entry figure ours smtplib curl
  for entry in "${cases[@]}"; do
    for figure in msgs_per_sec median_ms p95_ms delivered_ms; do
      [[ -n ${results["$entry|pelorin|$figure"]:-} ]] || continue
      ours=$(median "${results["$entry|pelorin|$figure"]}")
      smtplib=$(median "${results["$entry|smtplib|$figure"]}")
      curl=$(median "${results["$entry|curl|$figure"]}")
      # shellcheck disable=SC2086 # COUNT SIZE
      printf '%-14s %-13s %10s %10s %6s %10s %6s\n' "$(case_name $entry)" "$figure" "$ours" \
        "$smtplib" "$(ratio "$ours" "$smtplib")" "$curl" "$(ratio "$ours" "$curl")"
    done
  done
}

for entry in "${cases[@]}"; do
  read -r count size <<<"$entry"
  "$python" "$here/smtplib_send.py" --write "$work/messages-$size" --messages "$count" \
    --size "$size"
  for ((round = 0; round < rounds; round++)); do
    for ((t = 0; t < ${#tools[@]}; t++)); do
      tool=${tools[(t + round) % ${#tools[@]}]}
      echo "$(case_name "$count" "$size"), round $((round + 1)): $tool" >&2
      run_case "$count" "$size" "$tool"
    done
  done
done
print_table
