#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite three times: a normal build, one
# with AddressSanitizer and UndefinedBehaviorSanitizer, and one with ThreadSanitizer (data races
# and lock-order inversions), each stopping at the first report.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages

run_suite() {
  local name=$1
  shift
  echo "== $name build"
  cmake -S . -B "build-ci/$name" -G Ninja "$@" > "build-ci/$name.configure.log" ||
    { cat "build-ci/$name.configure.log"; return 1; }
  cmake --build "build-ci/$name"
  (cd "build-ci/$name" && ctest --output-on-failure -j2 --timeout 300)
}

mkdir -p build-ci
run_suite normal -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_suite asan-ubsan -DCMAKE_BUILD_TYPE=Debug -DKESTRAVO_SANITIZE=address,undefined
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  run_suite tsan -DCMAKE_BUILD_TYPE=Debug -DKESTRAVO_SANITIZE=thread
echo "all test builds passed"
