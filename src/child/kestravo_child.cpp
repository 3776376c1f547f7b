// The child helper: reads the identity from the command line (or, under kestravo-run, the
// environment) and waits on the stop event.
#include "kestravo_child.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "os.h"

#ifdef _WIN32
#define KESTRAVO_CHILD_EXPORT extern "C" __declspec(dllexport)
#else
#define KESTRAVO_CHILD_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

constexpr char kMarker[] = "kestravCmdLine:;";
constexpr size_t kGuidLength = 38;

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

// {8-4-4-4-12} hex digits.
bool IsGuidText(const char* text) {
  for (size_t i = 0; i < kGuidLength; ++i) {
    char c = text[i];
    bool ok;
    if (i == 0) {
      ok = c == '{';
    } else if (i == kGuidLength - 1) {
      ok = c == '}';
    } else if (i == 9 || i == 14 || i == 19 || i == 24) {
      ok = c == '-';
    } else {
      ok = isxdigit(static_cast<unsigned char>(c)) != 0;
    }
    if (!ok) return false;
  }
  return true;
}

int32_t ParseIdentity(const char* line, KESTRAVO_ChildIdentity* identity) {
  // The library appends its marker last, so the last one is ours even if the caller's own text
  // happens to contain the marker.
  const char* marker = nullptr;
  for (const char* at = strstr(line, kMarker); at != nullptr; at = strstr(at + 1, kMarker)) {
    marker = at;
  }
  if (marker == nullptr) return 1;
  const char* p = marker + sizeof kMarker - 1;
  if (strncmp(p, "pid=", 4) != 0) return 1;
  p += 4;
  uint64_t hpid = 0;
  const char* digits = p;
  while (isdigit(static_cast<unsigned char>(*p)) && p - digits < 10) {
    hpid = hpid * 10 + static_cast<uint64_t>(*p - '0');
    ++p;
  }
  if (p == digits || hpid > UINT32_MAX || strncmp(p, ";guid=", 6) != 0) return 1;
  p += 6;
  if (strnlen(p, kGuidLength) < kGuidLength || !IsGuidText(p)) return 1;
  // The GUID ends the command line; trailing white space (a line read from a file) is allowed.
  for (const char* rest = p + kGuidLength; *rest != '\0'; ++rest) {
    if (!isspace(static_cast<unsigned char>(*rest))) return 1;
  }
  identity->hpid = static_cast<uint32_t>(hpid);
  memcpy(identity->guid, p, kGuidLength);
  identity->guid[kGuidLength] = '\0';
  return 0;
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
    return ParseIdentity((std::string(kMarker) + "pid=" + hpid + ";guid=" + guid).c_str(), identity);
  } catch (...) {
    return 1;
  }
}

KESTRAVO_CHILD_EXPORT void* KESTRAVO_ChildOpenStopEvent(const char* guid) {
  if (guid == nullptr || *guid == '\0') return nullptr;
  return OpenEventA(SYNCHRONIZE, FALSE, guid);
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
