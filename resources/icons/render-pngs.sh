#!/usr/bin/env bash
# Renders the launcher's PNG icons from pelorin32.svg (rsvg-convert, Debian's librsvg2-bin).
# The PNGs are kept in the repository, so building needs no SVG renderer; run this after
# changing the SVG.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 32 48; do
  mkdir -p "${size}x${size}"
  rsvg-convert --width "$size" --height "$size" pelorin32.svg --output "${size}x${size}/pelorin32.png"
done
