// The error codes written into log lines. They are only logged, never returned to the host.
#pragma once
#include <stdint.h>

constexpr uint32_t KESTRAVO_ERR_CONFIG_LOAD = 0x01900014;       // the state file failed to load or parse
constexpr uint32_t KESTRAVO_ERR_NO_RESOURCE = 0x01900016;       // no free hpid, or no named event
constexpr uint32_t KESTRAVO_ERR_INVALID_PARAM = 0x01900017;     // bad argument or unknown hpid
constexpr uint32_t KESTRAVO_ERR_NOT_INITIALISED = 0x01900022;   // a call before KESTRAVO_Init
constexpr uint32_t KESTRAVO_ERR_NOT_RUNNING = 0x01900024;       // a process or worker that should run
constexpr uint32_t KESTRAVO_ERR_THREAD_CREATE = 0x01900025;     // a worker thread failed to start
constexpr uint32_t KESTRAVO_ERR_EVENT_CREATE = 0x01900026;      // an event failed to be created
constexpr uint32_t KESTRAVO_ERR_PROCESS_CREATE = 0x01900609;    // the OS refused to start a process
constexpr uint32_t KESTRAVO_ERR_PROCESS_EXITED = 0x01900613;    // a managed process exited
constexpr uint32_t KESTRAVO_ERR_CONFIG_SAVE = 0x01900015;       // the state file could not be rewritten
