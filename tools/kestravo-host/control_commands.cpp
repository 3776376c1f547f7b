// The control requests a running host answers: status, start, stop and restart of one program,
// and reload of the program lists.
#include <stdio.h>

#include <algorithm>
#include <map>
#include <set>

#include "common/young_exit.h"
#include "path_search.h"
#include "startup.h"
#include "supervisor.h"

namespace kestravo_host {

namespace {

// Whether a command runs as another would: every setting of a program ends up in its program,
// its arguments (kestravo-run's options among them), its grace or the variables it sets (in a
// file named on those arguments).
bool SameCommand(const Command& a, const Command& b) {
  return a.program == b.program && a.cmdLine == b.cmdLine && a.graceMs == b.graceMs && a.setEnv == b.setEnv;
}

std::vector<std::string> Words(const std::string& line) {
  std::vector<std::string> words;
  for (size_t at = 0; at < line.size();) {
    size_t end = std::min(line.find(' ', at), line.size());
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

// A request is printed in the host's lines: one that would move the cursor or colour them is
// not taken.
bool Printable(const std::string& text) {
  return std::none_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// How long a start or restart by name waits for the program to run or fail before it answers.
constexpr auto kStartWait = std::chrono::seconds(10);

std::string Seconds(Clock::duration d) {
  char text[32];
  snprintf(text, sizeof text, "%.1f s", std::max(0.0, std::chrono::duration<double>(d).count()));
  return text;
}

}  // namespace

// What status shows of a program started again: its restarts so far, and how it was stopped.
void Supervisor::Carry(const Child& from, Child* to) {
  to->restarts = from.restarts;
  to->lastExit = from.lastExit;
  to->lastCause = from.lastCause;
  to->statusText = from.statusText;
}

void Supervisor::HandleRequests() {
  for (const ControlRequest& request : control_.TakeAll()) {
    if (!Printable(request.line)) {
      ControlSocket::Answer(request, AnswerJson({2, "a request holds control characters"}));
      continue;
    }
    Answer answer;
    if (Control(request, &answer)) Reply(request, answer);
  }
}

void Supervisor::Reply(const ControlRequest& request, const Answer& answer) {
  SaveRecords();  // what the answer reports survives the host from now on
  if (request.connection < 0) {
    Line(answer.message);
    return;
  }
  if (!answer.hasPrograms) Line("control: " + request.line + ": " + answer.message);
  ControlSocket::Answer(request, AnswerJson(answer));
}

bool Supervisor::Control(const ControlRequest& request, Answer* answer) {
  size_t blank = request.line.find(' ');
  const std::string verb = request.line.substr(0, blank), name = blank == std::string::npos ? "" : request.line.substr(blank + 1);
  const std::vector<std::string> words = Words(request.line);
  const bool known = (verb == "reload" && name.empty()) || ((verb == "start" || verb == "stop" || verb == "restart") && !name.empty()) ||
                     (verb == "signal" && words.size() == 3);
  if (verb == "status") {
    *answer = StatusOf(std::vector<std::string>(words.begin() + 1, words.end()));
  } else if (verb == "log") {
    *answer = LogOf(words);
  } else if (known && !request.mayControl) {
    *answer = {2, "refused: " + verb + " is for the host's own user and root; its status group may only read (status, log)"};
  } else if (known && ending_) {
    *answer = {1, "the host is stopping: only status is answered now"};
  } else if (verb == "reload" && name.empty()) {
    return Reload(request, answer);
  } else if (verb == "start" && !name.empty()) {
    return StartByName(request, name, answer);
  } else if ((verb == "stop" || verb == "restart") && !name.empty()) {
    return StopByName(request, name, verb == "restart", answer);
  } else if (verb == "signal" && words.size() == 3) {
    *answer = SignalByName(words[1], words[2]);
  } else {
    *answer = {2, "not a request this host knows: " + request.line};
  }
  return true;
}

bool Supervisor::FindChild(const std::string& name, uint32_t* hpid) const {
  for (const auto& [at, child] : children_) {
    if (child.command.name == name) {
      *hpid = at;
      return true;
    }
  }
  return false;
}

std::string Supervisor::KnownNames() const {
  std::vector<std::string> names;
  for (const ProgramStatus& program : Programs()) names.push_back(program.name);
  return names.empty() ? "none" : Joined(names);
}

bool Supervisor::StartByName(const ControlRequest& request, const std::string& name, Answer* answer) {
  uint32_t hpid = 0;
  if (FindStop(name) != nullptr) {
    *answer = {1, name + " is being stopped: start it once it is"};
    return true;
  }
  if (FindChild(name, &hpid)) {
    Child& child = children_.at(hpid);
    if (!child.startCounted) {  // its first start is under way: answered as a start
      startWaits_.push_back(WaitFor(request, hpid, child.ends, ""));
      return false;
    }
    if (!child.command.ready.empty() && !child.exitShown && !child.ready) {  // runs, not ready yet: answered once it is
      startWaits_.push_back(WaitFor(request, hpid, child.ends, ""));
      return false;
    }
    if (!child.exitShown) {
      *answer = {0, name + (child.command.ready.empty() ? " runs already" : " is ready already") + " (hpid " + std::to_string(hpid) + ")"};
    } else if (!child.ofThisRun) {
      *answer = {1, name + " was left running by an earlier host and is none of this host's programs: the library "
                    "restarts it, and it cannot be started anew"};
    } else {
      // Waiting out its restart's back-off, or its restart failed: its hpid is given up, which
      // cancels the restart queued, and it starts anew, now.
      auto batch = std::make_shared<Batch>();
      batch->left = 1;
      batch->then = [this, request, name, lastExit = child.lastExit](Batch& done) {
        Child& old = done.ended.at(name).child;
        old.lastExit = lastExit;  // not "stopped": it had ended unasked
        if (!ending_) return StartAgain(request, std::move(old), "");
        stopped_[name] = std::move(old);
        Reply(request, {1, "the host is stopping"});
      };
      BeginStop(hpid, false, batch);
      return false;
    }
    return true;
  }
  auto it = stopped_.find(name);
  if (it == stopped_.end()) {
    *answer = {1, "no program named " + name + "; known: " + KnownNames()};
    return true;
  }
  Child old = std::move(it->second);
  stopped_.erase(it);
  old.waiting = false;  // asked for by name: it starts now, whether its after programs are ready or not
  StartAgain(request, std::move(old), "");
  return false;
}

Supervisor::StartWait Supervisor::WaitFor(const ControlRequest& request, uint32_t hpid, uint64_t ends, const std::string& restartHow) const {
  const Command& command = children_.at(hpid).command;
  const bool untilReady = !command.ready.empty();
  const Clock::duration wait = untilReady && command.readyTimeoutMs != 0 ? std::chrono::milliseconds(command.readyTimeoutMs) : kStartWait;
  StartWait start{request, command.name, hpid, ends, restartHow, Clock::now() + wait};
  start.untilReady = untilReady;
  return start;
}

Supervisor::Child Supervisor::Failed(const Command& command, const Child* before, const std::string& why) {
  Child child;
  child.command = command;
  if (before != nullptr) Carry(*before, &child);
  child.failedWhy = why;
  return child;
}

void Supervisor::StartAgain(const ControlRequest& request, Child old, const std::string& restartHow) {
  const std::string name = old.command.name;
  // The program may have been installed, or removed, since.
  std::string why = old.command.runs.empty() ? "" : kestravo_tools::WhyNotRunnable(old.command.runs);
  if (!why.empty()) why = "cannot run " + old.command.given + ": " + why;
  uint32_t hpid = 0;
  if (why.empty() && StartCommand(old.command, &why) && FindChild(name, &hpid)) {
    Child& child = children_.at(hpid);
    Carry(old, &child);
    child.command.cannotRun.clear();
    startWaits_.push_back(WaitFor(request, hpid, 0, restartHow));
    return;
  }
  stopped_[name] = Failed(old.command, &old, why);
  Reply(request, {1, (restartHow.empty() ? "" : "stopped " + name + " (" + restartHow + ") but ") + why});
}

void Supervisor::AnswerStarts() {
  const Clock::time_point now = Clock::now();
  for (auto it = startWaits_.begin(); it != startWaits_.end();) {
    const StartWait& wait = *it;
    auto found = children_.find(wait.hpid);
    const Child* child = found != children_.end() && found->second.command.name == wait.name ? &found->second : nullptr;
    const std::string& name = wait.name;
    const std::string but = wait.restartHow.empty() ? "" : "stopped " + name + " (" + wait.restartHow + ") and started it again, but ";
    Answer answer;
    if (child == nullptr) {
      answer = {1, but + name + " was stopped before it was seen running"};
    } else if (child->ends > wait.ends && kestravo::IsYoungExit(child->lastRunMs)) {
      const bool again = child->nextTryAt > now;
      answer = {1, but + name + " ended soon after its start (" + child->lastExit + ")" +
                       (again ? "; the library starts it again in " + Seconds(child->nextTryAt - now) : "") + OutputTail(*child)};
    } else if (wait.untilReady && child->ends > wait.ends) {
      const bool again = child->nextTryAt > now;
      answer = {1, but + name + " ended before it was ready (" + child->lastExit + ")" +
                       (again ? "; the library starts it again in " + Seconds(child->nextTryAt - now) : "") + OutputTail(*child)};
    } else if (wait.untilReady && IsReady(*child)) {
      const std::string where = "hpid " + std::to_string(wait.hpid) + ", pid " + std::to_string(child->pid);
      answer = {0, wait.restartHow.empty() ? "started " + name + " (" + where + "): it is ready"
                                           : "restarted " + name + ": the old process " + wait.restartHow +
                                                 "; started again (" + where + "): it is ready"};
    } else if (wait.untilReady && now >= wait.deadline) {
      const Clock::duration waited = child->command.readyTimeoutMs != 0 ? std::chrono::milliseconds(child->command.readyTimeoutMs) : kStartWait;
      answer = {1, but + name + " is still starting: not ready after " + Seconds(waited)};
    } else if (wait.untilReady) {
      ++it;
      continue;
    } else if (child->ends > wait.ends ||
               (child->startCounted && !child->exitShown && now - child->runningSince >= std::chrono::milliseconds(kestravo::kYoungExitMs))) {
      const std::string where = "hpid " + std::to_string(wait.hpid) + ", pid " + std::to_string(child->pid);
      answer = {0, wait.restartHow.empty() ? "started " + name + " (" + where + "): it runs"
                                           : "restarted " + name + ": the old process " + wait.restartHow +
                                                 "; started again (" + where + "): it runs"};
    } else if (now >= wait.deadline) {
      answer = {1, but + name + " is still starting after " + Seconds(kStartWait) +
                       ": the library retries a failed start about every 30 s, and its log says why it failed"};
    } else {
      ++it;
      continue;
    }
    const ControlRequest request = wait.request;
    it = startWaits_.erase(it);
    Reply(request, answer);
  }
}

bool Supervisor::StopByName(const ControlRequest& request, const std::string& name, bool restart, Answer* answer) {
  uint32_t hpid = 0;
  if (FindStop(name) != nullptr) {
    *answer = {1, name + " is being stopped already"};
    return true;
  }
  if (!FindChild(name, &hpid)) {
    auto it = stopped_.find(name);
    if (it == stopped_.end()) {
      *answer = {1, "no program named " + name + "; known: " + KnownNames()};
    } else if (restart) {
      return StartByName(request, name, answer);
    } else if (it->second.waiting) {
      *answer = {0, name + " was waiting for " + Joined(it->second.command.after) + ": it stays stopped"};
      it->second.waiting = false;
      it->second.byHand = true;
    } else if (!it->second.failedWhy.empty()) {
      // Not tried again at a reload from now on.
      *answer = {0, name + " was not running (" + it->second.failedWhy + "): it stays stopped"};
      it->second.lastExit = it->second.failedWhy;
      it->second.failedWhy.clear();
      it->second.byHand = true;
    } else {
      *answer = {0, name + " is stopped already"};
    }
    return true;
  }
  if (restart && !children_.at(hpid).ofThisRun) {
    *answer = {1, name + " was left running by an earlier host and is none of this host's programs: "
                  "it can be stopped, not restarted"};
    return true;
  }
  auto batch = std::make_shared<Batch>();
  batch->left = 1;
  batch->then = [this, request, name, restart](Batch& done) {
    Child& child = done.ended.at(name).child;
    const std::string how = done.ended.at(name).how;
    if (restart && !ending_) {
      StartAgain(request, std::move(child), how);
    } else if (restart) {
      stopped_[name] = std::move(child);
      Reply(request, {1, "stopped " + name + " (" + how + ") but the host is stopping"});
    } else if (!child.ofThisRun) {
      Reply(request, {0, "stopped " + name + ": " + how + " (it was left by an earlier host: gone now)"});
    } else {
      child.byHand = true;
      stopped_[name] = std::move(child);
      Reply(request, {0, "stopped " + name + ": " + how});
    }
  };
  BeginStop(hpid, true, batch);
  return false;
}

bool Supervisor::Reload(const ControlRequest& request, Answer* answer) {
  if (options_.files.empty()) {
    *answer = {1, "nothing to re-read: this host was started without --file"};
    return true;
  }
  if (!stopping_.empty() || !ordered_.empty()) {
    *answer = {1, "reload refused while programs are being stopped, every program runs on: try again once they are"};
    return true;
  }
  auto fresh = std::make_shared<Options>();
  std::string error;
  std::vector<char*> argv;
  for (std::string& arg : args_) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  int code = ParseOptions(static_cast<int>(args_.size()), argv.data(), fresh.get(), &error) == Parse::kRun
                 ? PrepareCommands(fresh.get(), StateDir(), &error)
                 : 2;
  if (code != 0) {
    *answer = {1, "reload refused, every program runs on: " + error};
    return true;
  }

  std::vector<std::string> stopped, restarted, unchanged;
  std::map<std::string, const Command*> wanted;
  for (const Command& command : fresh->commands) wanted[command.name] = &command;
  // Stopped first, as at the host's stop (those after another before it), so that their names
  // and hpids are free for what starts.
  std::vector<uint32_t> stopping;
  for (const auto& [hpid, child] : children_) {
    auto it = wanted.find(child.command.name);
    if (it != wanted.end() && SameCommand(child.command, *it->second)) {
      unchanged.push_back(child.command.name);
    } else {
      (it == wanted.end() ? stopped : restarted).push_back(child.command.name);
      stopping.push_back(hpid);
    }
  }
  auto batch = std::make_shared<Batch>();
  batch->then = [this, request, fresh, stopped, restarted, unchanged](Batch& done) mutable {
    std::set<std::string> keep(unchanged.begin(), unchanged.end());
    std::map<std::string, Child> retry;  // those that failed to start: tried again
    for (auto it = stopped_.begin(); it != stopped_.end();) {
      auto now = std::find_if(fresh->commands.begin(), fresh->commands.end(), [&](const Command& c) { return c.name == it->first; });
      if (now == fresh->commands.end() || !it->second.failedWhy.empty()) {
        if (now != fresh->commands.end()) retry[it->first] = std::move(it->second);
        it = stopped_.erase(it);
        continue;
      }
      it->second.command = *now;  // stays stopped until asked to start
      keep.insert(it->first);
      ++it;
    }
    std::vector<std::string> started, failed;
    for (const Command& command : fresh->commands) {
      uint32_t hpid = 0;
      // One started by hand while the stops ran is not started twice.
      if (keep.count(command.name) != 0 || ending_ || FindChild(command.name, &hpid)) continue;
      auto again = done.ended.find(command.name);
      auto retried = retry.find(command.name);
      const Child* before = again != done.ended.end() ? &again->second.child : retried != retry.end() ? &retried->second : nullptr;
      if (before == nullptr && command.autostart == 0) {
        stopped_[command.name].command = command;  // a new program that waits for start NAME
        continue;
      }
      if (!command.after.empty() && !AfterReady(command)) {  // started once they are
        Child& waiting = stopped_[command.name];
        waiting = before != nullptr ? Failed(command, before, "") : Child();
        waiting.command = command;
        waiting.waiting = true;
        continue;
      }
      std::string why = command.cannotRun.empty() ? "" : "cannot run " + command.given + ": " + command.cannotRun;
      if (!why.empty() || !StartCommand(command, &why)) {
        failed.push_back(why);
        stopped_[command.name] = Failed(command, before, why);
        continue;
      }
      if (again == done.ended.end()) started.push_back(command.name);
      if (before != nullptr && FindChild(command.name, &hpid)) Carry(*before, &children_.at(hpid));
    }
    if (ending_) failed.push_back("nothing started again: the host is stopping");
    options_.files = fresh->files;
    std::string message = "reloaded";
    for (const auto& [what, names] : {std::make_pair("started", &started), std::make_pair("stopped", &stopped),
                                      std::make_pair("restarted", &restarted), std::make_pair("unchanged", &unchanged)}) {
      if (!names->empty()) message += std::string(message == "reloaded" ? ": " : "; ") + what + " " + Joined(*names);
    }
    for (const std::string& why : failed) message += "; " + why;
    Reply(request, {failed.empty() ? 0 : 1, message});
  };
  StopInOrder(stopping, true, batch);
  return false;
}

std::vector<ProgramStatus> Supervisor::Programs() const {
  std::vector<ProgramStatus> programs;
  const Clock::time_point now = Clock::now();
  for (const auto& [hpid, child] : children_) {
    ProgramStatus p;
    p.name = child.command.name;
    p.hpid = hpid;
    p.pid = child.pid != 0 ? static_cast<int64_t>(child.pid) : -1;
    p.programPid = child.running ? ProgramPid(child) : -1;
    const bool readySetting = !child.command.ready.empty();
    // One test for the state and the uptime: a program shown running has its uptime in the same answer.
    const bool runs = child.startCounted && child.running && !child.exitShown;
    p.state = !child.startCounted                  ? kStarting
              : runs                               ? (!readySetting ? kRunning : child.ready ? kReady : kStarting)
              : child.leftEnded || child.restartFailed ? kExited
                                                       : kWaitingToRestart;
    if (runs) p.uptimeSeconds = std::max(0.0, std::chrono::duration<double>(now - child.runningSince).count());
    if (child.startCounted && child.exitShown && child.nextTryAt > now)
      p.nextTrySeconds = std::chrono::duration<double>(child.nextTryAt - now).count();
    p.restarts = child.restarts;
    p.lastExit = child.lastExit;
    p.lastCause = child.lastCause;
    p.statusText = child.statusText;
    programs.push_back(p);
  }
  for (const Stop& stop : stopping_) {
    ProgramStatus p;
    p.name = stop.child.command.name;
    p.hpid = stop.hpid;
    p.pid = stop.child.pid != 0 ? static_cast<int64_t>(stop.child.pid) : -1;
    p.programPid = ProgramPid(stop.child);
    p.state = kStopping;
    p.restarts = stop.child.restarts;
    p.lastExit = stop.child.lastExit;
    p.lastCause = stop.child.lastCause;
    p.statusText = stop.child.statusText;
    programs.push_back(p);
  }
  for (const auto& [name, child] : stopped_) {
    ProgramStatus p;
    p.name = name;
    p.state = !child.failedWhy.empty() ? kFailed : child.waiting ? kWaiting : kStopped;
    p.restarts = child.restarts;
    p.lastExit = child.failedWhy.empty() ? child.lastExit : child.failedWhy;
    p.lastCause = child.lastCause;
    p.statusText = child.waiting ? "waiting for " + Joined(child.command.after) + " to be ready" : child.statusText;
    programs.push_back(p);
  }
  std::sort(programs.begin(), programs.end(), [](const ProgramStatus& a, const ProgramStatus& b) { return a.name < b.name; });
  return programs;
}

}  // namespace kestravo_host
