#include "supervisor.h"

#include <stdio.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

#include "common/child_marker.h"
#include "common/command_line.h"
#include "common/exit_text.h"
#include "common/young_exit.h"
#include "host_os.h"

namespace kestravo_host {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string ChildText(uint32_t hpid, uint32_t pid, const std::string& what) {
  return "hpid " + std::to_string(hpid) + "  pid " + (pid ? std::to_string(pid) : "?") + "  " + what;
}

namespace {

constexpr size_t kTailLines = 10;
constexpr auto kSlowStart = std::chrono::seconds(2);
constexpr auto kFirstLook = std::chrono::milliseconds(50);  // a start takes a few milliseconds
constexpr auto kLongestLook = std::chrono::seconds(30);
constexpr auto kRestartRetry = std::chrono::seconds(30);  // the library's, after a failed restart

std::string Meaning(int32_t result) {
  switch (result) {
    case KESTRAVO_INVALID_ARGUMENT: return "bad argument: no such program, or no such hpid or process";
    case KESTRAVO_NO_RESOURCE: return "no free hpid, or an event could not be created";
    case KESTRAVO_NOT_INITIALISED: return "not initialised";
    case KESTRAVO_ALREADY_MANAGED: return "that hpid is managed already";
    default: return "unexpected result";
  }
}

// Whether text is what a report shows of full: the whole of it, or its end when it was too long.
bool ShownAs(const std::string& full, const std::string& text) {
  return full.size() >= text.size() && full.compare(full.size() - text.size(), text.size(), text) == 0 &&
         (full.size() == text.size() || text.size() == sizeof(AttachableProcInfo::cmdLine) - 1);
}

// The size of a program's output file, 0 when it cannot be read. Like every read of that file,
// through ReadOwnFile: the program, maybe run as another user, may have put a link or a FIFO there.
std::streamoff FileSize(const std::string& path, const std::string& user) {
  std::string text, why;
  uint64_t size = 0;
  return ReadOwnFile(path, 0, 0, &text, &size, &why, user) ? static_cast<std::streamoff>(size) : 0;
}

// The last lines of a text file written after offset start (all of a file since started anew);
// empty, with *why, when it cannot be read. user: the program's, who owns the file.
std::vector<std::string> LastLinesOfFile(const std::string& path, const std::string& user, size_t count,
                                         std::streamoff start, std::string* why) {
  std::string text;
  uint64_t length = 0;
  if (!ReadOwnFile(path, 0, 0, &text, &length, why, user) || length == 0) return {};
  const std::streamoff size = static_cast<std::streamoff>(length);
  if (start > size) start = 0;
  std::streamoff from = std::max<std::streamoff>(start, size - 16384);
  if (!ReadOwnFile(path, static_cast<uint64_t>(from), 16384, &text, &length, why, user)) return {};
  std::vector<std::string> lines;
  std::istringstream split(text);
  for (std::string line; std::getline(split, line);) lines.push_back(line);
  if (from > start && !lines.empty()) lines.erase(lines.begin());  // cut in the middle
  if (lines.size() > count) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(count));
  return lines;
}

// What an adopted adapter's recorded arguments say: its output file and stop signal, and the
// program with its arguments (returned).
std::string ReadAdapterLine(const std::string& recorded, std::string* output, std::string* stopSignal) {
  std::vector<std::string> args = kestravo::SplitArguments(recorded);
  size_t i = 0;
  // Every option of the adapter takes a value, which may be "--" itself.
  for (; i + 1 < args.size() && args[i] != "--"; i += 2) {
    if (args[i] == "--output") *output = args[i + 1];
    else if (args[i] == "--stop-signal") *stopSignal = args[i + 1];
  }
  std::string shown;
  for (++i; i < args.size(); ++i) shown += (shown.empty() ? "" : " ") + kestravo::QuoteArgument(args[i]);
  return shown;
}

// "a, b".
std::string NamesText(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// The cause as status --json names it.
std::string CauseName(uint32_t cause) {
  switch (cause) {
    case KESTRAVO_CAUSE_EXITED: return "exited";
    case KESTRAVO_CAUSE_SIGNAL: return "signal";
    case KESTRAVO_CAUSE_WATCHDOG: return "watchdog";
    case KESTRAVO_CAUSE_NOT_READY: return "not ready";
    case KESTRAVO_CAUSE_OUT_OF_MEMORY: return "out of memory";
    default: return "";
  }
}

}  // namespace

bool Supervisor::IsReady(const Child& child) {
  return child.startCounted && !child.exitShown && (child.command.ready.empty() ? child.running : child.ready);
}

bool Supervisor::AfterReady(const Command& command) const {
  return std::all_of(command.after.begin(), command.after.end(), [&](const std::string& name) {
    uint32_t hpid = 0;
    return FindChild(name, &hpid) && IsReady(children_.at(hpid));
  });
}

void Supervisor::StartWaiting() {
  if (ending_) return;
  std::vector<std::string> names;
  for (const auto& [name, child] : stopped_) {
    if (child.waiting && AfterReady(child.command)) names.push_back(name);
  }
  for (const std::string& name : names) {
    Child old = std::move(stopped_.at(name));
    stopped_.erase(name);
    std::string why = old.command.cannotRun.empty() ? "" : "cannot run " + old.command.given + ": " + old.command.cannotRun;
    uint32_t hpid = 0;
    if (why.empty() && StartCommand(old.command, &why) && FindChild(name, &hpid)) {
      Carry(old, &children_.at(hpid));
      Line(name + ": " + NamesText(old.command.after) + " ready; starting it");
      continue;
    }
    Line(why);
    stopped_[name] = Failed(old.command, &old, why);
  }
}

void Supervisor::NotifyWhenReady() {
  if (serviceNotify_.empty()) return;
  // Programs in trouble (one that has ended, failed to start or restart) do not hold the
  // service's start up, nor do stopped ones: status shows them.
  for (const auto& [hpid, child] : children_) {
    if (!IsReady(child) && child.ends == 0 && !child.restartFailed && !child.slowStartNoted) return;
  }
  for (const auto& [name, child] : stopped_) {
    if (child.waiting) return;
  }
  std::string why;
  if (NotifyServiceManager(serviceNotify_, "READY=1", &why)) Line("told the service manager that the host is ready");
  else Line("cannot tell the service manager that the host is ready: " + why);
  serviceNotify_.clear();
}

void RestartTimes::Add(double ms) {
  samples_[count_++ % kSamples] = ms;
  max_ = std::max(max_, ms);
}

std::string RestartTimes::Text() const {
  if (count_ == 0) return "none";
  std::vector<double> times(samples_.begin(), samples_.begin() + std::min<uint64_t>(count_, kSamples));
  std::sort(times.begin(), times.end());
  size_t n = times.size();
  double median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  return "median " + Fixed(median, 1) + " ms" + (count_ > kSamples ? " (of the last " + std::to_string(n) + ")" : "") +
         ", maximum " + Fixed(max_, 1) + " ms (" + std::to_string(count_) + " restarts timed)";
}

Supervisor::Supervisor(Library library, Options options, std::vector<std::string> args)
    : library_(std::move(library)), options_(std::move(options)), args_(std::move(args)), tty_(StdoutIsTerminal()) {}

int Supervisor::Run() {
  startedAt_ = Clock::now();
  serviceNotify_ = TakeServiceNotifySocket();
  library_.SetMsgCallBack(RecordMessage, &queue_);  // before Init: the reports of survivors come in it
  std::string log;
  int32_t result = KESTRAVO_OK;
  if (!InitWithLog(library_, &result, &log)) {
    fprintf(stderr, "kestravo-host: %s\n", log.c_str());
    return 2;
  }
  std::string stateDir = StateDir();
  printf("kestravo-host: library %s, state file %s%s\n  library log: %s\n", library_.path.c_str(),
         InDirectory(stateDir, "kestravo.xml").c_str(), DirectoryWritable(stateDir) ? "" : " (cannot be written: see the log)", log.c_str());
  if (!options_.outputNote.empty()) printf("  programs' output: %s\n", options_.outputNote.c_str());
  // What a service manager's stop time-out must cover.
  const StopTime stopTime = StopTimeOf(options_.commands);
  if (stopTime.ordered) printf("  stop: each program once those after it have stopped, within %s\n", stopTime.text.c_str());
  else printf("  stop: all programs at once, within the longest grace (%s) and 2 s\n", stopTime.text.c_str());
  for (const Command& command : options_.commands) {
    if (!command.output.empty()) printf("  output of %s: %s\n", command.given.c_str(), command.output.c_str());
  }
  if (result == KESTRAVO_STATE_BUSY) {
    // The holder wrote its pid into the lock file beside the state file; the library refuses a
    // lock planted there as well, which is read with the same care.
    const std::string lock = InDirectory(stateDir, "kestravo.xml.lock");
    std::string text, why;
    uint64_t size = 0;
    if (!ReadOwnFile(lock, 0, 24, &text, &size, &why)) {
      fprintf(stderr, "kestravo-host: cannot use the state file's lock %s: %s; not started\n", lock.c_str(), why.c_str());
      return 2;
    }
    std::string holder = text.substr(0, text.find_first_not_of("0123456789"));
    fprintf(stderr, "kestravo-host: the state file %s belongs to another running host (pid %s): not started; "
                    "its children stay with it. Give this host another --state-dir.\n",
            InDirectory(stateDir, "kestravo.xml").c_str(), holder.empty() ? "unknown" : holder.c_str());
    return 2;
  }
  if (result != KESTRAVO_OK) {
    fprintf(stderr, "kestravo-host: KESTRAVO_Init answered %d\n", result);
    return 1;
  }
  // Only now: the state file's lock says that no other host runs here, so a socket left
  // behind is a dead host's.
  std::string controlPath = InDirectory(stateDir, kControlSocketName), why, groupWhy;
  bool listening = control_.Listen(controlPath, options_.statusGroup, [this] { queue_.Nudge(); }, &why);
  if (!listening && !options_.statusGroup.empty()) {
    // A group that cannot be given the socket leaves it to the host's user and root, not to no one.
    groupWhy = "; no status group: " + why;
    listening = control_.Listen(controlPath, "", [this] { queue_.Nudge(); }, &why);
  }
  if (listening) {
    printf("  control: kestravo-host status, log, signal, start, stop, restart NAME, reload (at %s%s)\n", controlPath.c_str(),
           (groupWhy.empty() && !options_.statusGroup.empty() ? "; group " + options_.statusGroup + " may read status and log" : groupWhy).c_str());
  } else {
    printf("  control: none: %s\n", why.c_str());
  }
  fflush(stdout);
  Adopt();  // before any start: until then an old child's hpid may be handed out again
  stateFile_ = InDirectory(stateDir, kHostStateName);
  RestoreRecords();
  StartCommands();
  // A host with a programs file runs on with none running: a reload or start NAME may start them.
  bool someListed = std::any_of(stopped_.begin(), stopped_.end(), [](const auto& e) { return e.second.failedWhy.empty(); });
  if (children_.empty() && (options_.files.empty() ? !someListed : stopped_.empty())) {
    Line("nothing to supervise");
    library_.Uninit();
    return 1;
  }
  Supervise();
  StopAll();
  PrintSummary();
  return refused_ == 0 ? 0 : 1;
}

void Supervisor::Adopt() {
  std::vector<bool> taken(options_.commands.size(), false);
  for (Message& m : queue_.TakeAll()) {
    if (m.type != MSG_ATTACHABLE) continue;
    bool viaAdapter = IsAdapter(m.exePath);
    std::string shown = kestravo::TextBeforeChildMarker(m.cmdLine), output, stopSignal;
    shown = viaAdapter ? ReadAdapterLine(shown, &output, &stopSignal) : m.exePath + " " + shown;
    shown.erase(shown.find_last_not_of(' ') + 1);
    Line(ChildText(m.hpid, m.pid, "adoptable: " + shown), m.wallAt);
    int32_t result = library_.Attach(m.hpid, m.pid);
    if (result != KESTRAVO_OK) {
      Line(ChildText(m.hpid, m.pid, "not adopted: KESTRAVO_Attach answered " +
                                        std::to_string(result) + " (" + Meaning(result) + ")"));
      continue;
    }
    Child& child = children_[m.hpid];
    child.command.shown = shown;
    child.command.program = m.exePath;
    child.command.cmdLine = kestravo::TextBeforeChildMarker(m.cmdLine);
    child.pid = m.pid;
    child.running = true;
    child.adopted = true;
    child.startCounted = true;
    child.command.viaAdapter = viaAdapter;
    child.command.output = output;
    child.command.stopSignal = stopSignal;
    child.runningSince = Clock::now();
    child.runningSinceWall = std::chrono::system_clock::now();
    watch_.Watch(m.pid);
    ++adopted_;
    std::string note;
    for (size_t i = 0; i < options_.commands.size(); ++i) {
      const Command& c = options_.commands[i];
      size_t marker = kestravo::FindChildMarker(m.cmdLine);
      if (!taken[i] && marker != std::string::npos && ShownAs(c.program, m.exePath) &&
          ShownAs(c.cmdLine + m.cmdLine.substr(marker), m.cmdLine)) {
        taken[i] = true;
        child.command = c;
        note += " (one of this run's commands: not started again)";
        break;
      }
    }
    if (child.command.name.empty()) {
      // Named after its program as a command would be, after this run's own names.
      std::vector<std::string> words = kestravo::SplitArguments(shown);
      std::vector<Command> named = options_.commands;
      for (const auto& entry : children_) {
        if (!entry.second.command.name.empty()) named.push_back(entry.second.command);
      }
      named.push_back(Command());
      named.back().program = words.empty() ? m.exePath : words[0];
      NameCommands(&named);
      child.command.name = named.back().name;
      child.ofThisRun = false;
      note += " (as " + child.command.name + ")";
    }
    Line(ChildText(m.hpid, m.pid, "adopted" + note + (output.empty() ? "" : " (output: " + output + ")")));
  }
  std::vector<Command> rest;
  for (size_t i = 0; i < options_.commands.size(); ++i) {
    if (!taken[i]) rest.push_back(options_.commands[i]);
  }
  options_.commands.swap(rest);
}

void Supervisor::StartCommands() {
  std::string why;
  for (const Command& command : options_.commands) {
    auto record = records_.find(command.name);
    if ((record != records_.end() && record->second.stoppedByHand) || command.autostart == 0) {
      Child& child = stopped_[command.name];
      child.command = command;
      if (record != records_.end()) {
        child.byHand = record->second.stoppedByHand;
        child.restarts = record->second.restarts;
        child.lastExit = record->second.lastExit;
      }
      Line(command.name + " not started: " + (child.byHand ? "it was stopped by hand" : "autostart is off") +
           "; start " + command.name + " starts it");
    } else if (!command.after.empty() && !AfterReady(command)) {
      Child& child = stopped_[command.name];
      child.command = command;
      child.waiting = true;
      if (record != records_.end()) {
        child.restarts = record->second.restarts;
        child.lastExit = record->second.lastExit;
      }
      Line(command.name + " waits until " + NamesText(command.after) + " " + (command.after.size() == 1 ? "is" : "are") + " ready");
    } else if (!command.cannotRun.empty()) {
      why = "cannot run " + command.given + ": " + command.cannotRun;
      Line(why + "; " + command.name + " is shown as failed, and tried again at a reload or start " + command.name);
      stopped_[command.name] = Failed(command, nullptr, why);
    } else if (!StartCommand(command, &why)) {
      Line(why);
      ++refused_;
      stopped_[command.name] = Failed(command, nullptr, why);
    }
  }
}

void Supervisor::RestoreRecords() {
  std::string why;
  if (!ReadRecords(stateFile_, &records_, &why)) Line("the host's state file " + stateFile_ + " is not used: " + why);
  const auto wallNow = std::chrono::system_clock::now();
  const Clock::time_point now = Clock::now();
  for (auto& [hpid, child] : children_) {
    auto it = records_.find(child.command.name);
    if (!child.adopted || it == records_.end()) continue;
    const ProgramRecord& r = it->second;
    child.restarts = r.restarts;
    child.lastExit = r.lastExit;
    const std::chrono::system_clock::time_point wall{std::chrono::milliseconds(std::min<int64_t>(r.startedAtMs, int64_t{1} << 50))};
    // Only the process recorded: one started since, unrecorded, keeps the time of its adoption.
    if (r.startedAtMs >= 0 && r.startedAtMs < (int64_t{1} << 50) && r.pid == child.pid && wall <= wallNow && wallNow - wall < std::chrono::hours(24 * 3650)) {
      child.runningSinceWall = wall;
      child.runningSince = now - std::chrono::duration_cast<Clock::duration>(wallNow - wall);
    }
  }
}

void Supervisor::SaveRecords() {
  if (stateFile_.empty()) return;  // not yet known
  std::map<std::string, ProgramRecord> records;
  auto add = [&](const Child& child) -> ProgramRecord& {
    ProgramRecord& r = records[child.command.name];
    r.restarts = child.restarts;
    r.lastExit = child.failedWhy.empty() ? child.lastExit : child.failedWhy;
    return r;
  };
  for (const auto& [hpid, child] : children_) {
    ProgramRecord& r = add(child);
    if (child.startCounted && !child.exitShown && child.pid != 0) {
      r.pid = child.pid;
      r.startedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(child.runningSinceWall.time_since_epoch()).count();
    }
  }
  for (const Stop& stop : stopping_) add(stop.child);
  for (const auto& [name, child] : stopped_) add(child).stoppedByHand = child.byHand;
  std::string text = RecordsText(records), why;
  if (text == savedRecords_) return;
  const bool written = WritePrivateFile(stateFile_, text, &why);
  if (!written && !recordsFailing_) Line("cannot write " + stateFile_ + ": " + why + "; the programs' records are not kept");
  recordsFailing_ = !written;
  savedRecords_ = text;  // not tried again until it changes
}

bool Supervisor::StartCommand(const Command& command, std::string* why) {
  HandleMessages();  // a report still queued about a stopped child's hpid is not given to this one
  uint32_t hpid = 0;
  int32_t result = library_.CreateProcess(command.program.c_str(), command.cmdLine.c_str(), &hpid, 0);
  if (result != KESTRAVO_OK) {
    *why = "cannot start " + command.shown + ": KESTRAVO_CreateProcess answered " + std::to_string(result) + " (" +
           Meaning(result) + ")";
    return false;
  }
  Child& child = children_[hpid];
  child = Child();  // an hpid of a stopped child is handed out again
  child.command = command;
  child.outputFrom = FileSize(command.output, command.user);
  child.createdAt = child.runningSince = Clock::now();
  child.createdWallAt = child.runningSinceWall = std::chrono::system_clock::now();
  child.nextLook = child.createdAt + kFirstLook;
  return true;
}

void Supervisor::Supervise() {
  Clock::time_point end = options_.forSeconds > 0
                              ? startedAt_ + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(options_.forSeconds))
                              : Clock::time_point::max();
  Clock::time_point nextStatus = Clock::now();
  for (;;) {
    HandleMessages();
    FinishStops();
    LearnStarts();
    StartWaiting();
    AnswerStarts();
    NotifyWhenReady();
    SaveRecords();
    Clock::time_point now = Clock::now();
    if (now >= end) {
      Line("time is up (" + Fixed(options_.forSeconds, 1) + " s)");
      break;
    }
    if (tty_ && now >= nextStatus) {
      Status();
      nextStatus = now + std::chrono::seconds(1);
    }
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min<Clock::duration>(kTick, end - now));
    std::string stop = queue_.Wait(static_cast<int>(wait.count()));
    HandleRequests();
    if (stop == kReloadRequest) {
      Line(stop + " received: reloading");
      Answer answer;
      if (Reload(ControlRequest(), &answer)) Reply(ControlRequest(), answer);
    } else if (!stop.empty()) {
      Line(stop + " received");
      break;
    }
  }
}

