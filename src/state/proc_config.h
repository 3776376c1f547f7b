// One child recorded in the state file.
#pragma once
#include <stdint.h>

#include <string>

#include "manager/child_settings.h"

struct ProcConfig {
  uint32_t pid = 0;              // the child's OS process id
  uint32_t hpid = 0xFFFFFFFF;    // the key; an entry read without "hpid" can never be attached
  std::string exe;               // the executable path as the host gave it
  std::string cmdline;           // the child's full command line, marker included
  std::string guid;              // the GUID text, also the name of its stop event
  ChildSettings settings;        // what the child said of itself: kept for its adoption
};
