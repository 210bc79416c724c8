#!/usr/bin/env bash
# Proves that the README's commands work on a fresh machine: makes a clean Debian 12
# (bookworm) root, puts a clean clone of one commit of this repository into it and runs
# ./scripts/test.sh there, then ./scripts/run.sh on a virtual desktop, as root, in a chroot
# with its own mount, process, host-name and IPC namespaces (private /proc, /tmp, /run and
# /dev/shm; the network is the host's). Exits non-zero when either fails.
#
#   scripts/check-fresh.sh [--keep] [REVISION]
#
# REVISION is a branch, tag or commit of the repository this script is run from (default HEAD,
# the commit, not the working tree). The root is made in a new directory under ROOTS_DIR
# (default: the directory holding this repository) and removed afterwards; with --keep it is
# ROOTS_DIR/pelorin-fresh-root, kept, and reused by the next --keep run (only the clone is new).
# Needs root, and mmdebstrap (installed with apt-get when missing).
set -euo pipefail

usage() {
  echo "usage: $0 [--keep] [REVISION]" >&2
  exit 2
}

keep=false
revision=HEAD
while (($#)); do
  case "$1" in
    --keep) keep=true ;;
    -h | --help) usage ;;
    -*) usage ;;
    *) revision=$1 ;;
  esac
  shift
done

fail() {
  echo "check-fresh.sh: $*" >&2
  exit 1
}

[[ $(id -u) == 0 ]] || fail "run it as root (it makes a Debian root and mounts in it)"
repo=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
commit=$(git -C "$repo" rev-parse --verify --quiet "$revision^{commit}") ||
  fail "no commit $revision in $repo"
roots_dir=${ROOTS_DIR:-$(dirname "$repo")}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
security_mirror=${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}
hostname=pelorin-fresh

if ! command -v mmdebstrap >/dev/null; then
  echo "Installing mmdebstrap"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
fi

if $keep; then
  root=$roots_dir/pelorin-fresh-root
  mkdir -p "$root"
else
  root=$(mktemp -d "$roots_dir/pelorin-fresh-root.XXXXXX")
fi
chmod 755 "$root"  # it becomes /, which every account must be able to enter

# Everything mounted below the root, deepest first.
mounts_below_root() {
  awk -v root="$root" '$2 == root || index($2, root "/") == 1 { print $2 }' /proc/self/mounts |
    sort -r
}

# Whether a process still runs with its root in the fresh root.
processes_in_root() {
  local link
  for link in /proc/[0-9]*/root; do
    [[ $(readlink "$link" 2>/dev/null) == "$root"* ]] && return 0
  done
  return 1
}