void Supervisor::LearnStarts() {
  Clock::time_point now = Clock::now();
  for (auto& [hpid, child] : children_) {
    if (child.startCounted || now < child.nextLook) continue;
    // A start that fails is retried by the library only every 30 s or so, so the host asks less
    // and less often.
    child.lookInterval = std::min<Clock::duration>(2 * child.lookInterval + kFirstLook, kLongestLook);
    child.nextLook = now + child.lookInterval;
    uint32_t pid = 0, ignored = 0;
    // A report about the child may have come since the last look, and the pid may be that of
    // its restart already: the reports, which name the pid that ended, show the start then.
    if (library_.GetOSPid(hpid, &pid) == KESTRAVO_OK && pid != 0 && !queue_.Pending(hpid, MSG_EXITED, &ignored)) {
      ShowStart(hpid, child, pid, std::chrono::system_clock::now());
      child.running = watch_.Watch(pid);
      child.runningSince = now;
      child.runningSinceWall = std::chrono::system_clock::now();
    } else if (!child.slowStartNoted && now - child.createdAt > kSlowStart) {
      child.slowStartNoted = true;
      Line(ChildText(hpid, 0, "not started yet: the library retries a failed start about every "
                              "30 s, and its log says why it failed"));
    }
  }
}

void Supervisor::ShowStart(uint32_t hpid, Child& child, uint32_t pid, std::chrono::system_clock::time_point when) {
  child.startCounted = true;
  child.pid = pid;
  ++starts_;
  Line(ChildText(hpid, pid, "started: " + child.command.shown), when);
}

