#!/usr/bin/env bash
# The program's resident memory and start-up time in tray mode, beside a minimal Qt Widgets
# program with a tray icon (pelorin_minimal_tray), on a desktop of its own (Xvfb with trayer):
# - start-up: from starting the process until its icon is in the notification area;
# - resident memory (VmRSS) once started, after the program has trimmed its working set;
# - the program's resident memory after its window was shown and one mail sent, then after
#   each further 25 of 100 sends (Send pressed with xdotool, each to a private OpenSMTPD on
#   127.0.0.1, the next one pressed once the server has delivered the last).
# - idle cost in the tray (queued mail tried again by itself on, as by default, nothing
#   queued): wake-ups per minute over IDLE_SECONDS (default 60) from /proc/PID/task/*/schedstat,
#   and VmRSS at its end.
# Start-up and memory at start are the median of ROUNDS starts of each (default 3).
#
#   bench/memory.sh BUILD_DIR   (BUILD_DIR holds program/pelorin32 with skelmar32.ico and
#                                bench/pelorin_minimal_tray; run as root, as
#                                tests/e2e/smtpd.sh needs)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source=bench/mail_server.sh
source "$here/mail_server.sh"
readonly rounds=${ROUNDS:-3}
readonly sends=100
readonly idle_seconds=${IDLE_SECONDS:-60}
readonly settle_seconds=2 # after the icon shows, for the last start-up work to finish
readonly wait_seconds=30  # for a desktop, a window or a delivery
readonly recipient=bench@example.org
# Client positions in the window "Pelorin 32" (the middle of the e-mail and subject fields and
# of Send).
readonly email_field=(209 37)
readonly subject_field=(209 61)
readonly send_button=(100 318)

fail() {
  echo "memory.sh: $*" >&2
  exit 1
}

