#!/usr/bin/env bash
# Does the suite catch the mistakes a developer makes? Plants one-line faults, one at a time, into
# the source tree a build directory was configured from, rebuilds it, runs the whole suite, puts
# the file back, and prints per fault which tests caught it.
#
#   tests/scripts/planted_faults.sh BUILD_DIR [--no-slow] [--only REGEX] [--jobs N]
#
# BUILD_DIR: a configured build (RelWithDebInfo is what the rows were made against), built once
# already. Use a scratch clone: the planted files are rewritten in place, and a build of a tree you
# are editing would pick up your half-done work. Exit status: 0 when every planted fault was
# caught, 1 when one was not, 2 when the unfaulted suite fails.
set -u

build= slow=1 only= jobs=2
while [ $# -gt 0 ]; do
  case $1 in
    --no-slow) slow=0 ;;
    --only) only=$2; shift ;;
    --jobs) jobs=$2; shift ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) build=$1 ;;
  esac
  shift
done
[ -n "$build" ] && [ -f "$build/CMakeCache.txt" ] || { echo "usage: $0 BUILD_DIR [--no-slow] [--only REGEX] [--jobs N]" >&2; exit 2; }
build=$(cd "$build" && pwd)
src=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
[ -d "$src" ] || { echo "no source tree for $build" >&2; exit 2; }

# area|tests of that area (an ERE over ctest names): a catch by none of them is re-run once.
areas='queue|ProcessLauncherTest|ProcessControl|Concurrency|Thread/Callbacks
guard|RunningGuard|ProcessControl|End/Trees|Recovery|HostToolTest.Supervises
spacing|ProcessControl.Restarts|HostToolTest.Supervises
stops|ProcessControl|End/Trees|Thread/Callbacks|Destroy/StopRaces|ProcessLauncherTest|api_e2e|HostToolTest.Shows
trees|^Process\.|End/Trees|HostKill
adapter|HostToolTest|^Process\.TheWholeTree|End/Trees
statetext|StateFileText|ConfigTest|Recovery|HostKill
trust|ConfigTest|Recovery|HostToolTest.StateDirectory
recovery|Recovery|ChildIdentity|HostToolTest.RunsOrdinary
events|Event|ProcessControl|Thread/Callbacks|Recovery
pool|HpidPool|ProcessControl|Concurrency
host|HostToolTest
settings|HostToolTest|^Process\.|api_e2e
control|HostToolTest
wording|ExitText|CommandLine|ChildIdentity|HostToolTest'

