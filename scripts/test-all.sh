#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole suite three times: a normal build (then
# the Debian packages and the Windows build under Wine are checked), one
# with AddressSanitizer and UndefinedBehaviorSanitizer, and one with ThreadSanitizer (data races
# and lock-order inversions), each stopping at the first report. Then builds the fuzz targets with
# clang and runs each for 10 s over its seed corpus; a finding fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
# Every step's packages at once: the Windows build runs beside other steps, and a second apt-get
# at the same time would find dpkg locked.
ensure_packages $KESTRAVO_PACKAGING_PACKAGES systemd $KESTRAVO_WINDOWS_PACKAGES $KESTRAVO_FUZZ_PACKAGES

# A line per phase with its wall time, and per build the compiler's CPU time (user + sys), which
# other work on the machine changes far less than the wall time.
phase_name=""
phase_started=$SECONDS
phase() {
  [ -z "$phase_name" ] || echo "== $phase_name: $((SECONDS - phase_started)) s"
  phase_name=$1
  phase_started=$SECONDS
  [ -z "$phase_name" ] || echo "== $phase_name"
}
timed_build() {
  local TIMEFORMAT="== build $1: %0R s wall, %0U s user, %0S s sys"
  shift
  time "$@"
}

# Unity builds: each target's sources compiled as one file (those marked in CMakeLists.txt apart),
# which parses the headers they share once; about half the compile time of a build.
unity=(-DCMAKE_UNITY_BUILD=ON -DCMAKE_UNITY_BUILD_BATCH_SIZE=0)
build_suite() {
  local name=$1
  shift
  phase "$name build"
  cmake -S . -B "build-ci/$name" -G Ninja "${unity[@]}" "$@" > "build-ci/$name.configure.log" ||
    { cat "build-ci/$name.configure.log"; return 1; }
  timed_build "$name" cmake --build "build-ci/$name"
}
test_suite() {
  phase "$1 tests"
  (cd "build-ci/$1" && ctest --output-on-failure -j2 --timeout 300)
}
run_suite() {
  build_suite "$@"
  test_suite "$1"
}

mkdir -p build-ci
# Under the packages' prefix, so that the package check below finds the tree built as it needs it
# (the library directory the host is built to look in follows the prefix).
build_suite normal -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr
# The Windows cross-build, at the lowest priority, while the normal tests and the package check
# run: they mostly wait on their children, and the compilers take the idle time. A process group
# of its own (job control, for this one command), to be ended with the script; not a session of
# its own, which would give it a scheduling group of its own as well and make the nice void.
set -m
nice -n 19 bash scripts/build-windows.sh --build-only --test build-ci/windows < /dev/null > build-ci/windows-build.log 2>&1 &
windows_build=$!
set +m
trap 'kill -- -$windows_build 2> /dev/null || true' EXIT
test_suite normal
# The Debian packages, made from the normal build tree: contents, install into a throwaway root,
# the installed host, removal, and the systemd unit.
phase "package check"
bash packaging/package.sh --check build-ci/normal
phase "windows build, what is left of it"
wait $windows_build || { tail -n 60 build-ci/windows-build.log; echo "the Windows build failed"; exit 1; }
grep '^== build windows' build-ci/windows-build.log
# The Windows tests under Wine.
phase "windows tests under Wine"
bash scripts/build-windows.sh --test build-ci/windows
# Line tables are all a sanitizer's report needs; full debug information only slows the builds.
debug_lines=(-DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_CXX_FLAGS_DEBUG=-g1)
ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  run_suite asan-ubsan "${debug_lines[@]}" -DKESTRAVO_SANITIZE=address,undefined
# ThreadSanitizer's second at each process's exit would make every child of a test seem long-lived.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:atexit_sleep_ms=0 \
  run_suite tsan "${debug_lines[@]}" -DKESTRAVO_SANITIZE=thread

# The corpus the fuzzer grows stays in the build tree; tests/fuzz/corpus holds the seeds and any
# input that once found something.
run_fuzz() {
  ensure_packages $KESTRAVO_FUZZ_PACKAGES
  phase "fuzz build"
  # Not a unity build: a fuzz target takes one parser from the core, and the core as one object
  # would bring it the library's globals, made at start and stopped at exit.
  CC=clang CXX=clang++ cmake -S . -B build-ci/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRAVO_FUZZ=ON \
    -DBUILD_TESTING=OFF > build-ci/fuzz.configure.log || { cat build-ci/fuzz.configure.log; return 1; }
  timed_build fuzz cmake --build build-ci/fuzz --target fuzz_state_file fuzz_command_line fuzz_child_identity
  phase "fuzz runs"
  for name in state_file command_line child_identity; do
    echo "== fuzz $name"
    mkdir -p "build-ci/fuzz/work/$name"
    "build-ci/fuzz/tests/fuzz/fuzz_$name" -max_total_time=10 -artifact_prefix="build-ci/fuzz/$name-" \
      "build-ci/fuzz/work/$name" "tests/fuzz/corpus/$name" 2> "build-ci/fuzz/$name.log" ||
      { tail -n 60 "build-ci/fuzz/$name.log"; echo "fuzz_$name found a failing input"; return 1; }
    grep -E '^Done [0-9]+ runs' "build-ci/fuzz/$name.log" || true
  done
}
run_fuzz
phase ""
echo "== total: $SECONDS s"
echo "all test builds and fuzz runs passed"
