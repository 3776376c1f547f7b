// The requests that look at one program or reach it: status of some programs, a signal to a
// program, and the last lines or the new output of its output file.
#include <ctype.h>

#include <algorithm>

#include "common/signal_names.h"
#include "supervisor.h"

namespace kestravo_host {

namespace {

// The most one "log" answer carries: even as JSON's \u00XX for every byte it fits in a socket's
// default buffer, so that a client that does not read holds up the host's answer for nothing.
constexpr size_t kLogPiece = 32 * 1024;
constexpr int kMostRotations = 10;       // old files a follower looks through for the one it read

// A number of at most digits digits; false for anything else.
bool SmallNumber(const std::string& text, uint64_t* value, size_t digits = 9) {
  if (text.empty() || text.size() > digits || !std::all_of(text.begin(), text.end(), [](char c) { return isdigit(static_cast<unsigned char>(c)); }))
    return false;
  *value = std::stoull(text);
  return true;
}

// HUP, SIGHUP, hup or a number from 1 to kHighestSignal: its number, else 0.
int SignalNumber(std::string text) {
  uint64_t number = 0;
  if (SmallNumber(text, &number)) return number >= 1 && number <= static_cast<uint64_t>(kestravo::kHighestSignal) ? static_cast<int>(number) : 0;
  for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  if (text.rfind("SIG", 0) == 0) text.erase(0, 3);
  for (int signal = 1; signal < 32 && !text.empty(); ++signal) {
    const char* name = kestravo::SignalAbbrev(signal);
    if (name != nullptr && text == name) return signal;
  }
  return 0;
}

// The last lines of a piece of a file that starts at from: a line cut by the piece's start is
// not one.
std::string LastLinesOfPiece(const std::string& text, uint64_t from, uint64_t lines) {
  const size_t first = text.find('\n');
  const size_t start = from == 0 ? 0 : first == std::string::npos ? text.size() : first + 1;
  size_t at = text.size() > start && text.back() == '\n' ? text.size() - 1 : text.size();
  for (uint64_t n = 0; n < lines; ++n) {
    const size_t newline = at > start ? text.rfind('\n', at - 1) : std::string::npos;
    if (newline == std::string::npos || newline < start) return text.substr(start);
    if (n + 1 == lines) return text.substr(newline + 1);
    at = newline;
  }
  return "";
}

}  // namespace

int64_t Supervisor::ProgramPid(const Child& child) {
  if (child.pid == 0) return -1;
  return child.command.viaAdapter ? AdaptedProgramPid(child.pid) : static_cast<int64_t>(child.pid);
}

const Supervisor::Child* Supervisor::FindAnyChild(const std::string& name) const {
  uint32_t hpid = 0;
  if (FindChild(name, &hpid)) return &children_.at(hpid);
  if (const Stop* stop = FindStop(name)) return &stop->child;
  auto it = stopped_.find(name);
  return it == stopped_.end() ? nullptr : &it->second;
}

Answer Supervisor::StatusOf(const std::vector<std::string>& names) const {
  Answer answer;
  answer.hasPrograms = true;
  answer.programs = Programs();
  if (!names.empty()) {
    std::vector<ProgramStatus> shown;
    for (const std::string& name : names) {
      auto it = std::find_if(answer.programs.begin(), answer.programs.end(), [&](const ProgramStatus& p) { return p.name == name; });
      if (it == answer.programs.end()) return {4, "no program named " + name + "; known: " + KnownNames()};
      shown.push_back(*it);
    }
    answer.programs = shown;
  }
  // As systemctl is-active: 0 only when every program shown runs.
  // Ready counts as running; a program left ended by its restart policy, even after a success, does not.
  const bool all = std::all_of(answer.programs.begin(), answer.programs.end(),
                               [](const ProgramStatus& p) { return p.state == kRunning || p.state == kReady; });
  answer.code = all ? 0 : 3;
  return answer;
}

Answer Supervisor::SignalByName(const std::string& name, const std::string& signalText) {
#ifdef _WIN32
  // Windows has no signals; the stop event and Ctrl-Break are what stop and restart use.
  (void)name;
  (void)signalText;
  return {1, "signal is refused on Windows, which has no signals to send a program: use stop or restart"};
#endif
  const int signal = SignalNumber(signalText);
  if (signal == 0) {
    return {1, "not a signal: '" + signalText + "' (a name such as HUP, USR1 or SIGTERM, or a number from 1 to " +
                   std::to_string(kestravo::kHighestSignal) + ")"};
  }
  uint32_t hpid = 0;
  if (FindStop(name) != nullptr) return {1, name + " is being stopped: no process to signal"};
  if (!FindChild(name, &hpid)) {
    if (stopped_.count(name) == 0) return {1, "no program named " + name + "; known: " + KnownNames()};
    return {1, name + " is stopped: no process to signal"};
  }
  const Child* child = &children_.at(hpid);
  if (!child->running) return {1, name + " is not running now (it ended; the library starts it again): no process to signal"};
  const int64_t pid = ProgramPid(*child);
  if (pid <= 0) return {1, "the pid of " + name + "'s program is not known: nothing sent"};
  std::string why;
  if (!SendSignal(pid, signal, &why)) return {1, "cannot send " + kestravo::SignalText(signal) + " to " + name + " (pid " + std::to_string(pid) + "): " + why};
  return {0, "sent " + kestravo::SignalText(signal) + " to " + name + " (pid " + std::to_string(pid) + ")"};
}

// log NAME LINES: the last LINES lines (of the last kLogPiece bytes, of the file before it too
// when it was just rotated). log NAME LINES FILE OFFSET:
// what follows OFFSET in the file of that identity, found under its rotated names once the file
// was rotated, then the current file from its start; at most kLogPiece at a time.
Answer Supervisor::LogOf(const std::vector<std::string>& words) const {
  uint64_t lines = 0, offset = 0;
  if ((words.size() != 3 && words.size() != 5) || !SmallNumber(words[2], &lines) || (words.size() == 5 && !SmallNumber(words[4], &offset, 18)))
    return {2, "log takes NAME, a number of lines, and to follow a file, its identity and offset"};
  const std::string& name = words[1];
  const Child* child = FindAnyChild(name);
  if (child == nullptr) return {1, "no program named " + name + "; known: " + KnownNames()};
  const std::string& path = child->command.output;
  const std::string& user = child->command.user;  // who owns a program's output: its own user
  if (path.empty()) return {1, name + " keeps no output: " + (options_.outputNote.empty() ? "it has none" : options_.outputNote)};
  Answer answer;
  answer.hasLog = true;
  std::string text, why, id;
  uint64_t size = 0;
  if (!ReadOwnFile(path, 0, 0, &text, &size, &why, user, &id)) {
    // Between a rotation and the new file, or before the first output: nothing new yet.
    if (words.size() == 5) {
      answer.log = {"", words[3], offset};
      return answer;
    }
    // The last lines are then all in the file before; following goes on from the new file's start.
    std::string older, olderWhy;
    uint64_t olderSize = 0;
    if (ReadOwnFile(path + ".1", 0, 0, &older, &olderSize, &olderWhy, user)) {
      const uint64_t from = olderSize > kLogPiece ? olderSize - kLogPiece : 0;
      if (ReadOwnFile(path + ".1", from, kLogPiece, &older, &olderSize, &olderWhy, user)) {
        answer.log = {LastLinesOfPiece(older, from, lines), "-", 0};  // "-": no file, so the new one from 0
        return answer;
      }
    }
    return Answer{1, "the output file " + path + " is not read: " + why};
  }
  if (words.size() == 3) {
    const uint64_t from = size > kLogPiece ? size - kLogPiece : 0;
    if (!ReadOwnFile(path, from, kLogPiece, &text, &size, &why, user, &id)) return {1, "the output file " + path + " is not read: " + why};
    std::string shown = text, older;
    uint64_t shownFrom = from, olderSize = 0;
    // Just rotated: the lines asked for begin in the file before.
    if (from == 0 && static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n')) < lines && text.size() < kLogPiece &&
        ReadOwnFile(path + ".1", 0, 0, &older, &olderSize, &why, user)) {
      const size_t room = kLogPiece - text.size();
      shownFrom = olderSize > room ? olderSize - room : 0;
      if (ReadOwnFile(path + ".1", shownFrom, room, &older, &olderSize, &why, user)) shown = older + text;
    }
    answer.log = {LastLinesOfPiece(shown, shownFrom, lines), id, from + text.size()};
    return answer;
  }
  std::string read = path;
  if (id != words[3]) {
    // Rotated since: the rest of the old file first, wherever it went.
    std::string oldId;
    uint64_t oldSize = 0;
    for (int n = 1; n <= kMostRotations; ++n) {
      const std::string old = path + "." + std::to_string(n);
      if (!ReadOwnFile(old, 0, 0, &text, &oldSize, &why, user, &oldId)) break;
      if (oldId == words[3]) {
        if (oldSize > offset) read = old, id = oldId;
        break;
      }
    }
    if (read == path) offset = 0;
  } else if (size < offset) {
    offset = 0;  // cut short: read again from its start
  }
  if (!ReadOwnFile(read, offset, kLogPiece, &text, &size, &why, user, &id)) {
    answer.log = {"", words[3], std::stoull(words[4])};  // gone meanwhile: nothing new yet
    return answer;
  }
  answer.log = {text, id, offset + text.size()};
  return answer;
}

}  // namespace kestravo_host
