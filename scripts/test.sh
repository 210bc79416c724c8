#!/usr/bin/env bash
# Installs what is missing, builds the program and its tests twice (optimised, and with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs the whole suite through CTest.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" --test
jobs=$(nproc)

run_suite() {
  local dir=$1
  shift
  cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --repeat until-pass:2)
}

run_suite "$here/build-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo
run_suite "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DPELORIN_SANITIZE=ON
