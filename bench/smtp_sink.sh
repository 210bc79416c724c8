#!/usr/bin/env bash
# Postfix's smtp-sink, a test server that takes every message at once and throws it away (it
# announces PIPELINING), for the benchmarks. Installing the postfix package would replace
# OpenSMTPD, which the tests need, so the binary is taken out of Debian's package
# (apt-get download, dpkg -x) into the build tree, and its own libraries are found through
# LD_LIBRARY_PATH.
#
#   bench/smtp_sink.sh BUILD_DIR      fetches it and prints the binary's path
#
# Sourced (by bench/compare.sh), it gives:
#   smtp_sink_fetch BUILD_DIR   fetches it once into BUILD_DIR/smtp-sink; sets smtp_sink_root
#   smtp_sink_start DIR         starts it on a free port of 127.0.0.1, its counters in DIR;
#                               sets sink_port
#   smtp_sink_stop
#   sink_accepted               messages it has accepted so far (the "." answered)

smtp_sink_fetch() { # BUILD_DIR
  local download
  download=$(cd "$1" && pwd)/smtp-sink || return 1
  smtp_sink_root=$download/root
  [[ -x $smtp_sink_root/usr/sbin/smtp-sink ]] && return 0
  mkdir -p "$download" || return 1
  rm -f "$download"/postfix_*.deb
  # Run as root, apt hands the download to its own user, who cannot write into the build tree.
  (cd "$download" && apt-get download -q -o APT::Sandbox::User=root postfix >/dev/null) || {
    echo "smtp_sink.sh: apt-get download postfix failed (apt-get update first?)" >&2
    return 1
  }
  rm -rf "$smtp_sink_root"
  dpkg -x "$download"/postfix_*.deb "$smtp_sink_root" || return 1
  [[ -x $smtp_sink_root/usr/sbin/smtp-sink ]] || {
    echo "smtp_sink.sh: the postfix package holds no usr/sbin/smtp-sink" >&2
    return 1
  }
}

smtp_sink_start() { # DIR
  sink_counters=$1/smtp-sink.out
  sink_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])') ||
    return 1
  # As root it must be told whose rights to take once it listens.
  local privileges=()
  ((EUID != 0)) || privileges=(-u nobody)
  # -c: counters of sessions and messages, rewritten in place (\r) as they change.
  LD_LIBRARY_PATH=$smtp_sink_root/usr/lib/postfix "$smtp_sink_root/usr/sbin/smtp-sink" -c \
    "${privileges[@]}" "127.0.0.1:$sink_port" 256 >"$sink_counters" 2>&1 &
  sink_pid=$!
  local tries
  for ((tries = 0; tries < 500; tries++)); do
    if ! kill -0 "$sink_pid" 2>/dev/null; then
      echo "smtp_sink.sh: smtp-sink ended at start: $(cat "$sink_counters")" >&2
      return 1
    fi
    (: <"/dev/tcp/127.0.0.1/$sink_port") 2>/dev/null && return 0
    sleep 0.01
  done
  echo "smtp_sink.sh: smtp-sink does not listen on port $sink_port" >&2
  return 1
}

smtp_sink_stop() {
  [[ -n ${sink_pid:-} ]] || return 0
  kill "$sink_pid" 2>/dev/null
  wait "$sink_pid" 2>/dev/null
  sink_pid=
}

sink_accepted() {
  local counted
  counted=$(tr '\r' '\n' <"$sink_counters" | sed -n 's/.*mesg=\([0-9]*\).*/\1/p' | tail -n 1)
  echo "${counted:-0}"
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
  set -euo pipefail
  [[ $# -eq 1 ]] || {
    echo "usage: bench/smtp_sink.sh BUILD_DIR" >&2
    exit 2
  }
  smtp_sink_fetch "$1"
  echo "$smtp_sink_root/usr/sbin/smtp-sink"
fi
