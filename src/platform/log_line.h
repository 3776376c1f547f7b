// The shape of every log line of the library: "[function(line)] - message" at level 3, and
// "[function(line)] [0x%08x] - message" with an error code at levels 4 and 5. The message's own
// fields come first, in square brackets. Logger "KESTRAVO".
#pragma once
#include "platform/log.h"

#define KESTRAVO_LOG_DEBUG(function, format, ...) \
  LogWrite(LOG_DEBUG, "KESTRAVO", "[%s(%d)] - " format, function, __LINE__, ##__VA_ARGS__)
#define KESTRAVO_LOG_INFO(function, format, ...) \
  LogWrite(LOG_INFO, "KESTRAVO", "[%s(%d)] - " format, function, __LINE__, ##__VA_ARGS__)

#define KESTRAVO_LOG_CODE(level, function, code, format, ...)                                  \
  LogWrite(level, "KESTRAVO", "[%s(%d)] [0x%08x] - " format, function, __LINE__,              \
           static_cast<unsigned>(code), ##__VA_ARGS__)
