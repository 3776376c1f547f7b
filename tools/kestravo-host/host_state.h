// What kestravo-host keeps of its programs across its own restarts: kestravo-host.state in the
// state directory, owner-only JSON, so that a host started again after a crash shows an adopted
// program's uptime and counts, and leaves a program stopped by hand stopped.
#pragma once

#include <stdint.h>

#include <map>
#include <string>

namespace kestravo_host {

constexpr char kHostStateName[] = "kestravo-host.state";

struct ProgramRecord {
  int64_t startedAtMs = -1;  // wall-clock start of its current process, ms since the epoch; -1: none
  uint32_t pid = 0;          // that process's; 0: none
  uint64_t restarts = 0;
  std::string lastExit;
  bool stoppedByHand = false;
};

// The file's text for the records, by program name.
std::string RecordsText(const std::map<std::string, ProgramRecord>& records);
// Reads the file at path (only a regular owner-only file of this user with one link, never
// through a link): the records by name. An absent file is no record; false with *error for a
// file that cannot be used or read, with *records left empty.
bool ReadRecords(const std::string& path, std::map<std::string, ProgramRecord>* records, std::string* error);

}  // namespace kestravo_host