uint32_t Supervisor::RestartedPid(uint32_t hpid, const std::deque<Message>& batch, size_t at, uint32_t endedPid) {
  // Its own end, when reported already, names it; else the library's answer, unless that process
  // has ended meanwhile and its report has just come in.
  for (size_t i = at + 1; i < batch.size(); ++i) {
    if (batch[i].hpid == hpid && batch[i].type == MSG_EXITED && batch[i].pid != 0) return batch[i].pid;
  }
  uint32_t pid = 0, ended = 0;
  library_.GetOSPid(hpid, &pid);
  if (queue_.Pending(hpid, MSG_EXITED, &ended) && ended != 0) pid = ended;
  return pid == endedPid ? 0 : pid;  // 0: it has ended again already, and its pid went unseen
}

void Supervisor::HandleMessages() {
  std::deque<Message> batch = queue_.TakeAll();
  for (size_t at = 0; at < batch.size(); ++at) {
    const Message& m = batch[at];
    auto it = children_.find(m.hpid);
    if (it == children_.end()) continue;  // a late report of a survivor, or of a stopped child
    Child& child = it->second;
    if (m.type == MSG_EXITED) {
      if (child.exitShown) continue;  // the same end reported again
      // It ran and ended between two looks: its start is shown first, with the pid that ended.
      if (!child.startCounted) ShowStart(m.hpid, child, m.pid, child.createdWallAt);
      if (m.pid != 0) child.pid = m.pid;
      child.exitShown = true;
      child.running = false;
      child.exitedPid = child.pid;
      child.exitedAt = m.at;
      uint64_t ranMs = m.runMs != UINT64_MAX ? m.runMs : static_cast<uint64_t>(Ms(m.at - child.runningSince));
      ++child.ends;
      child.lastRunMs = ranMs;
      child.nextTryAt = m.relaunchInMs >= 0 ? m.at + std::chrono::milliseconds(m.relaunchInMs) : Clock::time_point();
      std::string what = "exited";
      if (m.haveExit) what = kestravo::ExitText(m.exitKnown, m.exitCode, m.signal, m.coreDumped, m.runMs);
      // Stopped by the library or the system: why first, then how the process went.
      const std::string cause = kestravo::StopCauseText(m.cause, m.causeValue);
      if (!cause.empty()) what = cause + ": " + what;
      child.lastCause = CauseName(m.cause);
      child.ready = false;
      child.leftEnded = !m.restarting;
      if (child.leftEnded) child.nextTryAt = Clock::time_point();
      child.lastExit = what;
      Line(ChildText(m.hpid, child.pid, what + (child.leftEnded ? "; its restart policy (" + child.command.restart + ") leaves it ended" : "")), m.wallAt);
      // Shown with the output that led to it, once a child.
      if (kestravo::IsYoungExit(ranMs) && !child.earlyEndShown) ShowEarlyEnd(m.hpid, child, what);
    } else if (m.type == MSG_RESTARTED) {
      ++restarts_;
      ++child.restarts;
      child.restartFailed = false;
      child.exitShown = false;
      child.leftEnded = false;
      child.ready = false;
      uint32_t pid = RestartedPid(m.hpid, batch, at, child.exitedPid);
      if (pid != 0) {
        child.pid = pid;
        child.running = watch_.Watch(pid);
      }
      child.runningSince = m.at;
      child.runningSinceWall = m.wallAt;
      child.nextTryAt = Clock::time_point();
      // Timed from the moment the old process was seen to end: by the host's own watch when that
      // saw it first, else by the library's report, which came after the end.
      Clock::time_point ended = child.exitedAt;
      bool timed = false;
      std::string what = "restarted";
      if (child.exitedPid != 0) {
        Clock::time_point watched;
        if (watch_.EndedAt(child.exitedPid, &watched, &timed) && timed) ended = std::min(ended, watched);
        watch_.Forget(child.exitedPid);
        restartTimes_.Add(Ms(m.at - ended));
        what += ", " + Fixed(restartTimes_.Last(), 1) + " ms after pid " +
                std::to_string(child.exitedPid) + " ended";
      }
      Line(ChildText(m.hpid, pid, what), m.wallAt);
    } else if (m.type == MSG_READY) {
      // Of the current process: one that has ended since is not ready.
      if (child.exitShown || child.ready) continue;
      child.ready = true;
      Line(ChildText(m.hpid, child.pid, "ready"), m.wallAt);
    } else if (m.type == MSG_STATUS) {
      child.statusText = m.text;
    } else if (m.type == MSG_RESTART_FAILED) {
      ++failedRestarts_;
      child.restartFailed = true;
      child.nextTryAt = m.at + kRestartRetry;
      Line(ChildText(m.hpid, 0, "restart failed; the library tries again in about 30 s"), m.wallAt);
    }
  }
}

