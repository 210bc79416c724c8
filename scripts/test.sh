#!/usr/bin/env bash
# Installs what is missing, builds the program and its tests and runs the whole suite through
# CTest: optimised, then with AddressSanitizer and UndefinedBehaviorSanitizer, then the tests
# that involve more than one thread with ThreadSanitizer.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/install-deps.sh" --test
jobs=$(nproc)
thread_tests=(os_messages_tests os_winsock_tests sockets_tests platform_dialup_tests
              frm_main_send_test send_interleaving_test)

configure() {
  local dir=$1
  shift
  cmake -S "$here" -B "$dir" -G Ninja "$@" >/dev/null
}

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --repeat until-pass:2 "$@")
}

configure "$here/build-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$here/build-test" -j"$jobs"
run_ctest "$here/build-test"

configure "$here/build-asan" -DCMAKE_BUILD_TYPE=Debug -DPELORIN_SANITIZE=ON
cmake --build "$here/build-asan" -j"$jobs"
run_ctest "$here/build-asan"

configure "$here/build-tsan" -DCMAKE_BUILD_TYPE=Debug -DPELORIN_TSAN=ON
cmake --build "$here/build-tsan" -j"$jobs" --target "${thread_tests[@]}"
TSAN_OPTIONS="suppressions=$here/tests/sanitizers/tsan.supp halt_on_error=1" \
  run_ctest "$here/build-tsan" -L threads