cleanup() {
  local status=$?
  local mount
  if [[ -n ${runner:-} ]]; then
    # unshare holds SIGTERM back for its child; killed, it takes the child, and with it every
    # process inside, along (--kill-child).
    kill -KILL "$runner" 2>/dev/null || true
    wait "$runner" 2>/dev/null || true
    for _ in $(seq 100); do processes_in_root || break; sleep 0.1; done
  fi
  for mount in $(mounts_below_root); do
    umount "$mount" 2>/dev/null || umount --lazy "$mount" || true
  done
  if [[ -n "$(mounts_below_root)" ]]; then
    echo "check-fresh.sh: still mounted below $root, left in place: $(mounts_below_root | xargs)" >&2
  elif ! $keep; then
    rm -rf --one-file-system "$root"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# A fresh machine, as small as Debian makes one (only the packages of priority required,
# and apt): everything else must come from the project's scripts. Services that packages
# install are not started in the root, as no init system runs there.
if [[ ! -x "$root/usr/bin/apt-get" ]]; then
  echo "Making a Debian 12 root in $root"
  mmdebstrap --variant=minbase --quiet \
    --customize-hook='printf "#!/bin/sh\nexit 101\n" >"$1/usr/sbin/policy-rc.d" && chmod 755 "$1/usr/sbin/policy-rc.d"' \
    bookworm "$root" \
    "deb $mirror bookworm main" \
    "deb $mirror bookworm-updates main" \
    "deb $security_mirror bookworm-security main"
fi
# What the installer writes on every machine: its name, and the name in the hosts file.
echo "$hostname" >"$root/etc/hostname"
printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' \
  "$hostname" >"$root/etc/hosts"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

echo "Cloning $commit from $repo"
checkout=$root/root/pelorin32
rm -rf "$checkout"
git clone --quiet --no-checkout "$repo" "$checkout"
git -C "$checkout" fetch --quiet origin "$commit"
git -C "$checkout" -c advice.detachedHead=false checkout --quiet --detach "$commit"

# What runs inside, as root from the checkout: the README's test command, then its other
# command on a desktop (Xvfb with a notification area, from the test tools): it must build,
# install and start the program, whose window or icon then shows.
cat >"$root/root/check-fresh-steps.sh" <<'STEPS'
#!/bin/bash
set -uo pipefail
cd /root/pelorin32 || exit 1

run_on_desktop() {
  local work=/tmp/check-fresh-desktop
  mkdir -p "$work"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" \
    >"$work/xvfb.log" 2>&1 &
  local number=
  for _ in $(seq 300); do
    number=$(head -n 1 "$work/display")
    [[ -n $number ]] && break
    sleep 0.1
  done
  [[ -n $number ]] || { echo "Xvfb did not start: $(cat "$work/xvfb.log")"; return 1; }
  export DISPLAY=:$number
  trayer --edge top --align left --widthtype request --height 24 >"$work/trayer.log" 2>&1 &
  # run.sh ends in the program itself (exec): the same process.
  ./scripts/run.sh >"$work/run.log" 2>&1 &
  local program=$!
  while kill -0 "$program" 2>/dev/null; do
    if [[ $(readlink "/proc/$program/exe") == */pelorin32 ]] &&
      xdotool search --onlyvisible --pid "$program" >/dev/null 2>&1; then
      echo "the program is up on the desktop: $(readlink "/proc/$program/exe")"
      kill "$program"
      return 0
    fi
    sleep 1
  done
  echo "./scripts/run.sh ended without showing the program:"
  tail -n 30 "$work/run.log"
  return 1
}

failed=()
echo "=== ./scripts/test.sh"
./scripts/test.sh || failed+=("./scripts/test.sh")
echo "=== ./scripts/run.sh on a desktop"
run_on_desktop || failed+=("./scripts/run.sh")
if ((${#failed[@]})); then
  echo "failed on the fresh root: ${failed[*]}"
  exit 1
fi
STEPS
chmod 755 "$root/root/check-fresh-steps.sh"

# The mounts are made in a mount namespace of the run's own, so they end with it, and every
# process started inside ends with the run (a process namespace); the trap above undoes any
# mount that outlives it. The root is made a mount point of its own, so that unshare --mount
# inside it (tests/e2e/smtpd.sh) can make its mounts private.
inside='set -e
root=$1
mount --bind "$root" "$root"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --rbind /dev "$root/dev"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
mount -t tmpfs -o mode=755 tmpfs "$root/run"
mkdir -p "$root/run/lock"
hostname "$(cat "$root/etc/hostname")"
exec chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash \
  TERM=dumb PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /root/check-fresh-steps.sh'
echo "Running the README's commands in the fresh root"
# In the background, so that a signal to this script is handled at once, not at the end.
unshare --mount --propagation private --pid --fork --kill-child --uts --ipc \
  /bin/bash -c "$inside" bash "$root" &
runner=$!
status=0
wait "$runner" || status=$?
runner=
if ((status == 0)); then
  echo "check-fresh.sh: the README's commands worked on a fresh Debian 12 root ($commit)"
else
  echo "check-fresh.sh: failed (status $status) on a fresh Debian 12 root ($commit)" >&2
fi
exit "$status"
