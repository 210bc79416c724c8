#!/usr/bin/env bash
# Installs what is missing, builds the program, installs it beside its files in a per-user
# directory, with its launcher in the desktop's application menu, and starts it in the
# notification area. Run it as the desktop user who will use the program: only installing
# missing packages asks for sudo. Arguments are passed to the program (for example:
# /u "mailto:someone@example.org?Subject=Hello").
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
# Each user builds in a tree of their own: a build tree made by another user (root, say) can
# be neither written nor installed from.
build="$here/build"
if ((EUID != 0)); then
  build="${XDG_CACHE_HOME:-$HOME/.cache}/pelorin32/build"
fi
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELORIN_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --install "$build" >/dev/null
prefix=$(cmake -L -N "$build" 2>/dev/null | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p')
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Built and installed as $prefix/bin/pelorin32; it needs a desktop session to start (DISPLAY is not set)." >&2
  exit 1
fi
exec "$prefix/bin/pelorin32" "$@"