[[ $# -eq 1 ]] || fail "usage: bench/memory.sh BUILD_DIR"
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build directory $1"
readonly program=$build/program/pelorin32 icon=$build/program/skelmar32.ico
readonly tls_module=$build/program/libpelorin32-tls.so
readonly minimal=$build/bench/pelorin_minimal_tray
for file in "$program" "$icon" "$tls_module" "$minimal"; do
  [[ -e $file ]] || fail "$file is missing; build the targets pelorin32 and pelorin_minimal_tray"
done
for tool in Xvfb trayer xdotool xwininfo smtpd python3 unshare; do
  command -v "$tool" >/dev/null || fail "$tool is not installed; run scripts/install-deps.sh --test"
done

work=$(mktemp -d /tmp/pelorin-memory-XXXXXX)
children=() # every process started here, ended at exit
cleanup() {
  local pid
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  mail_server_stop "$work" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

microseconds() { echo "${EPOCHREALTIME/./}"; }

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# The part of it that is the process's own (heap, stacks), not pages of mapped files.
anon_kib() { awk '/^RssAnon:/ { print $2 }' "/proc/$1/status"; }

# Polls COMMAND until it succeeds; fails with MESSAGE after wait_seconds.
wait_for() { # MESSAGE COMMAND...
  local message=$1 deadline=$((SECONDS + wait_seconds))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || fail "$message"
    sleep 0.01
  done
}

# --- The desktop ---

start_desktop() {
  mkfifo "$work/display"
  # -noreset: a server that resets when its last client leaves drops the connections being
  # opened meanwhile, such as trayer's while the tools below look for its panel.
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
  children+=($!)
  local number
  # Xvfb writes its display number once it takes connections.
  read -r -t "$wait_seconds" number <"$work/display" || fail "Xvfb did not start: $(cat "$work/xvfb.log")"
  export DISPLAY=:$number
  mkdir -m 700 "$work/runtime" "$work/home"
  # Qt on X11 with the X display's notification area: with a session bus Qt would look for a
  # tray there instead, and with no address at all the bus library may start one.
  export XDG_RUNTIME_DIR=$work/runtime DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-session-bus
  export QT_QPA_PLATFORM=xcb HOME=$work/home
  export PELORIN_HKCU=$work/hkcu.reg PELORIN_HKLM=$work/hklm.reg
  unset QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE WAYLAND_DISPLAY XDG_CONFIG_HOME XDG_DATA_HOME
  trayer --edge top --align left --widthtype request --height 24 --transparent false \
    >"$work/trayer.log" 2>&1 &
  local trayer=$!
  children+=("$trayer")
  local deadline=$((SECONDS + wait_seconds))
  until tray_panel_of "$trayer"; do
    # Its output is read only now: it need not exist while trayer is starting.
    ((SECONDS < deadline)) || fail "trayer showed no notification area: $(cat "$work/trayer.log")"
    sleep 0.01
  done
}

tray_panel_of() { # PID
  panel=$(xdotool search --onlyvisible --pid "$1" 2>/dev/null | head -n 1)
  [[ -n $panel ]]
}

# The process's window inside the notification area, in $icon_window.
icon_in_tray() { # PID
  local descendants window
  descendants=$(xwininfo -id "$panel" -tree 2>/dev/null) || return 1
  for window in $(xdotool search --pid "$1" 2>/dev/null); do
    icon_window=$window
    grep -q "^ *$(printf '0x%x' "$window") " <<<"$descendants" && return 0
  done
  return 1
}

# --- Start-up and memory at start ---

# Starts COMMAND in the background; sets $started (its pid) and $startup_ms (until its icon is
# in the notification area), and after settle_seconds $start_rss.
start_in_tray() { # LOG COMMAND...
  local log=$1 start
  shift
  start=$(microseconds)
  "$@" >"$log" 2>&1 &
  started=$!
  children+=("$started")
  local deadline=$((SECONDS + wait_seconds))
  until icon_in_tray "$started"; do
    kill -0 "$started" 2>/dev/null || fail "$1 ended at start: $(cat "$log")"
    ((SECONDS < deadline)) || fail "no icon of $1 in the notification area: $(cat "$log")"
  done
  startup_ms=$((($(microseconds) - start) / 1000))
  sleep "$settle_seconds"
  start_rss=$(rss_kib "$started")
  start_anon=$(anon_kib "$started")
}

stop() { # PID
  kill "$1" 2>/dev/null || true
  wait "$1" 2>/dev/null || true
}

# A program directory as installed: the program, its icon and a configuration that sends to
# the local server without dialling.
prepare_program_directory() {
  mkdir "$work/program"
  cp "$program" "$icon" "$tls_module" "$work/program/"
  printf '127.0.0.1:%s\r\nme@example.com\r\n\r\nFALSE\r\n' "$mail_port" \
    >"$work/program/tessaly32.cfg"
}

declare -A results # "FIGURE|PROGRAM" -> one value per round

measure_starts() {
  local round
  for ((round = 1; round <= rounds; round++)); do
    echo "start-up, round $round" >&2
    start_in_tray "$work/minimal.log" "$minimal" "$icon"
    results["startup_ms|minimal"]+="$startup_ms "
    results["rss_kib|minimal"]+="$start_rss "
    results["anon_kib|minimal"]+="$start_anon "
    stop "$started"
    start_in_tray "$work/pelorin.log" "$work/program/pelorin32"
    results["startup_ms|pelorin"]+="$startup_ms "
    results["rss_kib|pelorin"]+="$start_rss "
    results["anon_kib|pelorin"]+="$start_anon "
    ((round == rounds)) || stop "$started"
  done
}

# --- Idle ---

# How often the process's threads have been put on a CPU so far: the third field of
# schedstat counts the times a thread ran, each after a wake-up or a preemption.
runs_of() { # PID
  awk '{ n += $3 } END { print n }' /proc/"$1"/task/*/schedstat
}

# Sets $idle_wakeups (per minute) and $idle_rss for the process PID, left alone meanwhile.
measure_idle_of() { # PID
  local before after
  before=$(runs_of "$1")
  sleep "$idle_seconds"
  after=$(runs_of "$1")
  idle_wakeups=$(awk -v n=$((after - before)) -v s="$idle_seconds" 'BEGIN { printf "%.1f", n * 60 / s }')
  idle_rss=$(rss_kib "$1")
}

measure_idle() {
  echo "idle, ${idle_seconds} s each" >&2
  start_in_tray "$work/minimal.log" "$minimal" "$icon"
  measure_idle_of "$started"
  results["idle_wakeups|minimal"]=$idle_wakeups
  results["idle_rss|minimal"]=$idle_rss
  stop "$started"
  start_in_tray "$work/pelorin.log" "$work/program/pelorin32"
  measure_idle_of "$started"
  results["idle_wakeups|pelorin"]=$idle_wakeups
  results["idle_rss|pelorin"]=$idle_rss
  stop "$started"
}

# --- Sends ---

main_window_of() { # PID
  main_window=$(xdotool search --onlyvisible --pid "$1" --name '^Pelorin 32$' 2>/dev/null |
    head -n 1)
  [[ -n $main_window ]]
}

click() { # WINDOW X Y
  xdotool mousemove --window "$1" "$2" "$3" click 1
}

has_delivered() { (($(delivered_count) >= $1)); }

show_window_from_tray() { # PID
  icon_in_tray "$1" || fail "the program's icon has gone from the notification area"
  click "$icon_window" 11 11
  wait_for "the window did not come up from the tray" main_window_of "$1"
  sleep 0.5 # mapped; let it draw before it is clicked
}

send_and_wait() { # PID COUNT_AFTER
  kill -0 "$1" 2>/dev/null || fail "the program ended: $(cat "$work/pelorin.log")"
  # A message with neither subject nor body is not sent, and a send empties the subject.
  click "$main_window" "${subject_field[@]}"
  xdotool type --delay 20 "bench $2"
  click "$main_window" "${send_button[@]}"
  wait_for "send $2: the server has delivered only $(delivered_count) messages" has_delivered "$2"
}

# The program after the conversation has ended and it has trimmed its working set.
settled_rss() { # PID
  sleep "$settle_seconds"
  rss_kib "$1"
}

measure_sends() { # PID
  local pid=$1 i
  echo "sends" >&2
  show_window_from_tray "$pid"
  click "$main_window" "${email_field[@]}"
  xdotool type --delay 20 "$recipient"
  send_and_wait "$pid" 1
  sends_rss=("$(settled_rss "$pid")")
  for ((i = 1; i <= sends; i++)); do
    send_and_wait "$pid" $((i + 1))
    if ((i % 25 == 0)); then sends_rss+=("$(settled_rss "$pid")"); fi
  done
  (($(delivered_count) == sends + 1)) || fail "the server delivered $(delivered_count) messages"
}

# --- The table ---

median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b == 0) print "-"; else printf "%.2f", a / b }'; }

row() { # LABEL OURS THEIRS
  printf '%-40s %12s %12s %6s\n' "$1" "$2" "$3" "$(ratio "$2" "$3")"
}

row_mib() { # LABEL OURS_KIB THEIRS_KIB
  printf '%-40s %12s %12s %6s\n' "$1" "$(mib "$2")" "$(mib "$3")" "$(ratio "$2" "$3")"
}

print_table() {
  printf '\nXvfb with trayer; start-up and memory at start: median of %d starts\n\n' "$rounds"
  printf '%-40s %12s %12s %6s\n' "figure" "pelorin32" "minimal" "ratio"
  row "start until icon in tray (ms)" "$(median "${results["startup_ms|pelorin"]}")" \
    "$(median "${results["startup_ms|minimal"]}")"
  row_mib "VmRSS in tray after start (MiB)" "$(median "${results["rss_kib|pelorin"]}")" \
    "$(median "${results["rss_kib|minimal"]}")"
  row_mib "  of which RssAnon (MiB)" "$(median "${results["anon_kib|pelorin"]}")" \
    "$(median "${results["anon_kib|minimal"]}")"
  row "wake-ups per minute, idle in tray" "${results["idle_wakeups|pelorin"]}" \
    "${results["idle_wakeups|minimal"]}"
  row_mib "VmRSS after idling (MiB)" "${results["idle_rss|pelorin"]}" \
    "${results["idle_rss|minimal"]}"
  printf '\n%-40s %12s %12s\n' "pelorin32, VmRSS (KiB)" "VmRSS" "growth"
  printf '%-40s %12s %12s\n' "in tray after start (last start)" "$start_rss" "-"
  local i label
  for ((i = 0; i < ${#sends_rss[@]}; i++)); do
    if ((i == 0)); then label="window shown, 1 send"; else label="then $((i * 25)) more sends"; fi
    printf '%-40s %12s %12s\n' "$label" "${sends_rss[i]}" "$((sends_rss[i] - sends_rss[0]))"
  done
}

start_desktop
mail_server_start "$work" || fail "the mail server did not start"
prepare_program_directory
measure_idle
measure_starts
measure_sends "$started"
print_table
