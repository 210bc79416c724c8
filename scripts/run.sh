#!/usr/bin/env bash
# Installs what is missing, builds the program, installs it beside its files in a per-user
# directory and starts it in the notification area. Arguments are passed to the program
# (for example: /u "mailto:someone@example.org?Subject=Hello").
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELORIN_TESTS=OFF >/dev/null
cmake --build "$here/build" -j"$(nproc)"
cmake --install "$here/build" >/dev/null
prefix=$(cmake -L -N "$here/build" 2>/dev/null | sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p')
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "Built and installed as $prefix/bin/pelorin32; it needs a desktop session to start (DISPLAY is not set)." >&2
  exit 1
fi
exec "$prefix/bin/pelorin32" "$@"
