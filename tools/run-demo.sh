#!/usr/bin/env bash
# Installs what is missing, builds, and shows the stop protocol at work: children started in
# their own sessions, each asked to end through its named stop event, timed from the request to
# the exit.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
cmake --build build-demo
./build-demo/kestravo-stop-latency "${1:-100}"
