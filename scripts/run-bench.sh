#!/usr/bin/env bash
# The one bench command: installs what is missing, builds in Release mode, and runs every
# measurement in one go (the library against the raw posix_spawn + pidfd limit and against
# supervisord, runit, s6 and daemontools). Prints one markdown table and writes a PNG of the
# restart-latency distributions. About 10 minutes; "bash scripts/run-bench.sh quick" checks in about two
# that everything runs, with too few repetitions to be figures.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
mode=${1:-full}

. scripts/deps.sh
# The peers come from Debian; nothing they install is started as a service meanwhile.
guard=""
if [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' > /usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  guard=/usr/sbin/policy-rc.d
fi
ensure_packages gnuplot-nox supervisor runit s6 daemontools
[ -n "$guard" ] && rm -f "$guard"

# With the library's start timers, which the report's breakdown of a start reads.
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DKESTRAVO_BUILD_BENCH=ON -DKESTRAVO_START_PHASES=ON > /dev/null
cmake --build build-bench > /dev/null
bin=$root/build-bench/bench
child=$bin/bench_child
out=$root/build-bench/results-$(date -u +%Y%m%dT%H%M%SZ)
mkdir -p "$out"

if [ "$mode" = quick ]; then
  rewrites=20 library=quick pairs=2 bringups=1 idle=2
else
  rewrites=200 library="" pairs=15 bringups=3 idle=10
fi
start=$(date +%s)
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
"$bin/kestravo-bench-statefile" "$out" "$rewrites"
"$bin/kestravo-bench-library" "$out" "$child" $library
for peer in supervisord:default supervisord:low runit:default s6:default daemontools:default; do
  "$bin/kestravo-bench-peer" "$out" "$child" "${peer%%:*}" "${peer##*:}" "$pairs" "$bringups" "$idle"
done

# Every child of every run must be gone.
left=$(pgrep -x bench_child -d' ' || true)
for pid in $left; do
  if [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$child" ]; then
    echo "bench: child $pid was left running; ending it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
done

"$bin/kestravo-bench-report" "$out" > "$out/table.md"
(cd "$out" && gnuplot restart.gp)
{
  echo "## Kestravo benchmark, $(date -u '+%Y-%m-%d %H:%M UTC'), $mode run"
  echo
  echo "Linux $(uname -r), $(nproc) cores, load average $load_before before and" \
    "$(cut -d' ' -f1-3 /proc/loadavg) after; $(( $(date +%s) - start )) s of measuring."
  echo "Peers: supervisor $(dpkg-query -W -f='${Version}' supervisor), runit $(dpkg-query -W -f='${Version}' runit)," \
    "s6 $(dpkg-query -W -f='${Version}' s6), daemontools $(dpkg-query -W -f='${Version}' daemontools)."
  echo "Figures: median [min – max] of repeated runs, or median, p99 and max of a latency distribution."
  echo
  cat "$out/table.md"
} | tee "$out/report.md"
echo
echo "restart-latency plot: $out/restart-latency.png"
