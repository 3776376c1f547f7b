#!/usr/bin/env bash
# Installs what is missing, builds, and runs kestravo-host for 15 s on the two sample children:
# one that honours its stop event, one that crashes every 4 s and is restarted. It ends by
# stopping both through their stop events and printing a summary.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
ensure_packages
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
cmake --build build-demo
# The library reads log4cxx.properties from the working directory: its log goes to a file there.
cp examples/log4cxx.properties build-demo/
cd build-demo
echo "== kestravo-host: two children for 15 s (library log: build-demo/kestravo.log)"
exec ./kestravo-host --for 15 -- ./stop_child ::: ./crash_child 4000
