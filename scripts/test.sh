#!/usr/bin/env bash
# Installs what is missing, builds the program and its tests and runs the whole suite through
# CTest, each test once (a test that passes only when run again is a fault to find): optimised;
# with AddressSanitizer and UndefinedBehaviorSanitizer; the tests that involve more than one
# thread with ThreadSanitizer; and the fuzz targets with libFuzzer (clang, with the address
# and undefined-behaviour sanitizers) for a bounded time. Warnings are errors in these builds.
# Every pass runs even when one before it failed; the exit status is 0 only when all passed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" --test
jobs=$(nproc)
launcher=()
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi

configure() {
  local dir=$1
  shift
  cmake -S "$here" -B "$dir" -G Ninja -DPELORIN_WERROR=ON "${launcher[@]}" "$@" >/dev/null
}

build() {
  local dir=$1
  shift
  cmake --build "$dir" -j"$jobs" "$@"
}

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure --no-tests=error --timeout 600 -j"$jobs" "$@")
}

optimised() {
  local dir=$here/build-test
  configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo && build "$dir" && run_ctest "$dir"
}

address_sanitizer() {
  local dir=$here/build-asan
  configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DPELORIN_SANITIZE=ON && build "$dir" &&
    run_ctest "$dir"
}

thread_sanitizer() {
  local dir=$here/build-tsan
  configure "$dir" -DCMAKE_BUILD_TYPE=Debug -DPELORIN_TSAN=ON &&
    build "$dir" --target pelorin_thread_tests &&
    TSAN_OPTIONS="suppressions=$here/tests/sanitizers/tsan.supp halt_on_error=1" \
      run_ctest "$dir" -L threads
}

# The compiler is chosen when the directory is first configured.
libfuzzer() {
  local dir=$here/build-fuzz
  CC=clang CXX=clang++ configure "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELORIN_FUZZ=ON \
    -DPELORIN_SANITIZE=ON && build "$dir" --target pelorin_fuzz_targets &&
    run_ctest "$dir" -L '^fuzz$'
}

failed=()
for pass in optimised address_sanitizer thread_sanitizer libfuzzer; do
  echo "=== $pass"
  "$pass" || failed+=("$pass")
done
if ((${#failed[@]})); then
  echo "test.sh: failed: ${failed[*]}" >&2
  exit 1
fi
echo "test.sh: all passes passed"
