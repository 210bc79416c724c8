#!/usr/bin/env bash
# A 20 MiB file sent as an attachment by the program (link mode, as xdg-email starts it) to a
# private OpenSMTPD on 127.0.0.1, on a desktop of its own (Xvfb), beside curl sending the same
# MIME message:
# - resident memory: the program's VmRSS once its window is up, and its peak (VmHWM) from
#   then until it ends after the send; the growth is the difference, beside the size of the
#   file in base64;
# - time: from the click on Send until the server has delivered the message whole (the
#   program reads and encodes the file, writes the outbox copy and sends it), and for curl
#   from its start until the same; each the median of ROUNDS rounds (default 3).
#
#   bench/attachment.sh BUILD_DIR   (BUILD_DIR holds program/pelorin32; run as root, as
#                                    tests/e2e/smtpd.sh needs)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly here
# shellcheck source=bench/mail_server.sh
source "$here/mail_server.sh"
readonly rounds=${ROUNDS:-3}
readonly file_mib=20
readonly settle_seconds=2 # after the window shows, for the last start-up work to finish
readonly wait_seconds=60  # for a desktop, a window or a delivery
readonly recipient=bench@example.org
readonly send_button=(100 318) # the middle of Send, in the window's client area

fail() {
  echo "attachment.sh: $*" >&2
  exit 1
}

[[ $# -eq 1 ]] || fail "usage: bench/attachment.sh BUILD_DIR"
build=$(cd "$1" 2>/dev/null && pwd) || fail "no build directory $1"
readonly program=$build/program/pelorin32 icon=$build/program/skelmar32.ico
for file in "$program" "$icon"; do
  [[ -e $file ]] || fail "$file is missing; build the target pelorin32"
done
for tool in Xvfb xdotool smtpd python3 curl unshare; do
  command -v "$tool" >/dev/null || fail "$tool is not installed; run scripts/install-deps.sh --test"
done

work=$(mktemp -d /tmp/pelorin-attachment-XXXXXX)
children=()
cleanup() {
  local pid
  for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
  mail_server_stop "$work" || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

microseconds() { echo "${EPOCHREALTIME/./}"; }
status_kib() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status" 2>/dev/null; }

start_desktop() {
  mkfifo "$work/display"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
  children+=($!)
  local number
  read -r -t "$wait_seconds" number <"$work/display" || fail "Xvfb did not start"
  export DISPLAY=:$number
  mkdir -m 700 "$work/runtime" "$work/home"
  export XDG_RUNTIME_DIR=$work/runtime DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-session-bus
  export QT_QPA_PLATFORM=xcb HOME=$work/home
  export PELORIN_HKCU=$work/hkcu.reg PELORIN_HKLM=$work/hklm.reg
  unset QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE WAYLAND_DISPLAY XDG_CONFIG_HOME XDG_DATA_HOME
  unset XDG_STATE_HOME
}

prepare() {
  mkdir "$work/program"
  cp "$program" "$icon" "$work/program/"
  printf '127.0.0.1:%s\r\nme@example.com\r\n\r\nFALSE\r\n' "$mail_port" \
    >"$work/program/tessaly32.cfg"
  head -c $((file_mib << 20)) /dev/urandom >"$work/report.bin"
}

# Waits until the maildir holds a message of at least WHOLE bytes (the server moves it there
# complete); prints the time then.
delivered_at() { # WHOLE
  local files size deadline=$((SECONDS + wait_seconds))
  while :; do
    files=("$mail_dir"/new/*)
    if [[ -e ${files[0]} ]]; then
      size=$(stat -c %s "${files[0]}")
      ((size >= $1)) && break
    fi
    ((SECONDS < deadline)) || fail "no whole message delivered"
    sleep 0.005
  done
  microseconds
}

# One send by the program: sets rss_kib, peak_kib, pelorin_ms and keeps the delivered message.
program_round() {
  clear_maildir
  "$work/program/pelorin32" /u "mailto:$recipient?subject=bench&attach=$work/report.bin" \
    >"$work/pelorin.log" 2>&1 &
  local pid=$! window deadline=$((SECONDS + wait_seconds))
  children+=("$pid")
  until window=$(xdotool search --onlyvisible --pid "$pid" --name '^Pelorin 32$' 2>/dev/null |
    head -n 1) && [[ -n $window ]]; do
    ((SECONDS < deadline)) || fail "the window did not come up: $(cat "$work/pelorin.log")"
    sleep 0.01
  done
  sleep "$settle_seconds"
  rss_kib=$(status_kib "$pid" VmRSS)
  local start peak=0 hwm
  start=$(microseconds)
  xdotool mousemove --window "$window" "${send_button[@]}" click 1
  # VmHWM only grows: its last value before the program ends is its peak.
  while hwm=$(status_kib "$pid" VmHWM) && [[ -n $hwm ]]; do
    peak=$hwm
    sleep 0.005
  done
  wait "$pid" || fail "the program failed: $(cat "$work/pelorin.log")"
  peak_kib=$peak
  # The program ends once the server has accepted the message; the server then delivers it.
  pelorin_ms=$((($(delivered_at $((file_mib << 20))) - start) / 1000))
  local files=("$mail_dir"/new/*)
  cp "${files[0]}" "$work/delivered.eml"
}

# The same message (as delivered, CR LF line ends) sent by curl; sets curl_ms.
curl_round() {
  clear_maildir
  local start whole
  whole=$(stat -c %s "$work/delivered.eml")
  start=$(microseconds)
  curl --silent --show-error --max-time 300 "smtp://127.0.0.1:$mail_port" \
    --mail-from me@example.com --mail-rcpt "$recipient" --upload-file "$work/message.eml" \
    >"$work/curl.log" 2>&1 || fail "curl failed: $(cat "$work/curl.log")"
  curl_ms=$((($(delivered_at "$whole") - start) / 1000))
}

median() {
  tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

start_desktop
mail_server_start "$work" || fail "the mail server did not start"
prepare
growths="" peaks="" rsss="" ours="" theirs=""
for ((round = 1; round <= rounds; round++)); do
  echo "round $round" >&2
  program_round
  sed 's/$/\r/' "$work/delivered.eml" >"$work/message.eml"
  curl_round
  rsss+="$rss_kib " peaks+="$peak_kib " growths+="$((peak_kib - rss_kib)) "
  ours+="$pelorin_ms " theirs+="$curl_ms "
done
encoded_kib=$((($(base64 -w 76 "$work/report.bin" | wc -c) + 1023) / 1024))
printf '\n%d MiB attachment (%d KiB in base64); median of %d rounds\n\n' "$file_mib" \
  "$encoded_kib" "$rounds"
printf '%-44s %10s\n' "VmRSS with the window up (KiB)" "$(median "$rsss")"
printf '%-44s %10s\n' "VmHWM until the end (KiB)" "$(median "$peaks")"
printf '%-44s %10s  (%s of the base64 size)\n' "growth (KiB)" "$(median "$growths")" \
  "$(awk -v g="$(median "$growths")" -v e="$encoded_kib" 'BEGIN { printf "%.2f", g / e }')"
printf '%-44s %10s\n' "pelorin32: Send until delivered (ms)" "$(median "$ours")"
printf '%-44s %10s  (ratio %s)\n' "curl: start until delivered (ms)" "$(median "$theirs")" \
  "$(awk -v a="$(median "$ours")" -v b="$(median "$theirs")" 'BEGIN { printf "%.2f", a / b }')"
