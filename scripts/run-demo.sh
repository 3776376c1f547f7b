#!/usr/bin/env bash
# Installs what is missing, builds, and supervises a program that knows nothing of Kestravo:
# Python's http.server on a loopback port, run by kestravo-host through kestravo-run. The script
# asks it for a page, kills it with SIGKILL, asks again once the library has restarted it under
# the same hpid, shows the host's status, and ends with SIGTERM to the host, which stops the
# server with SIGTERM.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
ensure_packages python3
cmake -S . -B build-demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF > /dev/null
cmake --build build-demo
cd build-demo
rm -f log4cxx.properties  # left by older demos; the host now keeps its own log configuration
mkdir -p www state
echo "hello from a supervised http.server" > www/index.html
port=${KESTRAVO_DEMO_PORT:-18080}
url=http://127.0.0.1:$port/
out=$(mktemp)
trap 'rm -f "$out"' EXIT

say() { echo "== $*"; }
# wait_for SECONDS COMMAND...: runs COMMAND until it succeeds, for at most SECONDS.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    if [ "$SECONDS" -ge "$deadline" ]; then
      echo "run-demo: gave up waiting for: $*" >&2
      kill -TERM "$host" 2> /dev/null
      exit 1
    fi
    sleep 0.1
  done
}
fetch() {
  python3 -c 'import sys, urllib.request
with urllib.request.urlopen(sys.argv[1], timeout=2) as r:
    print("   HTTP %d: %s" % (r.status, r.read().decode().strip()))' "$url" 2> /dev/null
}
pid_of() { sed -n "s/.*hpid 0  pid \([0-9]*\)  $1.*/\1/p" "$out" | tail -1; }
server_of() { cat "/proc/$1/task/$1/children" 2> /dev/null | tr -d ' '; }

say "kestravo-host: python3 -m http.server $port, unchanged, under kestravo-run"
./kestravo-host --state-dir state -- python3 -m http.server "$port" --bind 127.0.0.1 --directory "$PWD/www" > >(tee "$out") &
host=$!
wait_for 10 grep -q "hpid 0  pid [0-9]*  started" "$out"
wait_for 10 fetch
adapter=$(pid_of started)
server=$(server_of "$adapter")
# A child that ran a second or more is restarted at once; a younger one would wait 100 ms.
ran_a_second() { [ "$(ps -o etimes= -p "$server" | tr -d ' ')" -ge 1 ] 2> /dev/null; }
wait_for 10 ran_a_second
say "kill -KILL $server (the python3 process; kestravo-run $adapter ends as it did)"
kill -KILL "$server"
wait_for 10 grep -q "hpid 0  pid [0-9]*  restarted" "$out"
wait_for 10 fetch
say "hpid 0 answers again: python3 is now pid $(server_of "$(pid_of restarted)")"
say "kestravo-host status (asks the running host)"
./kestravo-host --state-dir state status
say "kill -TERM $host (kestravo-host)"
kill -TERM "$host"
wait "$host"
