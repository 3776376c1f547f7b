// The control requests a running host answers: status, start, stop and restart of one program,
// and reload of the program lists.
#include <algorithm>
#include <map>
#include <set>

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

}  // namespace

// What status shows of a program started again: its restarts so far, and how it was stopped.
void Supervisor::Carry(const Child& from, Child* to) {
  to->restarts = from.restarts;
  to->lastExit = from.lastExit;
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
    *answer = StartByName(name);
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

Answer Supervisor::StartByName(const std::string& name) {
  uint32_t hpid = 0;
  if (FindStop(name) != nullptr) return {1, name + " is being stopped: start it once it is"};
  if (FindChild(name, &hpid)) return {0, name + " runs already (hpid " + std::to_string(hpid) + ")"};
  auto it = stopped_.find(name);
  if (it == stopped_.end()) return {1, "no program named " + name + "; known: " + KnownNames()};
  std::string why;
  if (!StartCommand(it->second.command, &why)) return {1, why};
  FindChild(name, &hpid);
  Carry(it->second, &children_.at(hpid));
  stopped_.erase(it);
  return {0, "started " + name + " (hpid " + std::to_string(hpid) + ")"};
}

bool Supervisor::StopByName(const ControlRequest& request, const std::string& name, bool restart, Answer* answer) {
  uint32_t hpid = 0;
  if (FindStop(name) != nullptr) {
    *answer = {1, name + " is being stopped already"};
    return true;
  }
  if (!FindChild(name, &hpid)) {
    if (stopped_.count(name) == 0) {
      *answer = {1, "no program named " + name + "; known: " + KnownNames()};
    } else {
      *answer = restart ? StartByName(name) : Answer{0, name + " is stopped already"};
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
    const std::string& how = done.ended.at(name).how;
    uint32_t again = 0;
    std::string why;
    if (restart && ending_) {
      why = "the host is stopping";
    } else if (restart && StartCommand(child.command, &why) && FindChild(name, &again)) {
      Carry(child, &children_.at(again));
      Reply(request, {0, "restarted " + name + ": the old process " + how + "; started again as hpid " + std::to_string(again)});
      return;
    }
    if (restart) {
      stopped_[name] = std::move(child);
      Reply(request, {1, "stopped " + name + " (" + how + ") but " + why});
    } else if (!child.ofThisRun) {
      Reply(request, {0, "stopped " + name + ": " + how + " (it was left by an earlier host: gone now)"});
    } else {
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
  if (!stopping_.empty()) {
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
  // Stopped first, all at once, so that their names and hpids are free for what starts.
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
  batch->left = stopping.size();
  batch->then = [this, request, fresh, stopped, restarted, unchanged](Batch& done) mutable {
    std::set<std::string> keep(unchanged.begin(), unchanged.end());
    for (auto it = stopped_.begin(); it != stopped_.end();) {
      auto now = std::find_if(fresh->commands.begin(), fresh->commands.end(), [&](const Command& c) { return c.name == it->first; });
      if (now == fresh->commands.end()) {
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
      std::string why;
      if (!StartCommand(command, &why)) {
        failed.push_back(why);
      } else if (again == done.ended.end()) {
        started.push_back(command.name);
      } else if (FindChild(command.name, &hpid)) {
        Carry(again->second.child, &children_.at(hpid));
      }
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
  for (uint32_t hpid : stopping) BeginStop(hpid, true, batch);
  if (stopping.empty()) batch->then(*batch);
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
    p.state = !child.startCounted ? kStarting : child.running ? kRunning : child.restartFailed ? kExited : kWaitingToRestart;
    if (p.state == kRunning) p.uptimeSeconds = std::chrono::duration<double>(now - child.runningSince).count();
    p.restarts = child.restarts;
    p.lastExit = child.lastExit;
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
    programs.push_back(p);
  }
  for (const auto& [name, child] : stopped_) {
    ProgramStatus p;
    p.name = name;
    p.state = kStopped;
    p.restarts = child.restarts;
    p.lastExit = child.lastExit;
    programs.push_back(p);
  }
  std::sort(programs.begin(), programs.end(), [](const ProgramStatus& a, const ProgramStatus& b) { return a.name < b.name; });
  return programs;
}

}  // namespace kestravo_host
