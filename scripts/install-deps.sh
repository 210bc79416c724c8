#!/usr/bin/env bash
# Installs the Debian packages that building (and, with --test, testing) needs, only those
# that are missing, and the unprivileged account that the test mail server delivers to. Run by
# a user other than root, it asks for sudo for that, and only when something is missing.
set -euo pipefail

# netbase: /etc/services, where the program looks up a port given by name ("smtp").
packages=(build-essential cmake ninja-build qt6-base-dev libgl-dev libssl-dev netbase)
# The keyring: QtKeychain, and libsecret, which it loads at run time to reach the Secret Service.
packages+=(qtkeychain-qt6-dev libsecret-1-0)
# Liberation Sans: the face metric-compatible with the one the windows were laid out in, the
# first stand-in for "MS Sans Serif"; its captions fit at a size close to the designed one.
packages+=(fonts-liberation2)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(googletest libgtest-dev libgmock-dev clang libclang-rt-dev xvfb xauth trayer
             xdotool x11-utils imagemagick opensmtpd python3 curl procps xdg-utils
             xclip libx11-dev python3-aiosmtpd openssl)
  # A DNS server for the look-up from an address, in a network namespace of the tests' own.
  packages+=(dnsmasq-base iproute2)
  # The autostart entry's validator; a real keyring and a notification server, each in a
  # private D-Bus session; the launcher test's gio.
  packages+=(desktop-file-utils dbus gnome-keyring libglib2.0-bin dbus-daemon dbus-bin dunst)
  # A StatusNotifierItem tray for the tray tests: a private bus, its watcher and a host.
  packages+=(dbus haskell-status-notifier-item-utils haskell-gtk-sni-tray-utils)
  packages+=(msmtp) # bench/slow_link.sh measures against it
  # DejaVu Sans, the desktop's usual face, in which the window test measures every caption.
  packages+=(fonts-dejavu-core)
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

as_root=()
((EUID == 0)) || as_root=(sudo)
if ((${#missing[@]})) && ((EUID != 0)) && ! command -v sudo >/dev/null; then
  echo "Missing packages: ${missing[*]}. Install them as root (sudo is not installed)." >&2
  exit 1
fi

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ "${1:-}" == "--test" ]] && ! id pelorinmail >/dev/null 2>&1; then
  # OpenSMTPD refuses to deliver to root; the test server maps every recipient to this one.
  "${as_root[@]}" useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin pelorinmail
fi
