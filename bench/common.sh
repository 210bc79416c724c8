# shellcheck shell=bash
# What bench/compare.sh and bench/slow_link.sh share: running the senders, taking their
# figures, and the medians and spreads of the table. Sourced (bash); the script sets
# bench_name (for messages), send_bench (the path of pelorin_send_bench) and work (a temporary
# directory of its own).
#
# Every sender prints the figures of one run as "msgs_per_sec median_ms p95_ms first_ms
# pipelined": messages per second over the whole run, the median and 95th-percentile time per
# message (each from the acceptance of the one before), the time from the start until the first
# was accepted, and whether the conversation pipelined its commands (yes, no, or - for a
# sender that takes one process per message).

# shellcheck disable=SC2034 # for the scripts' own senders
readonly sender=me@example.com recipient=bench@example.org
readonly tool_timeout=300 # s, one tool's whole run
# The system's own Python: smtplib as the distribution ships it (and aiosmtpd beside it).
readonly python=/usr/bin/python3
bench_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly bench_dir

fail() {
  # shellcheck disable=SC2154 # set by the script
  echo "$bench_name: $*" >&2
  exit 1
}

require_tools() { # TOOL...
  local tool
  [[ -x $python ]] || fail "$python is not installed; run scripts/install-deps.sh --test"
  for tool in "$@"; do
    command -v "$tool" >/dev/null || fail "$tool is not installed; run scripts/install-deps.sh --test"
  done
}

microseconds() { echo "${EPOCHREALTIME/./}"; }

# The figures of a line as pelorin_send_bench and smtplib_send.py print it.
figures_of() { # TOOL OUTPUT
  local figures pipelined=no
  figures=$(sed -n 's/.*msgs_per_sec=\([0-9.]*\) median_ms=\([0-9.]*\) p95_ms=\([0-9.]*\) first_ms=\([0-9.]*\).*/\1 \2 \3 \4/p' <<<"$2")
  [[ -n $figures ]] || fail "$1 printed no figures: $2"
  grep -q '^pipelined: yes$' <<<"$2" && pipelined=yes
  echo "$figures $pipelined"
}

# pelorin_send_bench through one conversation; OPTIONS as it takes them (--security, ...).
run_send_bench() { # PORT COUNT SIZE OPTIONS...
  local port=$1 count=$2 size=$3 output
  shift 3
  # shellcheck disable=SC2154 # set by the script
  output=$(timeout "$tool_timeout" "$send_bench" --host 127.0.0.1 --port "$port" \
    --messages "$count" --size "$size" "$@" 2>&1) || fail "pelorin_send_bench failed: $output"
  figures_of pelorin_send_bench "$output"
}

# smtplib through one connection; OPTIONS as smtplib_send.py takes them.
run_smtplib() { # PORT COUNT SIZE OPTIONS...
  local port=$1 count=$2 size=$3 output
  shift 3
  output=$(timeout "$tool_timeout" "$python" "$bench_dir/smtplib_send.py" --host 127.0.0.1 \
    --port "$port" --messages "$count" --size "$size" "$@" 2>&1) ||
    fail "smtplib_send.py failed: $output"
  figures_of smtplib_send.py "$output"
}

# The messages the senders carry, as files DIR/message-I.eml, for the one-process tools.
write_messages() { # DIR COUNT SIZE
  "$python" "$bench_dir/smtplib_send.py" --write "$1" --messages "$2" --size "$3"
}

# One process per message: SEND_ONE FILE sends a message file and fails loudly. Each process
# is timed from its start to its end; the first one's time is first_ms.
run_each_message() { # TOOL MESSAGE_DIR COUNT SEND_ONE...
  local tool=$1 dir=$2 count=$3 i start before after times=()
  shift 3
  start=$(microseconds)
  for ((i = 0; i < count; i++)); do
    before=$(microseconds)
    "$@" "$dir/message-$i.eml" || fail "$tool failed on message $i"
    after=$(microseconds)
    times+=($((after - before)))
  done
  local total=$(($(microseconds) - start))
  printf '%s\n' "${times[@]}" | sort -n | awk -v count="$count" -v total="$total" \
    -v first="${times[0]}" '
    { ms[NR - 1] = $1 / 1000 }
    END {
      # nearest rank, rounded as pelorin_send_bench rounds it
      printf "%.1f %.3f %.3f %.3f -\n", count / (total / 1e6), ms[int(0.5 * (NR - 1) + 0.5)],
             ms[int(0.95 * (NR - 1) + 0.5)], first / 1000
    }'
}

# --- Results: "KEY|FIGURE" -> one value per round, separated by spaces ---

declare -A results

record() { # KEY FIGURE_NAMES... -- VALUES...
  local key=$1 names=() name
  shift
  while [[ $1 != -- ]]; do names+=("$1") && shift; done
  shift
  for name in "${names[@]}"; do
    results["$key|$name"]+="$1 "
    shift
  done
}

median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# "low-high" of the rounds, or the one value.
spread() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '
    { v[NR] = $1 } END { if (v[1] == v[NR]) print v[1]; else print v[1] "-" v[NR] }'
}

# Every round's word when they agree, else "mixed" (for yes and no).
agreed() {
  local words
  words=$(tr ' ' '\n' <<<"$1" | grep . | sort -u)
  if [[ $(wc -l <<<"$words") -eq 1 ]]; then echo "$words"; else echo mixed; fi
}

ratio() {
  awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'
}

size_name() { # SIZE
  if (($1 >= 1024 * 1024)); then echo "$(($1 / 1024 / 1024)) MiB"; else echo "$(($1 / 1024)) KiB"; fi
}
