#!/usr/bin/env bash
# `cmake --install` of the build tree into temporary directories: the launcher lands in the
# user's data directory and passes desktop-file-validate, the desktop's own launcher (GLib's
# `gio launch`) starts the installed program from it even when the prefix holds blanks and
# quotes, the icons are in the hicolor theme at their sizes, and the caches are refreshed.
#
# Usage: launcher_install_test.sh CMAKE BUILD_DIR
set -uo pipefail
cmake=$1
build=$2

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
for tool in desktop-file-validate gio identify update-desktop-database gtk-update-icon-cache; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: the tool '$tool' is not installed; scripts/install-deps.sh --test installs it" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/pelorin-install-XXXXXX)
trap 'rm -rf "$work"' EXIT

# install PREFIX [VARIABLE=VALUE ...]: cmake --install with exactly these variables changed.
install() {
  local prefix=$1
  shift
  if ! env -u XDG_DATA_HOME -u DESTDIR "$@" "$cmake" --install "$build" --prefix "$prefix" \
      >"$work/install.log" 2>&1; then
    fail "cmake --install --prefix '$prefix' $*: $(cat "$work/install.log")"
    return 1
  fi
}

# check_installed DATA_HOME: the launcher and the icons below DATA_HOME.
check_installed() {
  local data=$1
  local entry="$data/applications/pelorin32-tray.desktop"
  [[ -f "$entry" ]] || { fail "no launcher at $entry"; return 1; }
  desktop-file-validate "$entry" || fail "desktop-file-validate rejects $entry"
  grep -qx 'Name=Pelorin 32' "$entry" || fail "the launcher is not named Pelorin 32"
  grep -qx 'Icon=pelorin32' "$entry" || fail "the launcher's icon is not pelorin32"
  grep -qx 'Categories=Network;Email;' "$entry" || fail "the launcher is not in Network;Email;"
  grep -q '^Comment=.' "$entry" || fail "the launcher has no comment"
  grep -q '^Keywords=.' "$entry" || fail "the launcher has no keywords"
  local size
  for size in 16 32 48; do
    local png="$data/icons/hicolor/${size}x${size}/apps/pelorin32.png"
    [[ "$(identify -format '%m %wx%h' "$png" 2>/dev/null)" == "PNG ${size}x${size}" ]] ||
      fail "$png is no ${size}x${size} PNG"
  done
  local svg="$data/icons/hicolor/scalable/apps/pelorin32.svg"
  # Read from the file itself: ImageMagick draws SVG only with an optional delegate.
  grep -q '<svg[^>]* width="48" height="48"' "$svg" 2>/dev/null ||
    fail "$svg is no SVG picture of 48 by 48"
  grep -qa pelorin32 "$data/icons/hicolor/icon-theme.cache" 2>/dev/null ||
    fail "the icon cache in $data/icons/hicolor was not refreshed with pelorin32"
  [[ -f "$data/applications/mimeinfo.cache" ]] ||
    fail "the desktop database in $data/applications was not refreshed"
}

# 1. A prefix with blanks, a dollar sign and a double quote: GLib's launcher starts exactly
#    the installed program (replaced here by a script that says how it was started).
prefix="$work/my \$prefix \"quoted\""
data="$work/data"
if install "$prefix" XDG_DATA_HOME="$data" HOME="$work/unused-home"; then
  check_installed "$data"
  [[ -e "$work/unused-home" ]] && fail "the launcher went below HOME although XDG_DATA_HOME is set"
  program="$prefix/lib/pelorin32/pelorin32"
  [[ -x "$program" ]] || fail "no program at $program"
  printf '#!/bin/sh\nprintf "%%s|%%s" "$0" "$#" > "%s/started"\n' "$work" >"$program"
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_DATA_HOME="$data" \
    gio launch "$data/applications/pelorin32-tray.desktop" ||
    fail "gio launch could not start the launcher's program"
  for _ in $(seq 100); do [[ -s "$work/started" ]] && break; sleep 0.1; done
  [[ "$(cat "$work/started" 2>/dev/null)" == "$program|0" ]] ||
    fail "the launcher started '$(cat "$work/started" 2>/dev/null)', not '$program|0'"
fi

# 2. Without XDG_DATA_HOME (or with a relative one, which does not count) the launcher goes to
#    ~/.local/share.
for variable in "" "XDG_DATA_HOME=relative/data"; do
  home="$work/home-${#variable}"
  if install "$work/prefix2" HOME="$home" $variable; then
    check_installed "$home/.local/share"
  fi
done

# 3. Staged with DESTDIR: everything lands below it, and the launcher names the program where
#    it will be once the staged tree is in place.
stage="$work/stage"
if install /opt/pelorin DESTDIR="$stage" XDG_DATA_HOME=/srv/data; then
  check_installed "$stage/srv/data"
  [[ -x "$stage/opt/pelorin/lib/pelorin32/pelorin32" ]] || fail "the program is not staged"
  grep -qx 'Exec=/opt/pelorin/lib/pelorin32/pelorin32' \
    "$stage/srv/data/applications/pelorin32-tray.desktop" ||
    fail "the staged launcher does not name /opt/pelorin/lib/pelorin32/pelorin32"
fi

if ((failures)); then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "the launcher installs and starts the program"
