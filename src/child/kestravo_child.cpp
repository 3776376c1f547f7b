// The child helper: reads the identity from the command line (or, under kestravo-run, the
// environment) and waits on the stop event.
#include "kestravo_child.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/child_marker.h"
#include "notify_channel.h"
#include "os.h"
#ifndef _WIN32
#include "posix/inherited_event.h"
#endif

#ifdef _WIN32
#define KESTRAVO_CHILD_EXPORT extern "C" __declspec(dllexport)
#else
#define KESTRAVO_CHILD_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

static_assert(sizeof(KESTRAVO_ChildIdentity::guid) == kestravo::kGuidTextLength + 1, "a GUID text and its NUL");

// This process's arguments joined by single blanks, from /proc/self/cmdline; on Windows the
// command line as it was given.
bool OwnCommandLine(std::string* line) {
#ifdef _WIN32
  *line = GetCommandLineA();
  return true;
#else
  FILE* in = fopen("/proc/self/cmdline", "re");
  if (!in) return false;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, in)) > 0) line->append(buffer, n);
  fclose(in);
  while (!line->empty() && line->back() == '\0') line->pop_back();
  for (char& c : *line) {
    if (c == '\0') c = ' ';
  }
  return true;
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
    std::string own;
    if (OwnCommandLine(&own) && ParseIdentity(own.c_str(), identity) == 0) return 0;
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
  HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, guid);
#ifndef _WIN32
  // Run as another user by kestravo-run, this process may not open the supervisor's owner-only
  // event by name: the adapter opened it before the switch and left it a descriptor.
  const char* inherited = getenv(kestravo::posix::kStopEventFdVariable);
  if (event == nullptr && GetLastError() == ERROR_ACCESS_DENIED && inherited != nullptr) {
    event = kestravo::posix::OpenInheritedEvent(inherited, guid);
    if (event == nullptr) SetLastError(ERROR_ACCESS_DENIED);
  }
#endif
  return event;
}

KESTRAVO_CHILD_EXPORT int32_t KESTRAVO_ChildWaitStop(void* stopEvent, uint32_t timeoutMs) {
  if (stopEvent == nullptr) return -1;
  switch (WaitForSingleObject(stopEvent, timeoutMs)) {
    case WAIT_OBJECT_0: return 0;
    case WAIT_TIMEOUT: return 1;
    default: return -1;
  }
}

KESTRAVO_CHILD_EXPORT void KESTRAVO_ChildCloseStopEvent(void* stopEvent) { CloseHandle(stopEvent); }

KESTRAVO_CHILD_EXPORT int32_t KESTRAVO_ChildNotify(const char* guid, const char* text) {
  if (guid == nullptr || *guid == '\0' || text == nullptr || *text == '\0') return -1;
  const size_t length = strnlen(text, kNotifyMaxBytes + 1);
  if (length > kNotifyMaxBytes) return -1;
  return SendNotifyDatagram(guid, text, length);
}