void Supervisor::ShowEarlyEnd(uint32_t hpid, Child& child, const std::string& cause) {
  child.earlyEndShown = true;  // a program that keeps failing shows it once, not on every restart
  std::string head = "ended soon after its start (" + cause + ")";
  if (child.command.output.empty()) {
    Line(ChildText(hpid, child.pid, head + "; its output is not kept"));
    return;
  }
  std::string why;
  std::vector<std::string> lines =
      LastLinesOfFile(child.command.output, child.command.user, kTailLines, child.outputFrom, &why);
  if (!why.empty() && FileExists(child.command.output)) {
    Line(ChildText(hpid, child.pid, head + "; its output file " + child.command.output + " is not read: " + why));
    return;
  }
  Line(ChildText(hpid, child.pid, head + (lines.empty() ? "; it wrote nothing to " : "; the last lines of ") +
                                      child.command.output + (lines.empty() ? "" : ":")));
  for (const std::string& line : lines) printf("    | %s\n", line.c_str());
  fflush(stdout);
}

std::string Supervisor::OutputTail(const Child& child) {
  std::string why, text;
  if (child.command.output.empty()) return "";
  for (const std::string& line : LastLinesOfFile(child.command.output, child.command.user, kTailLines, child.outputFrom, &why)) text += "\n    | " + line;
  return text.empty() ? "" : "; the last lines of " + child.command.output + ":" + text;
}

