#!/bin/sh
# Checks that every file under src/ includes headers of its own folder or of folders below it
# only, in the order of the layers (lowest first). Prints each include that points upward and
# fails if there is one; prints the edges between folders that are in use otherwise.
set -eu
cd "$(dirname "$0")/../src"
layers="os transport mail outbox setup desktop platform app"

rank() {
  i=0
  for layer in $layers; do
    [ "$layer" = "$1" ] && { echo $i; return; }
    i=$((i + 1))
  done
  echo "unknown folder src/$1 (add it to the layers in $0)" >&2
  exit 2
}

status=0
edges=""
for dir in */; do
  folder=${dir%/}
  own=$(rank "$folder")
  for target in $(grep -ho '^#include "[a-z_]*/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null |
      sed 's/#include "//; s:/$::' | sort -u); do
    [ "$target" = "$folder" ] && continue
    if [ "$(rank "$target")" -gt "$own" ]; then
      grep -Hn "^#include \"$target/" "$folder"/*.h "$folder"/*.cpp | sed 's/^/upward: /'
      status=1
    fi
    edges="$edges $folder->$target"
  done
done
echo "edges:$edges"
exit $status
