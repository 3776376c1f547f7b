// What a child says through its notify channel: the settings it gives for itself, and what a
// message asks for now. Plain text and numbers; the notify watch and the manager share it.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

#include "kestravo.h"

enum class RestartPolicy : uint32_t { kAlways = 0, kOnFailure = 1, kNever = 2 };

// The settings of the current process of an hpid, and whether it has said it is ready. A new
// process starts with the defaults. Persisted with the child's entry in the state file.
struct ChildSettings {
  bool ready = false;
  uint64_t watchdogUsec = 0;      // 0: no watchdog
  uint64_t readyTimeoutUsec = 0;  // 0: no time-out
  RestartPolicy restart = RestartPolicy::kAlways;
  std::vector<int32_t> successExit{0};  // at most kMaxSuccessCodes
  uint32_t stopGraceMs = 3000;

  bool operator==(const ChildSettings& other) const;
  bool operator!=(const ChildSettings& other) const { return !(*this == other); }
};

constexpr size_t kMaxSuccessCodes = 32;

// What one message asks for besides settings.
struct NotifyRequest {
  bool ready = false;     // READY=1
  bool ping = false;      // WATCHDOG=1
  bool trigger = false;   // WATCHDOG=trigger
  bool stopping = false;  // STOPPING=1
  bool watchdogSet = false;  // WATCHDOG_USEC came: the clock starts again
  bool hasStatus = false;
  std::string status;     // STATUS=, cut to 255 bytes
};

// Applies the "KEY=VALUE" lines of text to settings (not to ready, which the caller sets) and
// fills request. Unknown keys and malformed values are ignored, each named in *ignored (empty
// when all were taken).
void ApplyNotifyText(const std::string& text, ChildSettings* settings, NotifyRequest* request, std::string* ignored);

// The settings that differ from the defaults as notify keys separated by blanks
// ("READY=1 WATCHDOG_USEC=5000000 KESTRAVO_SUCCESS_EXIT=0,2"), as the state file keeps them; empty
// for the defaults. SettingsFromText reads it back, ignoring what it does not know.
std::string SettingsText(const ChildSettings& settings);
ChildSettings SettingsFromText(const std::string& text);

// The text of a policy ("always", "on-failure", "never") and back; false for any other text.
const char* RestartPolicyText(RestartPolicy policy);
bool ParseRestartPolicy(const std::string& text, RestartPolicy* policy);
// Exit codes separated by blanks or commas: "0 2", "0,2". False, with *codes unchanged, for an
// empty list, a code that is not a number, or more than kMaxSuccessCodes.
bool ParseExitCodes(const std::string& text, std::vector<int32_t>* codes);
std::string ExitCodesText(const std::vector<int32_t>& codes);

// Whether the exit described by exited is followed by a restart under settings: always restarts;
// on-failure leaves ended an exit by itself (cause EXITED) with a success code; never leaves
// every exit ended.
bool RestartsAfter(const ChildSettings& settings, const ExitedProcInfo& exited);