# area~file~the text as it is (once in the file; \n for a line break, \x27 for a quote)~the text with
# the fault~what it does
faults='queue~src/launcher/process_launcher.cpp~task.notBefore = Clock::now() + kStartRetryPeriod;~task.notBefore = Clock::now();~a failed start is retried at once, not after the retry period
queue~src/launcher/process_launcher.cpp~if (IsStartTask(queued.type) && queued.process.cmdLine == process.cmdLine) {~if (IsStopTask(queued.type) && queued.process.cmdLine == process.cmdLine) {~a second start of a queued record is queued again
queue~src/launcher/process_launcher.cpp~if (IsStartTask(queued.type) && queued.process.cmdLine == process.cmdLine) {~if (IsStartTask(queued.type) && queued.process.hpid == process.hpid) {~a create is dropped behind the relaunch of its hpid\x27s former record
queue~src/launcher/process_launcher.cpp~if (it->type != TASK_CREATE || it->process.hpid != hpid) continue;~if (it->type != TASK_CREATE && it->process.hpid != hpid) continue;~cancelling a start takes the first queued task of any record
queue~src/launcher/process_launcher.cpp~if (it->type != TASK_CREATE || it->process.hpid != hpid) continue;~if (!IsStartTask(it->type) || it->process.hpid != hpid) continue;~cancelling a start takes the relaunch of the hpid\x27s former record
guard~src/guard/running_guard.cpp~if (handle == nullptr || snapshot[i].state != PROCESS_RUNNING) continue;~if (handle == nullptr) continue;~children being restarted are watched as running
guard~src/guard/running_guard.cpp~return now != check.end() && now->hpid == snapshot[i].hpid && now->state == PROCESS_RUNNING &&~return now != check.end() && now->hpid == snapshot[i].hpid &&~an exit during a requested restart counts as unasked
spacing~src/manager/restart_policy.cpp~for (uint32_t n = 1; n < youngExits && spacing < cap; ++n)~for (uint32_t n = 1; n <= youngExits && spacing < cap; ++n)~the first spacing is 200 ms, not 100
spacing~src/manager/restart_policy.cpp~return kestravo::IsYoungExit(runMs) ? youngExits + 1 : 0;~return kestravo::IsYoungExit(runMs) ? youngExits + 1 : youngExits;~a long run does not end the spacing
stops~src/launcher/process_launcher.cpp~Clock::now() + std::chrono::milliseconds(task.graceMs);~Clock::now();~a destroy kills without waiting out the grace
stops~src/launcher/process_launcher.cpp~  const uint64_t id = ++lastStopId;\n  ZOL_SetEvent(task.process.namedEvent.Get());~  const uint64_t id = ++lastStopId;~a destroy never sets the stop event
stops~src/launcher/process_launcher.cpp~const bool ended = std::binary_search(endedChildren.begin(), endedChildren.end(), handle) ||~const bool ended =~a destroy whose child ended waits out its grace all the same
stops~src/manager/process_mgr_requests.cpp~  stops_.erase(it);\n  GetHpidPool()->Free(static_cast<int32_t>(process.hpid));\n  return true;~  stops_.erase(it);\n  return true;~a confirmed stop keeps its hpid
trees~src/platform/posix/process_groups.cpp~if (PidfdSignal(pidfd, signal, kProcessGroup) == 0) return 1;~if (PidfdSignal(pidfd, signal, 0) == 0) return 1;~no cgroup: the group kill signals the pid, not the group
trees~src/platform/posix/process_groups.cpp~return PidfdSignal(pidfd, 0, 0) == 0 && kill(-pgid, signal) == 0;~return PidfdSignal(pidfd, 0, 0) == 0 && kill(pgid, signal) == 0;~no cgroup, kernel before 6.9: the pid, not the group
trees~src/platform/posix/process.cpp~if (!cgroup_.empty() && !CgroupEmpty(cgroup_)) {~if (cgroup_.empty() && !CgroupEmpty(cgroup_)) {~the cgroup is not killed with the child
adapter~tools/kestravo-run/run_posix.cpp~while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {~while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {~the adapter loses the program exit status
adapter~tools/kestravo-run/run_posix.cpp~SignalProgram(pid, request.stopSignal);~SignalProgram(pid, SIGTERM);~the stop event always becomes SIGTERM
adapter~tools/kestravo-run/run_posix.cpp~pthread_sigmask(SIG_UNBLOCK, &one, nullptr);~pthread_sigmask(SIG_BLOCK, &one, nullptr);~the adapter exits 128+N instead of dying of the signal
adapter~tools/kestravo-run/run_posix.cpp~(pgrp == self || (programGroup != 0 && pgrp == programGroup))~(ppid == self || (programGroup != 0 && pgrp == programGroup))~what the program left in the group outlives it
statetext~src/state/state_file_text.cpp~if (!ParseNumber(hpid, KESTRAVO_MAX_HPID - 1, &config.hpid)) {~if (!ParseNumber(hpid, KESTRAVO_MAX_HPID, &config.hpid)) {~an hpid one past the last is read
statetext~src/state/state_file_text.cpp~      seen[config.hpid] = true;~      // seen[config.hpid] = true;~a second entry for an hpid is kept
trust~src/platform/posix/state_file_posix.cpp~} else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {~} else if ((status.st_mode & S_IWOTH) != 0) {~a group-writable state file is trusted
trust~src/common/state_dir_rule.h~return dir.substr(0, dir.find(\x27:\x27));~return dir.substr(0, dir.find(\x27:\x27) + 1);~the first of several systemd state directories keeps its colon
recovery~src/platform/posix/process_identity_posix.cpp~bool matches = window.size() >= tail.size() && window.compare(window.size() - tail.size(), tail.size(), tail) == 0;~bool matches = window.find(tail) != std::string::npos;~a command line that holds the marker anywhere is the child
recovery~src/manager/process_mgr_recovery.cpp~  if (identity != ProcessIdentity::kMatches) {\n    KESTRAVO_LOG_CODE~  if (identity == ProcessIdentity::kGone) {\n    KESTRAVO_LOG_CODE~an attach adopts a process that took over the pid
events~src/platform/posix/event.cpp~Futex(word_, FUTEX_WAKE, manualReset_ ? INT_MAX : 1, nullptr);~Futex(word_, FUTEX_WAKE, 1, nullptr);~a manual-reset event wakes one waiter only
events~src/platform/posix/event.cpp~stored && !manualReset_ ? 1 : INT_MAX~stored ? 1 : INT_MAX~a named manual-reset event wakes one waiter only
events~src/platform/posix/event.cpp~  DrainPollFd();~  // DrainPollFd();~a reset event still polls as set
events~src/launcher/child_identity.cpp~reset == StopEventReset::kManual ? TRUE : FALSE~FALSE~an adopted child\x27s stop is taken by one wait
wording~src/common/exit_text.cpp~const unsigned long long hundredths = (n + 5) / 10;~const unsigned long long hundredths = n / 10;~run times are cut, not rounded
wording~src/common/child_marker.cpp~at = strstr(at + 1, kChildMarker)) marker = at;~at = nullptr) marker = at;~a marker in the caller\x27s text is taken for the library\x27s
wording~src/common/command_line.cpp~out.append(c == \x27"\x27 ? 2 * backslashes + 1 : backslashes~out.append(c == \x27"\x27 ? backslashes + 1 : backslashes~backslashes before a quoted quote are not doubled
pool~src/manager/hpid_pool.cpp~for (uint32_t i = 0; i < KESTRAVO_MAX_HPID; ++i) {~for (uint32_t i = 0; i < KESTRAVO_MAX_HPID - 1; ++i) {~the last hpid is never handed out
host~tools/kestravo-host/supervisor.cpp~if (endedAt - askedAt >= std::chrono::milliseconds(graceMs)) {~if (endedAt - askedAt <= std::chrono::milliseconds(graceMs)) {~a graceful stop is shown as a kill
host~tools/kestravo-host/supervisor.cpp~      child.exitShown = false;~      // child.exitShown = false;~after a restart, exits are no longer shown
host~tools/kestravo-host/host_os_posix.cpp~(st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)~(st.st_mode & (S_IWGRP | S_IWOTH)) && (st.st_mode & S_ISVTX)~a state directory others may write is used
settings~tools/kestravo-host/programs_file.cpp~if (!read.keys.insert(key).second && !setting->repeatable) return~if (!read.keys.insert(key).second) return~a second env line in a section is refused
settings~tools/kestravo-host/programs_file.cpp~  command->setEnv.insert(command->setEnv.begin(), defaults.setEnv.begin(), defaults.setEnv.end());~  // command->setEnv.insert(command->setEnv.begin(), defaults.setEnv.begin(), defaults.setEnv.end());~an --env before the -- reaches no program
settings~tools/kestravo-host/programs_file.cpp~unit == "m" ? 60000 : 0~unit == "m" ? 1000 : 0~a grace in minutes is taken as seconds
settings~tools/kestravo-host/programs_file.cpp~if (c.outputKeep >= 0) options +=~if (c.outputKeep > 0) options +=~output-keep = 0 from the programs file never reaches kestravo-run
settings~tools/kestravo-run/main.cpp~SetEnvironment(pair.substr(0, equals).c_str(), pair.substr(equals + 1));~SetEnvironment(pair.substr(0, equals).c_str(), pair.substr(equals));~an env value keeps its equals sign
settings~tools/kestravo-run/run_posix.cpp~setgroups(c.groups.size(), c.groups.data()) != 0 || setgid~setgid~a program run as another user keeps the groups of root
settings~tools/kestravo-run/run_posix.cpp~    setenv("HOME", home.c_str(), 1);~    // setenv("HOME", home.c_str(), 1);~a program run as another user keeps the HOME of root
settings~src/platform/posix/process_remains_posix.cpp~if (strncmp(*entry, "KESTRAVO_", 9) == 0 ||~if (strncmp(*entry, "KESTRAVO_HPID=", 14) == 0 ||~children inherit all KESTRAVO_ variables of the host but one
settings~src/platform/posix/process_remains_posix.cpp~ || strncmp(*entry, "STATE_DIRECTORY=", 16) == 0) continue;~) continue;~children inherit the host\x27s STATE_DIRECTORY
control~tools/kestravo-host/control_commands.cpp~a.cmdLine == b.cmdLine && a.graceMs == b.graceMs &&~a.cmdLine == b.cmdLine &&~a reload keeps a program whose grace changed
control~tools/kestravo-host/control_commands.cpp~      keep.insert(it->first);\n      ++it;~      ++it;~a reload starts a program stopped by hand
control~tools/kestravo-host/control_commands.cpp~*answer = restart ? StartByName(name) : Answer{0, name + " is stopped already"};~*answer = Answer{0, name + " is stopped already"};~restart leaves a stopped program stopped
control~tools/kestravo-host/control_commands.cpp~  to->restarts = from.restarts;~  // to->restarts = from.restarts;~status counts restarts afresh after a restart by hand
control~tools/kestravo-host/control_commands.cpp~child.leftEnded || child.restartFailed ? kExited~child.leftEnded ? kExited~a program whose restart failed shows as waiting to restart
control~tools/kestravo-host/supervisor.cpp~if (child.waiting && AfterReady(child.command))~if (child.waiting)~a program starts before the programs its after names are ready
control~tools/kestravo-host/control_socket_posix.cpp~if (chmod(path.c_str(), 0600) != 0 ||~if (chmod(path.c_str(), 0666) != 0 ||~anyone may connect to the control socket
control~tools/kestravo-host/control_socket_posix.cpp~    if (unlink(path.c_str()) != 0) {~    if (true) {~the socket of a killed host leaves the next one without control
control~tools/kestravo-host/control_socket_posix.cpp~(peer.uid != 0 && peer.uid != geteuid())~(peer.uid != 0 && peer.uid == 12345)~the client believes a listener of any user
control~tools/kestravo-host/control_socket_posix.cpp~  if (peer.uid == 0 || peer.uid == geteuid()) return Access::kControl;~  return Access::kControl;~the host serves a client of any user as its own
adapter~tools/kestravo-run/output_file.cpp~rotateAt_ = size_ + options_.maxBytes;~rotateAt_ = options_.maxBytes;~a rotation that cannot be done spins
trust~src/platform/posix/state_file_posix.cpp~!S_ISREG(status.st_mode) || status.st_nlink != 1 || status.st_uid != geteuid()~!S_ISREG(status.st_mode) || status.st_uid != geteuid()~a hard link planted as the state file\x27s lock is written through
control~tools/kestravo-host/control_commands.cpp~if (!Printable(request.line)) {~if (request.line.empty()) {~a request with control characters is taken'

planted=  # the file that holds a fault now, and its text as it was
restore() {
  [ -n "$planted" ] && cp "$build/.planted_original" "$src/$planted"  # a new mtime: rebuilt next time
  planted=
}
trap 'restore; exit 130' INT TERM
trap restore EXIT

# Replaces the only occurrence of $2 by $3 in $1 (\n and \x27 as written above): 0 planted,
# 3 not found, 4 more than once.
plant() {
  python3 - "$1" "$2" "$3" <<'PY'
import sys
path, old, new = sys.argv[1:]
unescape = lambda s: s.replace('\\n', '\n').replace('\\x27', "'")
old, new = unescape(old), unescape(new)
text = open(path).read()
n = text.count(old)
if n != 1:
    sys.exit(3 if n == 0 else 4)
open(path, 'w').write(text.replace(old, new))
PY
}

rebuild() { cmake --build "$build" -j "$jobs" >"$build/.planted_build.log" 2>&1; }

# Runs the suite; prints the failed tests' names, one a line. Status 0 when all passed.
suite() {
  local label=()
  [ "$slow" = 1 ] || label=(-LE slow)
  (cd "$build" && ctest -j "$jobs" --timeout 180 --output-on-failure "${label[@]}" >"$build/.planted_ctest.log" 2>&1)
  local rc=$?
  sed -n '/The following tests FAILED/,$s/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$build/.planted_ctest.log" |
    sed 's/[[:space:]].*//'
  return $rc
}

# "caught by A, B, C (+N)".
caught_text() {
  local names=("$@")
  local text="caught by ${names[*]:0:3}"
  text=${text// /, }; text=${text/caught,/caught}; text=${text/by,/by}
  [ ${#names[@]} -gt 3 ] && text+=" (+$(( ${#names[@]} - 3 )))"
  echo "$text"
}

started=$(date +%s)
rebuild || { echo "the unfaulted tree does not build: see $build/.planted_build.log"; exit 2; }
t0=$(date +%s)
mapfile -t failed < <(suite)
if [ ${#failed[@]} -gt 0 ] || ! grep -q '100% tests passed' "$build/.planted_ctest.log"; then
  echo "the unfaulted suite fails (${failed[*]:-see $build/.planted_ctest.log}): a fault it catches proves nothing"
  exit 2
fi
echo "unfaulted suite: passed in $(( $(date +%s) - t0 )) s$([ "$slow" = 1 ] || echo ' (slow tests left out)')"

missed=0
while IFS='~' read -r area file old new what; do
  [ -z "$area" ] && continue
  [ -n "$only" ] && ! [[ "$area|$what" =~ $only ]] && continue
  line="$area | ${what//\\x27/\'} |"
  cp "$src/$file" "$build/.planted_original"
  plant "$src/$file" "$old" "$new"
  case $? in
    0) planted=$file ;;
    3) echo "$line not applied (text not found in $file)"; continue ;;
    *) echo "$line not applied (text found more than once in $file)"; continue ;;
  esac
  if ! rebuild; then
    echo "$line does not build"
    restore
    continue
  fi
  mapfile -t failed < <(suite)
  if [ ${#failed[@]} -eq 0 ]; then
    if grep -q '100% tests passed' "$build/.planted_ctest.log"; then
      echo "$line NOT CAUGHT"
      missed=1
    else
      echo "$line caught, but ctest named no test: see $build/.planted_ctest.log"
    fi
    restore
    continue
  fi
  result=$(caught_text "${failed[@]}")
  related=$(printf '%s\n' "$areas" | sed -n "s/^$area|//p")
  if ! printf '%s\n' "${failed[@]}" | grep -qE "$related"; then
    # Only tests of other areas failed: by chance, perhaps. Once more.
    mapfile -t again < <(suite)
    if [ ${#again[@]} -eq 0 ]; then
      result+="; NOT CAUGHT on the re-run"
    else
      result+="; re-run: $(caught_text "${again[@]}")"
    fi
  fi
  echo "$line $result"
  restore
done <<<"$faults"

restore
rebuild || echo "the restored tree does not build: see $build/.planted_build.log"
echo "done in $(( $(date +%s) - started )) s"
exit $missed
