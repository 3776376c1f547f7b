#include "manager/child_settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "common/stop_grace.h"

namespace {

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  unsigned long long parsed = strtoull(text.c_str(), nullptr, 10);
  if (errno != 0) return false;
  *value = parsed;
  return true;
}

}  // namespace

bool ChildSettings::operator==(const ChildSettings& o) const {
  return ready == o.ready && watchdogUsec == o.watchdogUsec && readyTimeoutUsec == o.readyTimeoutUsec &&
         restart == o.restart && successExit == o.successExit && stopGraceMs == o.stopGraceMs;
}

const char* RestartPolicyText(RestartPolicy policy) {
  switch (policy) {
    case RestartPolicy::kOnFailure: return "on-failure";
    case RestartPolicy::kNever: return "never";
    default: return "always";
  }
}

bool ParseRestartPolicy(const std::string& text, RestartPolicy* policy) {
  for (RestartPolicy p : {RestartPolicy::kAlways, RestartPolicy::kOnFailure, RestartPolicy::kNever}) {
    if (text == RestartPolicyText(p)) {
      *policy = p;
      return true;
    }
  }
  return false;
}

bool ParseExitCodes(const std::string& text, std::vector<int32_t>* codes) {
  std::vector<int32_t> parsed;
  size_t at = 0;
  while (at < text.size()) {
    size_t start = text.find_first_not_of(" ,", at);
    if (start == std::string::npos) break;
    size_t end = text.find_first_of(" ,", start);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(start, end - start);
    const bool negative = word[0] == '-';
    uint64_t value = 0;
    if (!ParseUnsigned(negative ? word.substr(1) : word, &value) || value > (negative ? 0x80000000ull : 0xFFFFFFFFull)) {
      return false;
    }
    // Windows exit codes run to 0xFFFFFFFF: kept as the same 32 bits.
    parsed.push_back(negative ? static_cast<int32_t>(-static_cast<int64_t>(value)) : static_cast<int32_t>(static_cast<uint32_t>(value)));
    if (parsed.size() > kMaxSuccessCodes) return false;
    at = end;
  }
  if (parsed.empty()) return false;
  *codes = std::move(parsed);
  return true;
}

std::string ExitCodesText(const std::vector<int32_t>& codes) {
  std::string text;
  for (int32_t code : codes) text += (text.empty() ? "" : " ") + std::to_string(code);
  return text;
}

void ApplyNotifyText(const std::string& text, ChildSettings* settings, NotifyRequest* request, std::string* ignored) {
  ignored->clear();
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    const std::string key = line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    uint64_t number = 0;
    bool taken = eq != std::string::npos;
    if (!taken) {
    } else if (key == "READY") {
      taken = value == "1";
      request->ready |= taken;
    } else if (key == "WATCHDOG") {
      taken = value == "1" || value == "trigger";
      request->ping |= value == "1";
      request->trigger |= value == "trigger";
    } else if (key == "STATUS") {
      request->hasStatus = true;
      request->status = value.substr(0, 255);
    } else if (key == "STOPPING") {
      taken = value == "1";
      request->stopping |= taken;
    } else if (key == "WATCHDOG_USEC") {
      taken = ParseUnsigned(value, &number);
      if (taken) settings->watchdogUsec = number;
      request->watchdogSet |= taken;
    } else if (key == "KESTRAVO_READY_TIMEOUT_USEC") {
      taken = ParseUnsigned(value, &number);
      if (taken) settings->readyTimeoutUsec = number;
    } else if (key == "KESTRAVO_RESTART") {
      taken = ParseRestartPolicy(value, &settings->restart);
    } else if (key == "KESTRAVO_SUCCESS_EXIT") {
      taken = ParseExitCodes(value, &settings->successExit);
    } else if (key == "KESTRAVO_STOP_GRACE_MS") {
      taken = ParseUnsigned(value, &number);
      if (taken) settings->stopGraceMs = number == 0 ? kestravo::kDefaultStopGraceMs
                                                     : static_cast<uint32_t>(std::min<uint64_t>(number, kestravo::kMaxStopGraceMs));
    } else {
      taken = false;
    }
    if (!taken) *ignored += (ignored->empty() ? "" : ",") + line.substr(0, 64);
  }
}

std::string SettingsText(const ChildSettings& settings) {
  const ChildSettings defaults;
  std::string text;
  auto add = [&](const std::string& pair) { text += (text.empty() ? "" : " ") + pair; };
  if (settings.ready) add("READY=1");
  if (settings.watchdogUsec != 0) add("WATCHDOG_USEC=" + std::to_string(settings.watchdogUsec));
  if (settings.readyTimeoutUsec != 0) add("KESTRAVO_READY_TIMEOUT_USEC=" + std::to_string(settings.readyTimeoutUsec));
  if (settings.restart != defaults.restart) add(std::string("KESTRAVO_RESTART=") + RestartPolicyText(settings.restart));
  if (settings.successExit != defaults.successExit) {
    std::string codes = ExitCodesText(settings.successExit);
    for (char& c : codes) c = c == ' ' ? ',' : c;
    add("KESTRAVO_SUCCESS_EXIT=" + codes);
  }
  if (settings.stopGraceMs != defaults.stopGraceMs) add("KESTRAVO_STOP_GRACE_MS=" + std::to_string(settings.stopGraceMs));
  return text;
}

ChildSettings SettingsFromText(const std::string& text) {
  std::string lines = text;
  for (char& c : lines) c = c == ' ' ? '\n' : c;
  ChildSettings settings;
  NotifyRequest request;
  std::string ignored;
  ApplyNotifyText(lines, &settings, &request, &ignored);
  settings.ready = request.ready;
  return settings;
}

bool RestartsAfter(const ChildSettings& settings, const ExitedProcInfo& exited) {
  switch (settings.restart) {
    case RestartPolicy::kNever: return false;
    case RestartPolicy::kOnFailure:
      return !(exited.cause == KESTRAVO_CAUSE_EXITED &&
               std::find(settings.successExit.begin(), settings.successExit.end(), exited.exitCode) !=
                   settings.successExit.end());
    default: return true;
  }
}