void Supervisor::PrintSummary() {
  printf("summary after %.1f s\n", Ms(Clock::now() - startedAt_) / 1000);
  printf("  starts           %d (adopted: %d)\n", starts_, adopted_);
  printf("  restarts         %d (failed attempts: %d)\n", restarts_, failedRestarts_);
  printf("  graceful stops   %d (on the stop signal: %d, on the stop event: %d; killed after the grace: %d, "
         "had already ended: %d)\n",
         onSignal_ + onStopEvent_, onSignal_, onStopEvent_, killed_, alreadyEnded_);
  printf("  exit to restart  %s\n", restartTimes_.Text().c_str());
  fflush(stdout);
}

void Supervisor::Line(const std::string& text, std::chrono::system_clock::time_point when) {
  time_t seconds = std::chrono::system_clock::to_time_t(when);
  long millis = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      when.time_since_epoch()).count() % 1000);
  struct tm local;
  LocalTime(seconds, &local);
  char stamp[32];
  strftime(stamp, sizeof stamp, "%H:%M:%S", &local);
  printf("%s%s.%03ld  %s\n", statusShown_ ? "\r\033[K" : "", stamp, millis, text.c_str());
  statusShown_ = false;
  fflush(stdout);
}

void Supervisor::Status() {
  int running = 0;
  for (auto& entry : children_) running += entry.second.running;
  printf("\r\033[K  %d of %zu running, %d restarts so far", running, children_.size(), restarts_);
  statusShown_ = true;
  fflush(stdout);
}

}  // namespace kestravo_host
