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
    Answer answer = Control(request.line);
    if (!answer.hasPrograms) Line("control: " + request.line + ": " + answer.message);
    ControlSocket::Answer(request, AnswerJson(answer));
  }
}

Answer Supervisor::Control(const std::string& request) {
  size_t blank = request.find(' ');
  const std::string verb = request.substr(0, blank), name = blank == std::string::npos ? "" : request.substr(blank + 1);
  Answer answer;
  if (verb == "status" && name.empty()) {
    answer.hasPrograms = true;
    answer.programs = Programs();
  } else if (verb == "reload" && name.empty()) {
    answer = Reload();
  } else if (verb == "start" && !name.empty()) {
    answer = StartByName(name);
  } else if ((verb == "stop" || verb == "restart") && !name.empty()) {
    answer = StopByName(name, verb == "restart");
  } else {
    answer = {2, "not a request this host knows: " + request};
  }
  return answer;
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

Answer Supervisor::StopByName(const std::string& name, bool restart) {
  uint32_t hpid = 0;
  if (!FindChild(name, &hpid)) {
    if (stopped_.count(name) == 0) return {1, "no program named " + name + "; known: " + KnownNames()};
    return restart ? StartByName(name) : Answer{0, name + " is stopped already"};
  }
  if (restart && !children_.at(hpid).ofThisRun) {
    return {1, name + " was left running by an earlier host and is none of this host's programs: "
               "it can be stopped, not restarted"};
  }
  std::string how;
  Child child = StopAndTake(hpid, &how);
  if (restart) {
    std::string why;
    if (!StartCommand(child.command, &why)) {
      stopped_[name] = std::move(child);
      return {1, "stopped " + name + " (" + how + ") but " + why};
    }
    FindChild(name, &hpid);
    Carry(child, &children_.at(hpid));
    return {0, "restarted " + name + ": the old process " + how + "; started again as hpid " + std::to_string(hpid)};
  }
  if (!child.ofThisRun) return {0, "stopped " + name + ": " + how + " (it was left by an earlier host: gone now)"};
  stopped_[name] = std::move(child);
  return {0, "stopped " + name + ": " + how};
}

Answer Supervisor::Reload() {
  if (options_.files.empty()) return {1, "nothing to re-read: this host was started without --file"};
  Options fresh;
  std::string error;
  std::vector<char*> argv;
  for (std::string& arg : args_) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  int code = ParseOptions(static_cast<int>(args_.size()), argv.data(), &fresh, &error) == Parse::kRun
                 ? PrepareCommands(&fresh, StateDir(), &error)
                 : 2;
  if (code != 0) return {1, "reload refused, every program runs on: " + error};

  std::vector<std::string> started, stopped, restarted, unchanged;
  std::map<std::string, const Command*> wanted;
  for (const Command& command : fresh.commands) wanted[command.name] = &command;
  // Stopped first, so that their names and hpids are free for what starts.
  std::vector<std::pair<std::string, uint32_t>> running;
  for (const auto& [hpid, child] : children_) running.emplace_back(child.command.name, hpid);
  std::set<std::string> keep;
  std::map<std::string, Child> before;  // of those restarted
  for (const auto& [name, hpid] : running) {
    auto it = wanted.find(name);
    if (it != wanted.end() && SameCommand(children_.at(hpid).command, *it->second)) {
      unchanged.push_back(name);
      keep.insert(name);
      continue;
    }
    Child child = StopAndTake(hpid);
    if (it == wanted.end()) {
      stopped.push_back(name);
    } else {
      restarted.push_back(name);
      before[name] = std::move(child);
    }
  }
  for (auto it = stopped_.begin(); it != stopped_.end();) {
    auto now = wanted.find(it->first);
    if (now == wanted.end()) {
      it = stopped_.erase(it);
      continue;
    }
    it->second.command = *now->second;  // stays stopped until asked to start
    keep.insert(it->first);
    ++it;
  }
  std::vector<std::string> failed;
  for (const Command& command : fresh.commands) {
    if (keep.count(command.name) != 0) continue;
    auto again = before.find(command.name);
    std::string why;
    uint32_t hpid = 0;
    if (!StartCommand(command, &why)) {
      failed.push_back(why);
    } else if (again == before.end()) {
      started.push_back(command.name);
    } else if (FindChild(command.name, &hpid)) {
      Carry(again->second, &children_.at(hpid));
    }
  }
  options_.files = fresh.files;
  std::string message = "reloaded";
  for (const auto& [what, names] : {std::make_pair("started", &started), std::make_pair("stopped", &stopped),
                                    std::make_pair("restarted", &restarted), std::make_pair("unchanged", &unchanged)}) {
    if (!names->empty()) message += std::string(message == "reloaded" ? ": " : "; ") + what + " " + Joined(*names);
  }
  for (const std::string& why : failed) message += "; " + why;
  return {failed.empty() ? 0 : 1, message};
}

std::vector<ProgramStatus> Supervisor::Programs() const {
  std::vector<ProgramStatus> programs;
  const Clock::time_point now = Clock::now();
  for (const auto& [hpid, child] : children_) {
    ProgramStatus p;
    p.name = child.command.name;
    p.hpid = hpid;
    p.pid = child.pid != 0 ? static_cast<int64_t>(child.pid) : -1;
    p.state = !child.startCounted ? kStarting : child.running ? kRunning : child.restartFailed ? kExited : kWaitingToRestart;
    if (p.state == kRunning) p.uptimeSeconds = std::chrono::duration<double>(now - child.runningSince).count();
    p.restarts = child.restarts;
    p.lastExit = child.lastExit;
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
