#!/usr/bin/env bash
# kestravo-host.exe and its clients under Wine: a host runs the programs of a file, each row asks
# it one thing and checks the exit code and a pattern of what it printed, then the host is stopped.
#   host_control_win.sh HOST HELPER_CHILD WORK_DIR
# Runs in the Wine prefix of scripts/wine.sh's wine_start (ctest inherits it from build-windows.sh).
set -u
. "$(dirname "$0")/../../scripts/wine.sh"
wine=$(wine_find wine64) || exit 1
host=$1 helper=$2 work=$3
rm -rf "$work" && mkdir -p "$work/state" || exit 1
cd "$work" || exit 1
# Under Wine the state directory is Z:\ and the path: the client names it as the host does.
state=state
cat > programs.txt <<EOF
$helper stop -
cmd.exe /c echo hello-from-printer
EOF
cat > more.txt <<EOF
$helper stop -
EOF

failures=0
# ask EXIT PATTERN ARGS...: runs a client (output into files, see wine.sh) and checks both.
ask() {
  local want=$1 pattern=$2 got
  shift 2
  "$wine" "$host" "$@" > out.txt 2>&1 < /dev/null
  got=$?
  if [ "$got" != "$want" ] || ! grep -Eq -- "$pattern" out.txt; then
    echo "FAIL: kestravo-host $* exited $got (want $want), output (want /$pattern/):"
    sed 's/^/  | /' out.txt
    failures=$((failures + 1))
  else
    echo "ok: kestravo-host $* -> $got"
  fi
}

# until_ok SECONDS EXIT PATTERN ARGS...: asks again until the answer matches, for a state to come.
until_ok() {
  local deadline=$(($(date +%s) + $1)) want=$2 pattern=$3
  shift 3
  while :; do
    "$wine" "$host" "$@" > out.txt 2>&1 < /dev/null
    [ $? = "$want" ] && grep -Eq -- "$pattern" out.txt && { echo "ok: kestravo-host $* -> $want"; return 0; }
    [ "$(date +%s)" -lt "$deadline" ] || { ask "$want" "$pattern" "$@"; return 1; }
  done
}

ask 5 "no host is running on the state directory" --state-dir $state status
# What a program tells the library through its channel (itself, with KESTRAVO_ChildNotify, from
# inside its job): ready reached; a missed ping ends it with cause watchdog and restart never
# leaves it ended; so does not being ready in time; on-failure leaves a success code ended.
# A ready descriptor is Linux's alone.
ask 2 "ready = fd N is Linux-only" --state-dir $state --for 1 --ready "fd 3" -- "$helper" stop -
mkdir -p told
"$wine" "$host" --state-dir told -- --name ready --ready notify "$helper" notify - say:READY=1 \
  ::: --name dog --ready notify --watchdog 1s --grace 1s --restart never "$helper" notify - say:READY=1 \
  ::: --name late --ready notify --ready-timeout 1s --grace 1s --restart never "$helper" notify - deaf \
  ::: --name done --restart on-failure --success-exit 0,3 "$helper" exit - 100 3 > told.txt 2>&1 < /dev/null &
told_pid=$!
until_ok 60 0 "ready +[0-9]+ +[0-9]+ +[^ ]+ +ready " --state-dir told status ready
until_ok 60 3 "dog .* exited +- +0 +watchdog \(no ping in 1(\.00)? s\)" --state-dir told status dog
until_ok 60 3 "late .*exited .*not ready after 1(\.00)? s" --state-dir told status late
until_ok 60 3 "done .*exited .*exited with code 3" --state-dir told status done
ask 0 "ready +[0-9]+ +[0-9]+ +[^ ]+ +ready " --state-dir told status ready
kill -INT "$told_pid"
deadline=$(($(date +%s) + 60))
while kill -0 "$told_pid" 2>/dev/null && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
kill -0 "$told_pid" 2>/dev/null && { echo "FAIL: the host of the told programs did not end"; kill -KILL "$told_pid"; failures=$((failures + 1)); }
"$wine" "$host" --state-dir $state --file programs.txt > host.txt 2>&1 < /dev/null &
host_pid=$!
until_ok 60 0 "helper_child.exe .*running" --state-dir $state status helper_child.exe
ask 0 "status \[--json\] \[NAME...\]" --help
ask 0 '"name": "helper_child.exe"' --state-dir $state status --json helper_child.exe
ask 4 "no program named nosuch" --state-dir $state status nosuch
ask 1 "signal is refused on Windows, which has no signals" --state-dir $state signal helper_child.exe HUP
ask 0 "stopped helper_child.exe" --state-dir $state stop helper_child.exe
ask 3 "helper_child.exe .*stopped" --state-dir $state status helper_child.exe
ask 0 "started helper_child.exe .*it runs" --state-dir $state start helper_child.exe
ask 0 "restarted helper_child.exe" --state-dir $state restart helper_child.exe
ask 1 "no program named nosuch" --state-dir $state restart nosuch
ask 2 "stop needs the NAME" --state-dir $state stop
until_ok 60 0 "hello-from-printer" --state-dir $state log cmd.exe -n 5
cp more.txt programs.txt
ask 0 "reloaded: stopped cmd.exe; unchanged helper_child.exe" --state-dir $state reload

# Stopped as a console's Ctrl-C stops it; its clients then find no host.
kill -INT "$host_pid"
deadline=$(($(date +%s) + 60))
while kill -0 "$host_pid" 2>/dev/null && [ "$(date +%s)" -lt "$deadline" ]; do sleep 0.2; done
if kill -0 "$host_pid" 2>/dev/null; then
  echo "FAIL: the host did not end on Ctrl-C"
  kill -KILL "$host_pid"
  failures=$((failures + 1))
fi
ask 5 "no host is running" --state-dir $state status
[ $failures = 0 ] || { echo "host output:"; sed 's/^/  | /' host.txt; }
exit $((failures != 0))
