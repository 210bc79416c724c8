#!/bin/sh
# Runs a test program with a home and XDG directories of its own, either in a private D-Bus
# session whose Secret Service is a fresh, unlocked GNOME Keyring ("keyring"), or with a
# session bus address that leads nowhere ("none"). In a keyring session PELORIN_KEYRING_BUS
# holds the bus's address too, for programs started by a test that points its own elsewhere.
#   run_in_keyring_session.sh keyring|none PROGRAM [ARGUMENTS...]
set -eu

fail() {
  echo "run_in_keyring_session.sh: $*" >&2
  exit 1
}
need() {
  command -v "$1" >/dev/null 2>&1 || fail "$1 is not installed (Debian package $2); run scripts/install-deps.sh --test"
}

[ $# -ge 2 ] || fail "usage: run_in_keyring_session.sh keyring|none PROGRAM [ARGUMENTS...]"
mode=$1
shift

scratch=$(mktemp -d "${TMPDIR:-/tmp}/pelorin-keyring-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/home" "$scratch/data" "$scratch/config" "$scratch/cache" "$scratch/run"
chmod 700 "$scratch/run"
export HOME="$scratch/home" XDG_DATA_HOME="$scratch/data" XDG_CONFIG_HOME="$scratch/config" \
  XDG_CACHE_HOME="$scratch/cache" XDG_RUNTIME_DIR="$scratch/run"
# The test searches these for the passwords it used.
export PELORIN_KEYRING_SCRATCH="$scratch"
export PELORIN_TEST_KEYRING="$mode"
unset XDG_CURRENT_DESKTOP DESKTOP_SESSION GNOME_KEYRING_CONTROL

status=0
case "$mode" in
  keyring)
    need dbus-run-session dbus-bin
    need gnome-keyring-daemon gnome-keyring
    # A keyring made at the first unlock, with the password "test", becomes the default one.
    dbus-run-session -- sh -c '
      printf test | gnome-keyring-daemon --unlock --components=secrets >/dev/null ||
        { echo "run_in_keyring_session.sh: gnome-keyring-daemon did not start" >&2; exit 1; }
      export PELORIN_KEYRING_BUS="$DBUS_SESSION_BUS_ADDRESS"
      exec "$@"' sh "$@" || status=$?
    ;;
  none)
    export DBUS_SESSION_BUS_ADDRESS="unix:path=$scratch/no-bus-here"
    "$@" || status=$?
    ;;
  *)
    fail "unknown mode $mode (keyring or none)"
    ;;
esac
exit "$status"
