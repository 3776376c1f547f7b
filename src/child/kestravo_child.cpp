// The child helper: reads the identity from the command line (or, under kestravo-run, the
// environment) and waits on the stop event.
#include "kestravo_child.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "common/child_marker.h"
#include "notify_channel.h"
#include "os.h"
#ifndef _WIN32
#include "posix/child_stop_event.h"
#include "posix/inherited_event.h"
#include "posix/own_command_line.h"
#endif

#ifdef _WIN32
#define KESTRAVO_CHILD_EXPORT extern "C" __declspec(dllexport)
#else
#define KESTRAVO_CHILD_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

static_assert(sizeof(KESTRAVO_ChildIdentity::guid) == kestravo::kGuidTextLength + 1, "a GUID text and its NUL");

#ifndef _WIN32
// The identity from a command line that fits a buffer on the stack, read and parsed in place: most
// children ask once, first thing, and need neither stdio nor the heap for it. -1 when the line
// does not fit or cannot be read (the caller reads it the long way), else ParseIdentity's answer.
int32_t IdentityFromShortCommandLine(KESTRAVO_ChildIdentity* identity) {
  char text[2048];
  if (!kestravo::posix::ReadOwnCommandLine(text, sizeof text)) return -1;
  return kestravo::ParseChildIdentity(text, &identity->hpid, identity->guid) ? 0 : 1;
}
#endif

// This process's arguments joined by single blanks, from /proc/self/cmdline; on Windows the
// command line as it was given.
bool OwnCommandLine(std::string* line) {
#ifdef _WIN32
  *line = GetCommandLineA();
  return true;
#else
  return kestravo::posix::ReadOwnCommandLine(line);
#endif
}

int32_t ParseIdentity(const char* line, KESTRAVO_ChildIdentity* identity) {
  return kestravo::ParseChildIdentity(line, &identity->hpid, identity->guid) ? 0 : 1;
}

}  // namespace

KESTRAVO_CHILD_EXPORT int32_t KESTRAVO_ChildGetIdentity(const char* cmdLine,
                                                        KESTRAVO_ChildIdentity* identity) {
  if (identity == nullptr) return 1;
  try {
    if (cmdLine != nullptr) return ParseIdentity(cmdLine, identity);
#ifdef _WIN32
    const int32_t fromShortLine = -1;
#else
    const int32_t fromShortLine = IdentityFromShortCommandLine(identity);
    if (fromShortLine == 0) return 0;
#endif
    // A line read whole and without the marker is not read again.
    std::string own;
    if (fromShortLine < 0 && OwnCommandLine(&own) && ParseIdentity(own.c_str(), identity) == 0) return 0;
    // Under kestravo-run the identity is in the environment; checked as a marker would be.
    const char* hpid = getenv("KESTRAVO_HPID");
    const char* guid = getenv("KESTRAVO_GUID");
    if (hpid == nullptr || guid == nullptr) return 1;
    return ParseIdentity(kestravo::ChildIdentityText(hpid, guid).c_str(), identity);
  } catch (...) {
    return 1;
  }
}

KESTRAVO_CHILD_EXPORT void* KESTRAVO_ChildOpenStopEvent(const char* guid) {
  if (guid == nullptr || *guid == '\0') return nullptr;
#ifdef _WIN32
  return OpenEventA(SYNCHRONIZE, FALSE, guid);
#else
  bool noSlot = false;
  HANDLE event = kestravo::posix::OpenChildStopEvent(guid, &noSlot);
  if (noSlot) event = OpenEventA(SYNCHRONIZE, FALSE, guid);
  // Run as another user by kestravo-run, this process may not open the supervisor's owner-only
  // event by name: the adapter opened it before the switch and left it a descriptor.
  const char* inherited = getenv(kestravo::posix::kStopEventFdVariable);
  if (event == nullptr && GetLastError() == ERROR_ACCESS_DENIED && inherited != nullptr) {
    event = kestravo::posix::OpenInheritedEvent(inherited, guid);
    if (event == nullptr) SetLastError(ERROR_ACCESS_DENIED);
  }
  return event;
#endif
}

KESTRAVO_CHILD_EXPORT int32_t KESTRAVO_ChildWaitStop(void* stopEvent, uint32_t timeoutMs) {
  if (stopEvent == nullptr) return -1;
#ifdef _WIN32
  const DWORD waited = WaitForSingleObject(stopEvent, timeoutMs);
#else
  const DWORD waited = kestravo::posix::IsChildStopEvent(stopEvent)
                           ? kestravo::posix::WaitChildStopEvent(stopEvent, timeoutMs)
                           : WaitForSingleObject(stopEvent, timeoutMs);
#endif
  switch (waited) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_TIMEOUT: return 1;
    default: return -1;
  }
}

KESTRAVO_CHILD_EXPORT void KESTRAVO_ChildCloseStopEvent(void* stopEvent) {
#ifndef _WIN32
  if (kestravo::posix::IsChildStopEvent(stopEvent)) return kestravo::posix::CloseChildStopEvent(stopEvent);
#endif
  CloseHandle(stopEvent);
}

KESTRAVO_CHILD_EXPORT int32_t KESTRAVO_ChildNotify(const char* guid, const char* text) {
  if (guid == nullptr || *guid == '\0' || text == nullptr || *text == '\0') return -1;
  const size_t length = strnlen(text, kNotifyMaxBytes + 1);
  if (length > kNotifyMaxBytes) return -1;
  return SendNotifyDatagram(guid, text, length);
}
