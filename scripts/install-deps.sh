#!/usr/bin/env bash
# Installs the Debian packages that building (and, with --test, testing) needs, only those
# that are missing, and the unprivileged account that the test mail server delivers to.
set -euo pipefail

packages=(build-essential cmake ninja-build qt6-base-dev libgl-dev libssl-dev)
if [[ "${1:-}" == "--test" ]]; then
  packages+=(googletest libgtest-dev libgmock-dev clang libclang-rt-dev xvfb xauth trayer
             xdotool x11-utils imagemagick opensmtpd python3 curl procps xdg-utils
             xclip libx11-dev python3-aiosmtpd openssl)
  packages+=(msmtp) # bench/slow_link.sh measures against it
fi

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [[ "${1:-}" == "--test" ]] && ! id pelorinmail >/dev/null 2>&1; then
  # OpenSMTPD refuses to deliver to root; the test server maps every recipient to this one.
  useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin pelorinmail
fi
