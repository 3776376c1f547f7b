// What kestravo-run tells its supervisor about the program through the child helper's notify
// channel (KESTRAVO_ChildNotify): its settings before the program starts, then readiness, pings
// and status, as the program reports them on its notify socket or as kestravo-run sees them (a
// line on the ready descriptor, a time run). Main thread only.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kestravo_run {

struct NotifyOptions {
  bool notify = false;          // --notify: the program gets a notify socket
  int readyFd = -1;             // --ready-fd: the descriptor the program writes its line to; -1: none
  uint64_t readyAfterMs = 0;    // --ready-after; 0: none
  uint64_t readyTimeoutMs = 0;  // --ready-timeout; 0: none
  uint64_t watchdogMs = 0;      // --watchdog; 0: none
  std::string restart;          // --restart; empty: the supervisor's default
  std::string successExit;      // --success-exit as codes separated by blanks; empty: the default
  uint64_t graceMs = 0;         // --grace; 0: the supervisor's default
};

// Takes one of the options above with its value (--notify takes none: value is ignored). False
// when name is none of them; else *error is empty, or says why the value is refused.
bool ParseNotifyOption(const std::string& name, const std::string& value, NotifyOptions* options, std::string* error);

// Why the options cannot go together ("--watchdog needs --notify"); empty when they can.
std::string CheckNotifyOptions(const NotifyOptions& options);

// The settings as the channel takes them, KEY=VALUE lines; empty when no option asks for any.
std::string SettingsText(const NotifyOptions& options);

// What the usage text says of these options.
const char* NotifyUsage();

// Passes what the program reports on to the supervisor. Datagrams taken in one round are merged
// into one message (the last STATUS, one ping), so that a program that floods its socket costs
// the channel one message a round.
class NotifyBridge {
 public:
  // guid: the supervisor's identity (empty when not supervised: nothing is passed on, and the
  // first attempt says so). say writes kestravo-run's own line.
  NotifyBridge(std::string guid, void (*say)(const std::string&)) : guid_(std::move(guid)), say_(say) {}

  // Sends text as it is. False when it was not sent; an absent channel is said once, and nothing
  // is sent after it.
  bool Send(const std::string& text);
  // Takes a datagram in the notify protocol: KEY=VALUE lines separated by newlines. READY,
  // WATCHDOG, WATCHDOG_USEC, STATUS and STOPPING are kept for Flush; other keys are ignored.
  void Take(const char* data, size_t size);
  // The program is ready (kept for Flush; only the first counts).
  void TakeReady() { ready_ = ready_ == kNo ? kPending : ready_; }
  // Sends what was taken since the last flush, if anything.
  void Flush();
  bool IsReady() const { return ready_ != kNo; }
  // A READY=1 that the channel did not take yet: Flush again soon.
  bool Pending() const { return ready_ == kPending && !absent_; }

 private:
  enum Ready { kNo, kPending, kSent };
  std::string guid_;
  void (*say_)(const std::string&);
  bool absent_ = false;   // the channel answered 1: nothing more is sent
  bool failed_ = false;   // a send failed and that was said
  Ready ready_ = kNo;
  bool ping_ = false, trigger_ = false, stopping_ = false;
  std::string status_, watchdogUsec_;  // empty: none taken
  bool hasStatus_ = false;
};

}  // namespace kestravo_run
