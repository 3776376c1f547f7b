#include "status.h"

#include <stdio.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace kestravo_host {

namespace {

using json = nlohmann::ordered_json;  // the fields in the order written

json ProgramJson(const ProgramStatus& p) {
  auto orNull = [](int64_t value) { return value < 0 ? json(nullptr) : json(value); };
  return {{"name", p.name},
          {"hpid", orNull(p.hpid)},
          {"pid", orNull(p.pid)},
          {"program_pid", orNull(p.programPid)},
          {"state", p.state},
          {"uptime_seconds", p.uptimeSeconds < 0 ? json(nullptr) : json(p.uptimeSeconds)},
          {"restarts", p.restarts},
          {"last_exit", p.lastExit.empty() ? json(nullptr) : json(p.lastExit)},
          {"next_try_seconds", p.nextTrySeconds < 0 ? json(nullptr) : json(p.nextTrySeconds)},
          {"last_cause", p.lastCause.empty() ? json(nullptr) : json(p.lastCause)},
          {"status", p.statusText.empty() ? json(nullptr) : json(p.statusText)}};
}

// A field that may be null; the wrong type throws, and the caller reports the answer as bad.
template <typename T>
T Field(const json& object, const char* name, T none) {
  auto it = object.find(name);
  return it == object.end() || it->is_null() ? none : it->get<T>();
}

}  // namespace

std::string AnswerJson(const Answer& answer) {
  json out = {{"code", answer.code}, {"message", answer.message}};
  if (answer.hasPrograms) {
    out["programs"] = json::array();
    for (const ProgramStatus& p : answer.programs) out["programs"].push_back(ProgramJson(p));
  }
  if (answer.hasLog) out["log"] = {{"text", answer.log.text}, {"file", answer.log.file}, {"offset", answer.log.offset}};
  // A name from a file may hold any bytes: replaced, not refused.
  return out.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool ReadAnswer(const std::string& text, Answer* answer, std::string* error) {
  try {
    json in = json::parse(text);
    answer->code = in.at("code").get<int>();
    answer->message = in.at("message").get<std::string>();
    answer->hasPrograms = in.contains("programs");
    for (const json& p : answer->hasPrograms ? in.at("programs") : json::array()) {
      ProgramStatus s;
      s.name = p.at("name").get<std::string>();
      s.hpid = Field<int64_t>(p, "hpid", -1);
      s.pid = Field<int64_t>(p, "pid", -1);
      s.programPid = Field<int64_t>(p, "program_pid", -1);
      s.state = p.at("state").get<std::string>();
      s.uptimeSeconds = Field<double>(p, "uptime_seconds", -1);
      s.restarts = Field<uint64_t>(p, "restarts", 0);
      s.lastExit = Field<std::string>(p, "last_exit", "");
      s.nextTrySeconds = Field<double>(p, "next_try_seconds", -1);
      s.lastCause = Field<std::string>(p, "last_cause", "");
      s.statusText = Field<std::string>(p, "status", "");
      answer->programs.push_back(s);
    }
    answer->hasLog = in.contains("log");
    if (answer->hasLog) {
      const json& log = in.at("log");
      answer->log = {log.at("text").get<std::string>(), log.at("file").get<std::string>(), log.at("offset").get<uint64_t>()};
    }
    return true;
  } catch (const json::exception& e) {
    *error = std::string("the host's answer cannot be read: ") + e.what();
    return false;
  }
}

std::string ProgramsJson(const std::vector<ProgramStatus>& programs) {
  json out = {{"programs", json::array()}};
  for (const ProgramStatus& p : programs) out["programs"].push_back(ProgramJson(p));
  return out.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string UptimeText(double seconds) {
  const auto s = static_cast<unsigned long long>(std::max(0.0, seconds));
  char text[48];
  if (s < 60) {
    snprintf(text, sizeof text, "%llus", s);
  } else if (s < 3600) {
    snprintf(text, sizeof text, "%llum %02llus", s / 60, s % 60);
  } else if (s < 86400) {
    snprintf(text, sizeof text, "%lluh %02llum", s / 3600, s % 3600 / 60);
  } else {
    snprintf(text, sizeof text, "%llud %02lluh", s / 86400, s % 86400 / 3600);
  }
  return text;
}

namespace {
// "; next try in 12.8 s" after the last exit, for a program the library starts again soon.
std::string NextTryText(double seconds) {
  if (seconds < 0) return "";
  char text[48];
  snprintf(text, sizeof text, "; next try in %.1f s", seconds);
  return text;
}
}  // namespace

std::string ProgramsTable(const std::vector<ProgramStatus>& programs) {
  size_t nameWidth = 4, stateWidth = 5;
  for (const ProgramStatus& p : programs) {
    nameWidth = std::max(nameWidth, p.name.size());
    stateWidth = std::max(stateWidth, p.state.size());
  }
  auto row = [&](const std::string& name, const std::string& hpid, const std::string& pid, const std::string& program,
                 const std::string& state, const std::string& uptime, const std::string& restarts, const std::string& lastExit) {
    char text[512];
    snprintf(text, sizeof text, "%-*s  %4s  %7s  %7s  %-*s  %7s  %8s  ", static_cast<int>(nameWidth), name.c_str(), hpid.c_str(),
             pid.c_str(), program.c_str(), static_cast<int>(stateWidth), state.c_str(), uptime.c_str(), restarts.c_str());
    std::string line = text + lastExit;
    line.erase(line.find_last_not_of(' ') + 1);
    return line + "\n";
  };
  auto number = [](int64_t value) { return value < 0 ? std::string("-") : std::to_string(value); };
  std::string out = row("NAME", "HPID", "PID", "PROGRAM", "STATE", "UPTIME", "RESTARTS", "LAST EXIT");
  for (const ProgramStatus& p : programs) {
    out += row(p.name, number(p.hpid), number(p.pid), number(p.programPid), p.state, p.uptimeSeconds < 0 ? "-" : UptimeText(p.uptimeSeconds),
               std::to_string(p.restarts), (p.lastExit.empty() ? "-" : p.lastExit) + NextTryText(p.nextTrySeconds));
    if (!p.statusText.empty()) out += "    status: " + p.statusText + "\n";
  }
  return out;
}

}  // namespace kestravo_host
