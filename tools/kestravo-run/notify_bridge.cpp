#include "notify_bridge.h"

#include <stdlib.h>

#include <string>

#include "kestravo_child.h"
#include "time_text.h"

namespace kestravo_run {

namespace {

constexpr uint64_t kMaxTimeMs = 24ull * 3600 * 1000;  // a day: longer is surely a mistake
constexpr uint64_t kMaxGraceMs = 600000;              // the supervisor cuts longer graces to this
constexpr size_t kMaxStatus = 255;                    // what the supervisor passes on of a status
constexpr char kTimeForm[] = "a time such as 30s, 500ms, 2m or 1h";

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 19) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool ParseNotifyOption(const std::string& name, const std::string& value, NotifyOptions* o, std::string* error) {
  error->clear();
  uint64_t* time = name == "--ready-after"     ? &o->readyAfterMs
                   : name == "--ready-timeout" ? &o->readyTimeoutMs
                   : name == "--watchdog"      ? &o->watchdogMs
                   : name == "--grace"         ? &o->graceMs
                                               : nullptr;
  if (time != nullptr) {
    if (!kestravo_tools::ParseTime(value, name == "--grace" ? kMaxGraceMs : kMaxTimeMs, time))
      *error = std::string(kTimeForm) + (name == "--grace" ? ", at most 10m" : ", at most a day");
  } else if (name == "--notify") {
    *error = "it takes no value";  // only "--notify=VALUE" comes here
  } else if (name == "--ready-fd") {
    // 0 to 2 are the program's standard streams.
    o->readyFd = AllDigits(value) && value.size() < 6 ? atoi(value.c_str()) : -1;
    if (o->readyFd < 3 || o->readyFd > 65535) *error = "a descriptor number from 3 to 65535";
  } else if (name == "--restart") {
    o->restart = value;
    if (value != "always" && value != "on-failure" && value != "never") *error = "always, on-failure or never";
  } else if (name == "--success-exit") {
    o->successExit.clear();
    size_t count = 0;
    for (size_t at = 0; at <= value.size() && error->empty();) {
      size_t end = value.find_first_of(", ", at);
      if (end == std::string::npos) end = value.size();
      const std::string code = value.substr(at, end - at);
      at = end + 1;
      if (code.empty()) continue;
      if (!AllDigits(code) || code.size() > 3 || atoi(code.c_str()) > 255) *error = "exit codes from 0 to 255, such as \"0,2\" or \"0 2\"";
      o->successExit += (count++ ? " " : "") + std::to_string(atoi(code.c_str()));
    }
    if (count == 0 && error->empty()) *error = "exit codes from 0 to 255, such as \"0,2\" or \"0 2\"";
  } else {
    return false;
  }
  return true;
}

std::string CheckNotifyOptions(const NotifyOptions& o) {
#ifndef _WIN32
  // Here the supervisor hears this process alone: the program speaks through the notify socket.
  // On Windows it hears the program too (it runs in the child's job), through
  // KESTRAVO_ChildNotify and the KESTRAVO_GUID it is given.
  if (o.watchdogMs != 0 && !o.notify) return "--watchdog needs --notify: the program pings through its notify socket";
  if (o.readyTimeoutMs != 0 && !o.notify && o.readyFd < 0 && o.readyAfterMs == 0)
    return "--ready-timeout needs --notify, --ready-fd or --ready-after: else the program is never ready";
#endif
  if (o.readyAfterMs != 0 && o.readyTimeoutMs != 0 && o.readyAfterMs >= o.readyTimeoutMs)
    return "--ready-after must be shorter than --ready-timeout";
  if (o.successExit.size() && o.restart != "on-failure")
    return "--success-exit needs --restart on-failure";
  return "";
}

std::string SettingsText(const NotifyOptions& o) {
  std::string text;
  if (!o.restart.empty()) text += "KESTRAVO_RESTART=" + o.restart + "\n";
  if (!o.successExit.empty()) text += "KESTRAVO_SUCCESS_EXIT=" + o.successExit + "\n";
  if (o.graceMs != 0) text += "KESTRAVO_STOP_GRACE_MS=" + std::to_string(o.graceMs) + "\n";
  if (o.readyTimeoutMs != 0) text += "KESTRAVO_READY_TIMEOUT_USEC=" + std::to_string(o.readyTimeoutMs * 1000) + "\n";
  if (o.watchdogMs != 0) text += "WATCHDOG_USEC=" + std::to_string(o.watchdogMs * 1000) + "\n";
  if (!text.empty()) text.pop_back();
  return text;
}

const char* NotifyUsage() {
  return "Readiness and restarts (TIME: 30s, 500ms, 2m, 1h): --notify gives PROGRAM a notify socket\n"
         "(NOTIFY_SOCKET) that takes READY=1, WATCHDOG=1, WATCHDOG=trigger, WATCHDOG_USEC=N, STATUS=TEXT and\n"
         "STOPPING=1 from PROGRAM and what it starts (from no other process), and passes them on to the\n"
         "supervisor; --watchdog TIME (needs --notify) expects WATCHDOG=1 at least that often once\n"
         "PROGRAM is ready, and gives it WATCHDOG_USEC and WATCHDOG_PID. --ready-fd N gives PROGRAM\n"
         "descriptor N: a line written to it means ready. --ready-after TIME: ready once PROGRAM has run\n"
         "that long. --ready-timeout TIME: PROGRAM not ready by then is stopped. --restart\n"
         "always|on-failure|never (default always) and --success-exit CODES (\"0,2\"; default 0) say\n"
         "which ends the supervisor restarts; --grace TIME is the time PROGRAM gets to end when the\n"
         "supervisor stops it for a missed ping or for not being ready (default 3s). Where the supervisor\n"
         "takes none of this (an older library, or none at all) that is said once and PROGRAM runs on.\n"
#ifdef _WIN32
         "On Windows --notify and --ready-fd are refused: PROGRAM tells the supervisor itself with\n"
         "KESTRAVO_ChildNotify (kestravo_child.h) and its KESTRAVO_GUID, and is heard as it runs in the\n"
         "child's job; --watchdog and --ready-timeout need no --notify there, and PROGRAM gets WATCHDOG_USEC.\n"
#endif
         ;
}

bool NotifyBridge::Send(const std::string& text) {
  if (absent_) return false;
  const int32_t answer = guid_.empty() ? 1 : KESTRAVO_ChildNotify(guid_.c_str(), text.c_str());
  if (answer == 1) {
    absent_ = true;
    say_(guid_.empty() ? "not run by a supervisor: readiness, status and settings are not passed on"
                       : "the supervisor has no notify channel for this program (an older library?): readiness, "
                         "status and settings are not passed on");
  } else if (answer != 0 && !failed_) {
    failed_ = true;  // a full queue, most likely: said once, and the next round tries again
    say_("cannot pass on to the supervisor: " + text.substr(0, text.find('\n')) + (text.find('\n') != std::string::npos ? "..." : ""));
  }
  return answer == 0;
}

void NotifyBridge::Take(const char* data, size_t size) {
  const std::string text(data, size);
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    const size_t equals = line.find('=');
    if (equals == std::string::npos || line.find('\0') != std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == "READY" && value == "1") {
      TakeReady();
    } else if (key == "WATCHDOG" && (value == "1" || value == "trigger")) {
      (value == "1" ? ping_ : trigger_) = true;
    } else if (key == "WATCHDOG_USEC" && AllDigits(value)) {
      watchdogUsec_ = value;
    } else if (key == "STATUS") {
      status_ = value.substr(0, kMaxStatus);
      hasStatus_ = true;
    } else if (key == "STOPPING" && value == "1") {
      stopping_ = true;
    }
  }
}

void NotifyBridge::Flush() {
  std::string text;
  if (!watchdogUsec_.empty()) text += "WATCHDOG_USEC=" + watchdogUsec_ + "\n";
  if (ready_ == kPending) text += "READY=1\n";
  if (hasStatus_) text += "STATUS=" + status_ + "\n";
  if (stopping_) text += "STOPPING=1\n";
  if (trigger_) text += "WATCHDOG=trigger\n";
  else if (ping_) text += "WATCHDOG=1\n";
  if (text.empty()) return;
  text.pop_back();
  if (Send(text) || absent_) {
    if (ready_ == kPending) ready_ = kSent;
  }
  ping_ = trigger_ = stopping_ = hasStatus_ = false;
  watchdogUsec_.clear();
  status_.clear();
}

}  // namespace kestravo_run
